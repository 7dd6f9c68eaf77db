"""Shared helpers of the benchmarks: test rasters written with GDAL and a best-of timer."""
import os
import tempfile
import time

import numpy as np
from osgeo import gdal

gdal.UseExceptions()


def make_raster(size, bands, seed=0, folder=None):
    folder = folder or tempfile.mkdtemp(prefix="velmorin_bench_")
    path = os.path.join(folder, f"bench_{size}_{bands}.tif")
    if not os.path.exists(path):
        rng = np.random.default_rng(seed)
        ds = gdal.GetDriverByName("GTiff").Create(path, size, size, bands, gdal.GDT_Float32,
                                                  ["TILED=YES", "BLOCKXSIZE=512", "BLOCKYSIZE=512"])
        ds.SetGeoTransform([500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0])
        ds.SetProjection("EPSG:32633")
        for b in range(bands):
            ds.GetRasterBand(b + 1).WriteArray(rng.uniform(0.01, 1.0, (size, size)).astype(np.float32))
        ds = None
    return path


def best_of(function, repeats=3):
    best = float("inf")
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def report(name, ours, peer, peer_name, megapixels):
    print(f"{name:<28} velmorin {ours:8.3f} s   {peer_name} {peer:8.3f} s   "
          f"ratio {peer / ours:6.2f}x   ({megapixels / ours:7.1f} Mpx/s)")
