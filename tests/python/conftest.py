import os
import shutil
import socket
import subprocess
import sys
import time

os.environ.setdefault("VELMORIN_DEVICE", "cpu")

import numpy as np  # noqa: E402
import pytest  # noqa: E402
from osgeo import gdal  # noqa: E402

gdal.UseExceptions()

NUMPY_TYPES = {
    gdal.GDT_Byte: np.uint8,
    gdal.GDT_UInt16: np.uint16,
    gdal.GDT_Int16: np.int16,
    gdal.GDT_Float32: np.float32,
    gdal.GDT_Float64: np.float64,
}


def write_raster(path, bands, dtype=gdal.GDT_Float32, options=(), geotransform=(500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0),
                 crs="EPSG:32633"):
    """Writes `bands` (array of shape (count, height, width)) as a GeoTIFF with GDAL."""
    bands = np.asarray(bands)
    count, height, width = bands.shape
    ds = gdal.GetDriverByName("GTiff").Create(str(path), width, height, count, dtype, list(options))
    ds.SetGeoTransform(list(geotransform))
    if crs:
        ds.SetProjection(crs)
    for b in range(count):
        ds.GetRasterBand(b + 1).WriteArray(bands[b].astype(NUMPY_TYPES[dtype]))
    ds = None
    return str(path)


@pytest.fixture
def raster(tmp_path):
    counter = iter(range(10**6))

    def make(bands, **kwargs):
        return write_raster(tmp_path / f"r{next(counter)}.tif", bands, **kwargs)

    return make


@pytest.fixture
def budget(monkeypatch):
    """Lowers the host memory budget and the cpu backend's free device memory (bytes)."""

    def set_budget(host=None, device=None):
        if host is not None:
            monkeypatch.setenv("VELMORIN_HOST_MEMORY_BUDGET", str(host))
        if device is not None:
            monkeypatch.setenv("VELMORIN_CPU_DEVICE_MEMORY", str(device))

    return set_budget


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="session")
def s3_server():
    """An S3-compatible server (moto) on 127.0.0.1 for the duration of the session."""
    exe = shutil.which("moto_server") or os.path.join(os.path.dirname(sys.executable), "moto_server")
    if not os.path.exists(exe):
        pytest.skip("moto_server is not installed")
    port = _free_port()
    proc = subprocess.Popen([exe, "-H", "127.0.0.1", "-p", str(port)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    deadline = time.time() + 20
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            break
        except OSError:
            time.sleep(0.1)
    else:
        proc.kill()
        pytest.fail("moto_server did not start")
    yield f"127.0.0.1:{port}"
    proc.terminate()
    proc.wait(timeout=10)


@pytest.fixture
def s3_env(s3_server, monkeypatch):
    import boto3

    settings = {
        "AWS_ACCESS_KEY_ID": "testing",
        "AWS_SECRET_ACCESS_KEY": "testing",
        "AWS_DEFAULT_REGION": "us-east-1",
        "AWS_REGION": "us-east-1",
        "AWS_S3_ENDPOINT": s3_server,
        "AWS_HTTPS": "NO",
        "AWS_VIRTUAL_HOSTING": "FALSE",
    }
    for key, value in settings.items():
        monkeypatch.setenv(key, value)
    client = boto3.client("s3", endpoint_url=f"http://{s3_server}", region_name="us-east-1",
                          aws_access_key_id="testing", aws_secret_access_key="testing")
    return client
