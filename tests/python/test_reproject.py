"""Reprojection against GDAL's warper on the same target grid."""
import json

import numpy as np
import pytest
from osgeo import gdal

import velmorin


@pytest.fixture(scope="module")
def utm_scene(tmp_path_factory):
    from conftest import write_raster

    rng = np.random.default_rng(21)
    # A smooth field plus noise, so that bilinear differences stay small and nearest picks are exact.
    y, x = np.mgrid[0:700, 0:600]
    smooth = (np.sin(x / 37.0) + np.cos(y / 23.0)) * 100
    bands = np.stack([smooth + rng.uniform(0, 1, smooth.shape), smooth * 0.5]).astype(np.float32)
    path = write_raster(tmp_path_factory.mktemp("warp") / "utm.tif", bands,
                        options=["TILED=YES", "BLOCKXSIZE=128", "BLOCKYSIZE=128"])
    return path, bands


def gdal_warp(path, info, resampling, band=1):
    gt = info["geotransform"]
    w, h = info["width"], info["height"]
    out = gdal.Warp("", path, format="MEM", dstSRS=info["crs"], outputBounds=(gt[0], gt[3] + h * gt[5], gt[0] + w * gt[1], gt[3]),
                    width=w, height=h, resampleAlg=resampling, dstNodata=-9999, srcNodata=None)
    return out.GetRasterBand(band).ReadAsArray()


@pytest.mark.parametrize("resampling", ["nearest", "bilinear"])
def test_identity_reprojection_returns_the_source(utm_scene, resampling):
    path, bands = utm_scene
    out = velmorin.open(path).reproject("EPSG:32633", resampling=resampling).algebra("B1").to_memory().data
    assert out.shape == bands[0].shape
    np.testing.assert_allclose(out, bands[0], rtol=1e-4, atol=1e-3)


@pytest.mark.parametrize("target, kwargs", [
    ("EPSG:4326", {}),
    ("EPSG:3857", {"res_x": 13.0, "res_y": 9.0}),
    ("EPSG:4326", {"te_xmin": 15.0, "te_ymin": 37.0, "te_xmax": 15.06, "te_ymax": 37.055, "res_x": 0.0001, "res_y": 0.0001}),
])
def test_nearest_agrees_with_gdalwarp(utm_scene, target, kwargs):
    path, _ = utm_scene
    chain = velmorin.open(path).reproject(target, resampling="nearest", **kwargs).algebra("B1")
    info = chain.get_info()
    ours = chain.to_memory().data
    theirs = gdal_warp(path, info, "near")
    assert ours.shape == theirs.shape
    both_valid = (ours != -9999) & (theirs != -9999)
    share = np.mean(ours[both_valid] == theirs[both_valid])
    # Differences only where a position lies within rounding of a pixel edge: positions come
    # from a 32 x 32 lattice here and from GDAL's own approximate transformer there.
    assert share > 0.95, share
    assert np.mean((ours == -9999) != (theirs == -9999)) < 0.01


def test_bilinear_agrees_with_gdalwarp_away_from_edges(utm_scene):
    path, _ = utm_scene
    chain = velmorin.open(path).reproject("EPSG:4326").algebra("B2")
    info = chain.get_info()
    assert info["height"] > 512 and info["height"] % 512 != 0
    ours = chain.to_memory().data
    theirs = gdal_warp(path, info, "bilinear", band=2)
    valid = (ours != -9999) & (theirs != -9999)
    inner = np.zeros_like(valid)
    inner[5:-5, 5:-5] = True
    diff = np.abs(ours - theirs)[valid & inner]
    assert np.median(diff) < 0.05 and np.percentile(diff, 99) < 1.0


def test_nodata_one_pixel_wide_targets_and_clip(utm_scene, budget, capfd):
    path, bands = utm_scene
    # An extent reaching west of the source: those pixels get the nodata value, as float32.
    chain = velmorin.open(path).reproject("EPSG:32633", 10, 10, nodata=-1.1, te_xmin=499000, te_ymin=4095000,
                                          te_xmax=500500, te_ymax=4100000).algebra("B1")
    out = chain.to_memory().data
    assert out.shape == (500, 150)
    assert np.all(out[:, :100] == np.float32(-1.1))
    np.testing.assert_allclose(out[:, 100:], bands[0][:500, :50], rtol=1e-4, atol=1e-3)
    thin = velmorin.open(path).reproject("EPSG:32633", 10, 10, te_xmin=500000, te_ymin=4093000, te_xmax=500010,
                                         te_ymax=4100000, resampling="nearest").algebra("B1").to_memory().data
    assert thin.shape == (700, 1)
    np.testing.assert_allclose(thin[:, 0], bands[0][:, 0], rtol=1e-5)
    # clip before and after reproject masks the same pixels
    field = json.dumps({"type": "Polygon", "coordinates": [[[15.01, 37.04], [15.05, 37.04], [15.05, 37.01],
                                                            [15.01, 37.01], [15.01, 37.04]]]})
    after = velmorin.open(path).reproject("EPSG:4326").clip(field).algebra("B1").to_memory().data
    before = velmorin.open(path).clip(field).reproject("EPSG:4326").algebra("B1").to_memory().data
    np.testing.assert_array_equal(after, before)
    assert 0 < np.mean(after != 0) < 0.9
    # little free device memory: fewer workers, never fewer than one
    budget(device=1)
    velmorin.open(path).reproject("EPSG:4326").algebra("B1").to_memory(verbose=True)
    assert "[Reproject] Using 1 threads within 0 MB VRAM budget." in capfd.readouterr().out
