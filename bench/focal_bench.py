"""Focal mean (radius 1, 5, 15) and median (radius 1, 2): velmorin against scipy.ndimage on the
whole array (read with GDAL), in the same run.

    .venv/bin/python bench/focal_bench.py [--size 8000]
"""
import argparse

import numpy as np
from osgeo import gdal
from scipy import ndimage

import velmorin
from common import best_of, make_raster, report


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=8000)
    parser.add_argument("--repeats", type=int, default=1)
    args = parser.parse_args()
    path = make_raster(args.size, 1, seed=1)
    print("backend:", velmorin.device_info()["backend"], "| raster", args.size, "x", args.size, "Float32")
    megapixels = args.size * args.size / 1e6
    cases = [("mean", 1, lambda a: ndimage.uniform_filter(a, 3, mode="nearest")),
             ("mean", 5, lambda a: ndimage.uniform_filter(a, 11, mode="nearest")),
             ("mean", 15, lambda a: ndimage.uniform_filter(a, 31, mode="nearest")),
             ("median", 1, lambda a: ndimage.median_filter(a, 3, mode="nearest")),
             ("median", 2, lambda a: ndimage.median_filter(a, 5, mode="nearest"))]
    for stat, radius, scipy_filter in cases:
        chain = velmorin.open(path).focal(stat, radius)
        ours, result = best_of(lambda: chain.to_memory().data, args.repeats)
        theirs, expected = best_of(lambda: scipy_filter(gdal.Open(path).ReadAsArray()), args.repeats)
        tolerance = 1e-3 if stat == "mean" else 1.0 / 256 + 1e-6
        assert np.allclose(result, expected, atol=tolerance), stat
        report(f"focal {stat} r{radius}", ours, theirs, "scipy.ndimage", megapixels)


if __name__ == "__main__":
    main()
