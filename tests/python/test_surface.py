"""The module surface: recording, validation, get_info and the device description."""
import ctypes
import json

import numpy as np
import pytest

import velmorin


def test_module_surface_and_docstrings():
    assert velmorin.open.__doc__.strip().endswith("Open a GeoTIFF and return a lazy Chain.")
    assert "stat: mean/sum/min/max/std/variance/median/range." in velmorin.Chain.focal.__doc__
    assert "Haralick" in velmorin.Chain.texture.__doc__
    assert "{y_offset, width, height, data}" in velmorin.ChunkQueue.next.__doc__
    info = velmorin.device_info()
    assert info["backend"] == "cpu"
    assert info["engine_threads"] >= 1 and info["host_memory_budget"] > 0
    lib = ctypes.CDLL(velmorin.__file__)
    assert ctypes.c_uint32.in_dll(lib, "NvOptimusEnablementCuda").value == 1
    with pytest.raises(TypeError):
        velmorin.Chain()


def test_recording_never_changes_the_receiver_and_needs_no_file():
    base = velmorin.open("/no/such/file.tif")
    derived = base.algebra("B1 * 2").clip('{"type":"Point","coordinates":[0,0]}')
    assert base.records == []
    assert [r["kind"] for r in derived.records] == ["algebra", "clip"]
    branch = base.algebra("B2")
    assert [r["expression"] for r in branch.records] == ["B2"]
    with pytest.raises(RuntimeError, match="^Cannot open: /no/such/file.tif$"):
        derived.to_memory()
    with pytest.raises(RuntimeError, match="^Cannot open: /no/such/file.tif$"):
        base.get_info()
    with pytest.raises(RuntimeError, match="^Cannot open: /no/such/file.tif$"):
        base.terrain()


def test_reproject_records_resampling_and_extent():
    c = velmorin.open("x.tif")
    assert c.reproject("EPSG:4326", resampling="nearest").records[0]["resampling"] == "nearest"
    assert c.reproject("EPSG:4326", resampling="Nearest").records[0]["resampling"] == "bilinear"
    assert c.reproject("EPSG:4326", te_ymin=1.0, te_ymax=2.0).records[0]["extent"] is None
    assert c.reproject("EPSG:4326", te_ymin=1.0, te_ymax=2.0, te_xmax=3.0).records[0]["extent"] == (0.0, 1.0, 3.0, 2.0)


@pytest.mark.parametrize("call, error, message", [
    (lambda c: c.focal("mode"), RuntimeError, "^Unknown focal stat: mode$"),
    (lambda c: c.focal("Mean"), RuntimeError, "^Unknown focal stat: Mean$"),
    (lambda c: c.focal("mean", 1, "hexagon"), RuntimeError, "^Unknown focal shape: hexagon$"),
    (lambda c: c.focal("mean", -1), ValueError, "radius must be 0 or more"),
    (lambda c: c.texture(["entropy", "bogus"]), RuntimeError, "^Unknown GLCM feature: bogus$"),
    (lambda c: c.texture(levels=200), ValueError, "levels must be between 2 and 55"),
    (lambda c: c.texture(window=0), ValueError, "window must be 1 or more"),
    (lambda c: c.focal(radius="2"), TypeError, ""),
])
def test_recording_validation(call, error, message):
    with pytest.raises(error, match=message):
        call(velmorin.open("x.tif"))


def test_terrain_and_texture_records(raster):
    path = raster(np.zeros((1, 10, 10)), geotransform=(10.0, 0.001, 0, 60.0 + 0.005, 0, -0.001), crs="EPSG:4326")
    rec = velmorin.open(path).terrain().records[0]
    assert rec["metrics"] == ["slope"]
    # Geographic cells are scaled to metres at the raster's mid latitude (60 degrees).
    assert rec["cell_size"] == pytest.approx((55.66, 111.32), rel=1e-3)
    rec = velmorin.open(path).terrain(["aspect", "slope"]).records[0]
    assert rec["metric_mask"] == 3
    with pytest.raises(RuntimeError, match="^Unknown terrain metric: slopes$"):
        velmorin.open(path).terrain(["slopes"])
    tex = velmorin.open(path).texture(["contrast"], window=10).records[0]
    assert (tex["window"], tex["bands"]) == (11, 18)
    assert velmorin.open(path).texture(direction_mode="separate").records[0]["bands"] == 72


def test_get_info_reports_the_output_grid(raster):
    path = raster(np.ones((1, 100, 200)))
    info = velmorin.open(path).algebra("B1").get_info()
    assert list(info) == ["width", "height", "geotransform", "crs"]
    assert (info["width"], info["height"]) == (200, 100)
    assert info["geotransform"] == [500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0]
    assert "32633" in info["crs"]
    first = velmorin.open(path).reproject("EPSG:32633", 20, 20).reproject("EPSG:4326").get_info()
    assert (first["width"], first["height"]) == (100, 50)
    with pytest.raises(RuntimeError, match="^Invalid target CRS: nowhere$"):
        velmorin.open(path).reproject("nowhere").get_info()
    bare = raster(np.ones((1, 5, 5)), crs=None)
    assert velmorin.open(bare).get_info()["crs"] == ""


def test_chains_without_a_computing_operation_are_rejected(raster):
    path = raster(np.ones((1, 8, 8)))
    square = json.dumps({"type": "Polygon", "coordinates": [[[500000, 4100000], [500040, 4100000],
                                                             [500040, 4099960], [500000, 4100000]]]})
    message = r"^Chain must contain at least one algebra\(\), focal\(\), terrain\(\), texture\(\), or zonal_stats\(\) operation\.$"
    for chain in (velmorin.open(path), velmorin.open(path).clip(square), velmorin.open(path).reproject("EPSG:4326")):
        with pytest.raises(RuntimeError, match=message):
            chain.to_memory()
    assert velmorin.open(path).clip(square).algebra("B1").to_memory().width == 8
