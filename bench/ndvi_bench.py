"""NDVI of a 2-band Float32 GeoTIFF: velmorin against rasterio + NumPy, in the same run.

    .venv/bin/python bench/ndvi_bench.py [--size 8000]
"""
import argparse

import numpy as np
import rasterio

import velmorin
from common import best_of, make_raster, report


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=8000)
    args = parser.parse_args()
    path = make_raster(args.size, 2)
    print("backend:", velmorin.device_info()["backend"], "| raster", args.size, "x", args.size, "x 2 bands, Float32")

    chain = velmorin.open(path).algebra("(B2 - B1) / (B2 + B1)")
    ours, result = best_of(lambda: chain.to_memory().data)

    def peer():
        with rasterio.open(path) as src:
            red = src.read(1)
            nir = src.read(2)
        return (nir - red) / (nir + red + np.float32(1e-6))

    theirs, expected = best_of(peer)
    assert np.allclose(result, expected, rtol=1e-5, atol=1e-6)
    report("NDVI to memory", ours, theirs, "rasterio+NumPy", args.size * args.size / 1e6)


if __name__ == "__main__":
    main()
