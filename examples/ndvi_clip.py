"""NDVI of a small embedded scene, clipped to a field boundary.

Writes a 2-band UTM GeoTIFF (red, near infrared) to a temporary folder, computes
NDVI = (NIR - red) / (NIR + red) inside a polygon with velmorin, checks the answer
against NumPy, and saves the result as a tiled GeoTIFF.
"""
import json
import os
import tempfile

import numpy as np
from osgeo import gdal

import velmorin

gdal.UseExceptions()


def make_scene(path, width=600, height=400):
    rng = np.random.default_rng(7)
    red = rng.uniform(0.02, 0.3, (height, width)).astype(np.float32)
    nir = (red + rng.uniform(0.0, 0.5, (height, width))).astype(np.float32)
    ds = gdal.GetDriverByName("GTiff").Create(
        path, width, height, 2, gdal.GDT_Float32, ["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256"])
    ds.SetGeoTransform([500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0])
    ds.SetProjection("EPSG:32633")
    ds.GetRasterBand(1).WriteArray(red)
    ds.GetRasterBand(2).WriteArray(nir)
    ds = None
    return red, nir


def main():
    folder = tempfile.mkdtemp(prefix="velmorin_example_")
    scene = os.path.join(folder, "scene.tif")
    red, nir = make_scene(scene)
    field = {"type": "Polygon", "coordinates": [[
        [500500.0, 4099500.0], [505500.0, 4099500.0], [505500.0, 4097000.0],
        [500500.0, 4097000.0], [500500.0, 4099500.0]]]}

    chain = velmorin.open(scene).algebra("(B2 - B1) / (B2 + B1)").clip(json.dumps(field))
    print("backend:", velmorin.device_info()["backend"])
    print("output grid:", chain.get_info()["width"], "x", chain.get_info()["height"])
    result = chain.to_memory()
    ndvi = result.data

    expected = (nir - red) / (nir + red + np.float32(1e-6))
    inside = np.zeros_like(expected, dtype=bool)
    inside[50:300, 50:550] = True  # the field in pixel rows and columns
    assert np.allclose(ndvi[inside], expected[inside], rtol=1e-6, atol=1e-6)
    assert np.all(ndvi[~inside] == 0.0)
    print("NDVI inside the field: mean %.4f, min %.4f, max %.4f"
          % (ndvi[inside].mean(), ndvi[inside].min(), ndvi[inside].max()))

    out = os.path.join(folder, "ndvi.tif")
    chain.save_local(out)
    saved = gdal.Open(out).ReadAsArray()
    assert np.array_equal(saved, ndvi)
    print("saved", out, "- matches NumPy")


if __name__ == "__main__":
    main()
