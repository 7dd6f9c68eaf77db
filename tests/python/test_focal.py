"""Focal statistics against SciPy / NumPy on the whole array, with edge pixels replicated."""
import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view
from scipy import ndimage

import velmorin

STATS = ["mean", "sum", "min", "max", "std", "variance", "median", "range"]


def windows(array, radius, shape):
    padded = np.pad(array.astype(np.float64), radius, mode="edge")
    view = sliding_window_view(padded, (2 * radius + 1, 2 * radius + 1))
    offsets = np.arange(-radius, radius + 1)
    keep = np.ones((2 * radius + 1,) * 2, dtype=bool)
    if shape == "circle":
        keep = offsets[:, None] ** 2 + offsets[None, :] ** 2 <= radius ** 2
    return view[..., keep]


def reference(array, stat, radius, shape):
    w = windows(array, radius, shape)
    return {
        "mean": lambda: w.mean(-1),
        "sum": lambda: w.sum(-1),
        "min": lambda: w.min(-1),
        "max": lambda: w.max(-1),
        "std": lambda: w.std(-1, ddof=1) if w.shape[-1] > 1 else np.zeros(array.shape),
        "variance": lambda: w.var(-1, ddof=1) if w.shape[-1] > 1 else np.zeros(array.shape),
        "median": lambda: np.median(w, -1),
        "range": lambda: w.max(-1) - w.min(-1),
    }[stat]()


@pytest.fixture(scope="module")
def surface(tmp_path_factory):
    from conftest import write_raster

    rng = np.random.default_rng(11)
    data = rng.uniform(0.0, 100.0, (1, 83, 97)).astype(np.float32)
    path = write_raster(tmp_path_factory.mktemp("focal") / "dem.tif", data,
                        options=["TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16"])
    return path, data[0]


@pytest.mark.parametrize("radius", [0, 1, 2, 3, 4, 5, 6])
@pytest.mark.parametrize("shape", ["square", "circle"])
@pytest.mark.parametrize("stat", STATS)
def test_focal_matches_reference(surface, stat, radius, shape):
    path, data = surface
    out = velmorin.open(path).focal(stat, radius, shape).to_memory().data
    expected = reference(data, stat, radius, shape)
    if stat == "median" and radius == 1:
        expected = reference(data, stat, 1, "square")  # the 3 x 3 median is always square
        np.testing.assert_array_equal(out, expected.astype(np.float32))
    elif stat == "median":
        # 256 bins between the window's minimum and maximum: within one bin width.
        w = windows(data, radius, shape)
        bin_width = (w.max(-1) - w.min(-1)) / 256
        assert np.all(np.abs(out - expected) <= bin_width + 1e-4)
    else:
        np.testing.assert_allclose(out, expected, rtol=2e-5, atol=2e-3)


def test_scipy_agrees_on_square_windows(surface):
    path, data = surface
    chain = velmorin.open(path)
    np.testing.assert_allclose(chain.focal("mean", 2).to_memory().data,
                               ndimage.uniform_filter(data.astype(np.float64), 5, mode="nearest"), rtol=1e-5, atol=1e-3)
    np.testing.assert_array_equal(chain.focal("min", 3).to_memory().data, ndimage.minimum_filter(data, 7, mode="nearest"))
    np.testing.assert_array_equal(chain.focal("max", 1).to_memory().data, ndimage.maximum_filter(data, 3, mode="nearest"))
    np.testing.assert_array_equal(chain.focal("median", 1).to_memory().data, ndimage.median_filter(data, 3, mode="nearest"))


def test_chunking_does_not_change_the_result(surface, budget):
    path, _ = surface
    chain = velmorin.open(path).focal("std", 5, "circle")
    whole = chain.to_memory().data
    budget(host=97 * 4 * 40 * 2)  # a few rows per chunk; the halo is larger than a chunk
    strips = [c["height"] for c in chain.iter_begin()]
    assert len(strips) > 4
    np.testing.assert_array_equal(chain.to_memory().data, whole)


def test_constant_raster_and_nan_samples(raster):
    const = raster(np.full((1, 20, 30), 7.5, dtype=np.float32))
    for stat, value in [("mean", 7.5), ("min", 7.5), ("max", 7.5), ("median", 7.5), ("std", 0), ("variance", 0),
                        ("range", 0), ("sum", 7.5 * 25)]:
        np.testing.assert_allclose(velmorin.open(const).focal(stat, 2).to_memory().data, value, rtol=1e-6)
    data = np.arange(25, dtype=np.float32).reshape(1, 5, 5)
    data[0, 2, 2] = np.nan
    path = raster(data)
    assert np.isnan(velmorin.open(path).focal("mean", 1).to_memory().data[1:4, 1:4]).all()
    mins = velmorin.open(path).focal("min", 1).to_memory().data
    assert mins[2, 2] == 6.0  # a NaN never becomes the minimum


def test_halo_larger_than_the_budget_is_refused_before_reading(raster, budget):
    path = raster(np.ones((1, 50, 1000), dtype=np.float32))
    budget(host=100_000)
    with pytest.raises(RuntimeError, match="focal: a halo of 40 rows"):
        velmorin.open(path).focal("mean", 40).to_memory()


def test_records_take_effect_in_the_order_written(raster, tmp_path):
    rng = np.random.default_rng(5)
    bands = rng.uniform(1.0, 2.0, (2, 40, 50)).astype(np.float32)
    path = raster(bands, options=["TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16"])
    ratio = bands[1] / (bands[0] + np.float32(1e-6))
    # algebra then focal: the focal statistic of the ratio
    out = velmorin.open(path).algebra("B2 / B1").focal("mean", 2).to_memory().data
    np.testing.assert_allclose(out, reference(ratio, "mean", 2, "square"), rtol=1e-5)
    # focal then algebra: the algebra sees the focal result as B1
    out = velmorin.open(path).focal("max", 1).algebra("B1 * 10").to_memory().data
    np.testing.assert_allclose(out, reference(bands[0], "max", 1, "square") * 10, rtol=1e-6)
    # two focal operations compose; a clip after them masks the composed result
    square = {"type": "Polygon", "coordinates": [[[500000, 4100000], [500200, 4100000], [500200, 4099800],
                                                  [500000, 4099800], [500000, 4100000]]]}
    import json

    out = velmorin.open(path).focal("min", 1).focal("max", 1).clip(json.dumps(square)).to_memory().data
    opened = reference(reference(bands[0], "min", 1, "square"), "max", 1, "square")
    np.testing.assert_allclose(out[:20, :20], opened[:20, :20], rtol=1e-6)
    assert np.all(out[20:] == 0) and np.all(out[:, 20:] == 0)
    # intermediate rasters do not outlive the run
    import glob
    import os
    import tempfile

    assert glob.glob(os.path.join(tempfile.gettempdir(), f"velmorin_{os.getpid()}_*.tif")) == []
