"""Reprojection of a UTM raster to EPSG:4326: velmorin against gdalwarp with all CPU threads,
on the same target grid and resampling, in the same run.

    .venv/bin/python bench/reproject_bench.py [--size 8000] [--resampling nearest|bilinear]
"""
import argparse

from osgeo import gdal

import velmorin
from common import best_of, make_raster, report


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=8000)
    parser.add_argument("--resampling", default="nearest", choices=["nearest", "bilinear"])
    args = parser.parse_args()
    path = make_raster(args.size, 1, seed=2)
    print("backend:", velmorin.device_info()["backend"], "| raster", args.size, "x", args.size, "UTM -> EPSG:4326,",
          args.resampling)
    chain = velmorin.open(path).reproject("EPSG:4326", resampling=args.resampling).algebra("B1")
    info = chain.get_info()
    ours, _ = best_of(lambda: chain.to_memory().data, 1)
    gt, w, h = info["geotransform"], info["width"], info["height"]

    def peer():
        out = gdal.Warp("", path, format="MEM", dstSRS="EPSG:4326", width=w, height=h,
                        outputBounds=(gt[0], gt[3] + h * gt[5], gt[0] + w * gt[1], gt[3]),
                        resampleAlg="near" if args.resampling == "nearest" else "bilinear",
                        multithread=True, warpOptions=["NUM_THREADS=ALL_CPUS"], dstNodata=-9999)
        return out.GetRasterBand(1).ReadAsArray()

    theirs, _ = best_of(peer, 1)
    report("reproject to EPSG:4326", ours, theirs, "gdalwarp", w * h / 1e6)


if __name__ == "__main__":
    main()
