"""Band algebra end to end against NumPy, on every file layout and chunking."""
import numpy as np
import pytest
from osgeo import gdal

import velmorin

EPS = np.float32(1e-6)  # the guard the device adds to every divisor

LAYOUTS = {
    "tiled-band": ["TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=16", "INTERLEAVE=BAND"],
    "tiled-pixel": ["TILED=YES", "BLOCKXSIZE=64", "BLOCKYSIZE=32", "INTERLEAVE=PIXEL"],
    "striped-band": ["BLOCKYSIZE=7", "INTERLEAVE=BAND"],
    "striped-pixel-deflate": ["BLOCKYSIZE=1", "INTERLEAVE=PIXEL", "COMPRESS=DEFLATE"],
}
TYPES = {
    "Byte": (gdal.GDT_Byte, 0, 255),
    "UInt16": (gdal.GDT_UInt16, 0, 60000),
    "Int16": (gdal.GDT_Int16, -3000, 3000),
    "Float32": (gdal.GDT_Float32, -5.0, 5.0),
    "Float64": (gdal.GDT_Float64, -5.0, 5.0),
}


def random_bands(count, height, width, lo, hi, seed=0):
    rng = np.random.default_rng(seed)
    data = rng.uniform(lo, hi, (count, height, width))
    return np.round(data) if isinstance(lo, int) else data


def ndvi(b4, b3):
    b4 = b4.astype(np.float32)
    b3 = b3.astype(np.float32)
    return (b4 - b3) / ((b4 + b3) + EPS)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("type_name", TYPES)
def test_ndvi_matches_numpy_on_every_layout(raster, layout, type_name):
    dtype, lo, hi = TYPES[type_name]
    bands = random_bands(4, 75, 90, lo, hi)  # 75 rows: not a multiple of any block height
    path = raster(bands, dtype=dtype, options=LAYOUTS[layout])
    stored = gdal.Open(path).ReadAsArray().astype(np.float32)
    out = velmorin.open(path).algebra("(B4 - B3) / (B4 + B3)").to_memory().data
    assert out.dtype == np.float32 and out.shape == (75, 90)
    np.testing.assert_allclose(out, ndvi(stored[3], stored[2]), rtol=2e-6, atol=1e-6)


def test_expression_features_match_numpy(raster):
    bands = random_bands(3, 40, 50, -2.0, 2.0, seed=1).astype(np.float32)
    path = raster(bands)
    b1, b2, b3 = bands
    cases = {
        "B1 * -2 + B2": b1 * -2 + b2,
        "-B1": -b1,
        "1e-5 * B3": np.float32(1e-5) * b3,
        "B1 > B2": (b1 > b2).astype(np.float32),
        "B1 + 1 >= B2 * 2": (b1 + 1 >= b2 * 2).astype(np.float32),
        "where(B1 > 0, B2, B3)": np.where(b1 > 0, b2, b3),
        "clamp(B1, -0.5, 0.5)": np.clip(b1, -0.5, 0.5),
        "inrange(B2, 0, 1)": ((b2 >= 0) & (b2 <= 1)).astype(np.float32),
        "min(B1, B2) - max(B2, B3)": np.minimum(b1, b2) - np.maximum(b2, b3),
        "sqrt(abs(B1))": np.sqrt(np.abs(b1)),
        "log(abs(B2) + 1) + exp(B3 / 4)": np.log(np.abs(b2) + 1) + np.exp(b3 / (4 + EPS)),
        "8 / 4 / 2 + B1 * 0": np.full_like(b1, (8 / (4 + EPS)) / (2 + EPS)),
        "and(B1 > 0, B2 > 0) + or(B1 > 0, B2 > 0) * 2 + not(B3 > 0) * 4":
            ((b1 > 0) & (b2 > 0)) + ((b1 > 0) | (b2 > 0)) * 2.0 + (~(b3 > 0)) * 4.0,
    }
    chain = velmorin.open(path)
    for expression, expected in cases.items():
        out = chain.algebra(expression).to_memory().data
        np.testing.assert_allclose(out, expected.astype(np.float32), rtol=3e-6, atol=1e-6, err_msg=expression)


def test_last_expression_runs_with_bands_of_earlier_ones(raster):
    bands = random_bands(3, 10, 10, 0.0, 1.0).astype(np.float32)
    out = velmorin.open(raster(bands)).algebra("B3").algebra("B1").to_memory().data
    np.testing.assert_array_equal(out, bands[0])


def test_result_does_not_depend_on_chunking(raster, budget):
    bands = random_bands(2, 301, 123, 0.0, 100.0, seed=2).astype(np.float32)
    path = raster(bands, options=["TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16"])
    chain = velmorin.open(path).algebra("(B1 - B2) / (B1 + B2) * 1000")
    whole = chain.to_memory().data
    # 123 columns x 3 buffers x 4 bytes x 2 workers per row: 20 kB holds only a few rows.
    budget(host=20_000)
    strips = [c["height"] for c in chain.iter_begin()]
    assert len(strips) > 10
    np.testing.assert_array_equal(chain.to_memory().data, whole)
    budget(host=10**12, device=20_000)
    np.testing.assert_array_equal(chain.to_memory().data, whole)


def test_odd_geometries_keep_bands_aligned(raster, budget):
    # 1 x 1, a single column and odd widths with 1-row strips: band strides that are not a
    # multiple of four floats.
    for shape in [(1, 1), (7, 1), (1, 9), (13, 5)]:
        bands = random_bands(3, shape[0], shape[1], 0.0, 1.0, seed=shape[0]).astype(np.float32)
        path = raster(bands, options=["BLOCKYSIZE=1"])
        for host in (None, 1000):
            if host:
                budget(host=host)
            out = velmorin.open(path).algebra("B1 + B2 * B3").to_memory().data
            np.testing.assert_allclose(out, bands[0] + bands[1] * bands[2], rtol=1e-6)


@pytest.mark.parametrize("expression, error, message", [
    ("sqrt(B1", ValueError, r"missing '\)'"),
    ("B1 +", ValueError, "missing operand"),
    ("b1", ValueError, "unknown token 'b1'"),
    ("B1 + B9", ValueError, "Band B9 does not exist: .* has 2 band"),
    ("B0", ValueError, "Band B0 does not exist"),
    (".", ValueError, "^invalid stof argument$"),
    ("1e99", IndexError, "^stof argument out of range$"),
])
def test_bad_expressions_fail_before_reading(raster, expression, error, message):
    path = raster(np.ones((2, 4, 4)))
    with pytest.raises(error, match=message):
        velmorin.open(path).algebra(expression).to_memory()


def test_unreadable_pixels_abort_the_run_naming_the_file(raster, tmp_path):
    bands = random_bands(1, 400, 400, 0.0, 1.0).astype(np.float32)
    path = raster(bands, options=["TILED=YES", "COMPRESS=DEFLATE"])
    data = open(path, "rb").read()
    broken = tmp_path / "broken.tif"
    broken.write_bytes(data[: len(data) // 2])  # header intact, the last tiles missing
    with pytest.raises(RuntimeError, match="broken.tif"):
        velmorin.open(str(broken)).algebra("B1").to_memory()
    garbage = tmp_path / "garbage.tif"
    garbage.write_bytes(b"II*\x00" + b"\x00" * 100)
    with pytest.raises(RuntimeError, match="^Cannot open: .*garbage.tif"):
        velmorin.open(str(garbage)).algebra("B1").to_memory()
