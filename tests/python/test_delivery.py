"""Results and delivery: memory, GeoTIFF files, object-store uploads and streamed strips."""
import gc
import json
import os
import threading
import time

import numpy as np
import pytest
from osgeo import gdal

import velmorin


def scene(raster, height=700, width=1000, seed=0, **kwargs):
    rng = np.random.default_rng(seed)
    bands = rng.uniform(0.0, 1.0, (2, height, width)).astype(np.float32)
    return raster(bands, **kwargs), bands


def huge_vrt(tmp_path, size=300000):
    path = tmp_path / "huge.vrt"
    path.write_text(f'<VRTDataset rasterXSize="{size}" rasterYSize="{size}">'
                    '<VRTRasterBand dataType="Float32" band="1"/></VRTDataset>')
    return str(path)


def test_save_local_writes_the_promised_file(raster, tmp_path):
    path, bands = scene(raster, options=["TILED=YES", "BLOCKXSIZE=128", "BLOCKYSIZE=128"])
    chain = velmorin.open(path).algebra("B1 - B2")
    out = str(tmp_path / "out.tif")
    assert chain.save_local(out) is None
    ds = gdal.Open(out)
    assert (ds.RasterXSize, ds.RasterYSize, ds.RasterCount) == (1000, 700, 1)
    band = ds.GetRasterBand(1)
    assert band.DataType == gdal.GDT_Float32
    assert band.GetBlockSize() == [512, 512]
    assert band.GetNoDataValue() is None
    structure = ds.GetMetadata("IMAGE_STRUCTURE")
    assert structure["COMPRESSION"] == "DEFLATE" and structure["PREDICTOR"] == "3"
    with open(out, "rb") as f:
        assert f.read(4) == b"II+\x00"  # BigTIFF even for a small file
    assert ds.GetGeoTransform() == (500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0)
    assert "32633" in ds.GetProjection()
    np.testing.assert_array_equal(band.ReadAsArray(), chain.to_memory().data)
    np.testing.assert_array_equal(band.ReadAsArray(), bands[0] - bands[1])


def test_save_local_without_projection_and_verbose_progress(raster, tmp_path, capfd):
    path, _ = scene(raster, height=50, width=60, crs=None)
    out = str(tmp_path / "plain.tif")
    velmorin.open(path).algebra("B1").save_local(out, verbose=True)
    ds = gdal.Open(out)
    assert ds.GetProjection() == ""
    assert ds.GetGeoTransform()[1] == 10.0
    printed = capfd.readouterr().out
    assert printed.startswith("0") and "100 - done." in printed


def test_failed_runs_leave_no_output(raster, tmp_path):
    path, _ = scene(raster, height=20, width=20)
    out = tmp_path / "never.tif"
    with pytest.raises(ValueError):
        velmorin.open(path).algebra("B7").save_local(str(out))
    assert not out.exists()
    with pytest.raises(RuntimeError, match="^Cannot create output: /no/such/dir/x.tif$"):
        velmorin.open(path).algebra("B1").save_local("/no/such/dir/x.tif")


def test_memory_check(tmp_path):
    chain = velmorin.open(huge_vrt(tmp_path)).algebra("B1")
    with pytest.raises(RuntimeError, match=r"^MemoryError: raster requires 343322 MB but only \d+ MB is safely available\. Use iter_begin\(\) to stream chunks instead\.$"):
        chain.to_memory()
    with pytest.raises(RuntimeError, match="^MemoryError: "):
        chain.save_s3("/vsis3/bucket/never.tif")


def test_result_object(raster):
    path, bands = scene(raster, height=30, width=40)
    result = velmorin.open(path).algebra("B2").to_memory()
    assert (result.width, result.height) == (40, 30)
    assert "32633" in result.proj
    first, second = result.data, result.data
    assert first is not second and np.array_equal(first, second)
    first[:] = 0
    np.testing.assert_array_equal(result.data, bands[1])


def test_iter_begin_streams_every_row_once(raster, budget):
    path, bands = scene(raster, height=333, width=100, options=["TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16"])
    budget(host=100 * 4 * 3 * 2 * 40)  # about 40 rows per strip
    queue = velmorin.open(path).algebra("B1 * 2").iter_begin(buf_chunks=2)
    seen = np.zeros(333, dtype=int)
    out = np.full((333, 100), np.nan, dtype=np.float32)
    strips = 0
    while (chunk := queue.next()) is not None:
        assert list(chunk) == ["y_offset", "width", "height", "data"]
        y, h = chunk["y_offset"], chunk["height"]
        assert chunk["data"].shape == (h, 100) and chunk["data"].dtype == np.float32
        out[y:y + h] = chunk["data"]
        seen[y:y + h] += 1
        strips += 1
    assert strips > 5 and np.all(seen == 1)
    np.testing.assert_array_equal(out, bands[0] * 2)
    assert queue.next() is None and queue.next() is None


def test_iter_begin_errors_are_raised_by_next(raster):
    path, _ = scene(raster, height=10, width=10)
    with pytest.raises(ValueError, match="buf_chunks must be at least 1"):
        velmorin.open(path).algebra("B1").iter_begin(0)
    queue = velmorin.open(path).iter_begin()
    with pytest.raises(RuntimeError, match="Chain must contain at least one"):
        queue.next()
    assert queue.next() is None
    missing = velmorin.open("/no/such.tif").algebra("B1").iter_begin()
    with pytest.raises(RuntimeError, match="^Cannot open: /no/such.tif$"):
        list(missing)


def test_iter_begin_with_one_buffer_stays_one_strip_ahead(raster, budget):
    path, bands = scene(raster, height=200, width=50, options=["BLOCKYSIZE=10"])
    budget(host=50 * 4 * 3 * 2 * 10)
    queue = velmorin.open(path).algebra("B1").iter_begin(buf_chunks=1)
    time.sleep(0.2)
    total = 0
    for chunk in queue:
        total += chunk["height"]
    assert total == 200


def thread_count():
    return len(os.listdir("/proc/self/task"))


def test_dropping_the_queue_cancels_the_run(raster, budget):
    path, _ = scene(raster, height=400, width=50, options=["BLOCKYSIZE=4"])
    budget(host=50 * 4 * 3 * 2 * 4)
    before = thread_count()
    queue = velmorin.open(path).algebra("B1").iter_begin(buf_chunks=1)
    assert queue.next() is not None
    del queue
    gc.collect()
    deadline = time.time() + 10
    while thread_count() > before and time.time() < deadline:
        time.sleep(0.05)
    assert thread_count() <= before


def test_engines_run_without_the_interpreter_lock(raster):
    path, bands = scene(raster, height=2000, width=2000)
    chain = velmorin.open(path).algebra("sqrt(B1 * B2) + log(B1 + 1) * exp(B2)")
    ticks = 0
    done = threading.Event()

    def run():
        chain.to_memory()
        done.set()

    worker = threading.Thread(target=run)
    worker.start()
    while not done.is_set():
        ticks += 1
        time.sleep(0.001)
    worker.join()
    assert ticks > 5


def test_save_s3_uploads_a_geotiff(raster, s3_env, tmp_path):
    s3_env.create_bucket(Bucket="results")
    path, bands = scene(raster, height=100, width=120)
    chain = velmorin.open(path).algebra("B1 + B2")
    chain.save_s3("/vsis3/results/sum.tif")
    local = tmp_path / "downloaded.tif"
    s3_env.download_file("results", "sum.tif", str(local))
    ds = gdal.Open(str(local))
    assert ds.GetRasterBand(1).GetBlockSize() == [512, 512]
    np.testing.assert_array_equal(ds.ReadAsArray(), chain.to_memory().data)
    chain.save_s3("s3://results/again.tif")
    assert s3_env.head_object(Bucket="results", Key="again.tif")["ContentLength"] > 0
    leftovers = set(os.listdir(gdal.GetConfigOption("CPL_TMPDIR") or "/tmp"))
    with pytest.raises(RuntimeError, match="^S3 upload failed. Ensure the path starts with /vsis3/"):
        chain.save_s3(str(tmp_path / "not-s3.tif"))
    with pytest.raises(RuntimeError, match="^S3 upload failed"):
        chain.save_s3("/vsis3/no-such-bucket/x.tif")
    after = set(os.listdir(gdal.GetConfigOption("CPL_TMPDIR") or "/tmp"))
    assert not [name for name in after - leftovers if name.startswith("velmorin_")]


def polygon(coords):
    return json.dumps({"type": "Polygon", "coordinates": [coords + [coords[0]]]})


def map_xy(col, row):
    return [500000.0 + 10.0 * col, 4100000.0 - 10.0 * row]


def test_clip_masks_outside_pixels_like_gdal_rasterize(raster, tmp_path):
    path, bands = scene(raster, height=60, width=80)
    corners = [map_xy(5, 7), map_xy(50, 7), map_xy(50, 40), map_xy(5, 40)]
    second = [map_xy(60, 45), map_xy(75, 45), map_xy(75, 58), map_xy(60, 58)]
    out = velmorin.open(path).algebra("B1 + 1").clip(polygon(corners)).clip(polygon(second)).to_memory().data
    # Reference mask from GDAL's rasteriser (pixel-aligned polygons: every rule agrees).
    mask_ds = gdal.GetDriverByName("MEM").Create("", 80, 60, 1, gdal.GDT_Byte)
    mask_ds.SetGeoTransform([500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0])
    vector = gdal.OpenEx(json.dumps({"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {}, "geometry": json.loads(polygon(c))} for c in (corners, second)]}))
    gdal.Rasterize(mask_ds, vector, burnValues=[1])
    mask = mask_ds.ReadAsArray().astype(bool)
    np.testing.assert_array_equal(out[mask], bands[0][mask] + 1)
    assert np.all(out[~mask] == 0)
    # clip before or after the algebra masks the same pixels
    again = velmorin.open(path).clip(polygon(corners)).clip(polygon(second)).algebra("B1 + 1").to_memory().data
    np.testing.assert_array_equal(out, again)


def test_clip_keeps_nan_outside_and_rejects_bad_geojson(raster):
    path = raster(np.full((1, 10, 10), np.nan, dtype=np.float32))
    out = velmorin.open(path).algebra("B1").clip(polygon([map_xy(0, 0), map_xy(2, 0), map_xy(2, 2)])).to_memory().data
    assert np.isnan(out).all()
    with pytest.raises(RuntimeError, match=r"^Invalid GeoJSON for clip operation\.$"):
        velmorin.open(path).algebra("B1").clip("{not json").to_memory()
    point = json.dumps({"type": "Point", "coordinates": map_xy(3, 3)})
    ones = raster(np.ones((1, 10, 10)))
    assert np.all(velmorin.open(ones).algebra("B1").clip(point).to_memory().data == 0)
