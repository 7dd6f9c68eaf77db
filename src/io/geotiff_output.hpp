// The GeoTIFFs the system writes: one Float32 band, 512 x 512 tiles, deflate with the
// floating-point predictor, BigTIFF layout.
#pragma once

#include <string>
#include <vector>

#include "io/gdal_handles.hpp"
#include "io/raster_info.hpp"

namespace velmorin {

// Creates the output file for the grid `info` and sets its georeferencing (the projection only
// when `info.crs` is not empty). Raises "Cannot create output: " + path.
DatasetPtr open_output_geotiff(const std::string& path, const RasterInfo& info);

// An uncompressed tiled Float32 GeoTIFF for intermediate results of a staged run.
DatasetPtr open_intermediate_geotiff(const std::string& path, const RasterInfo& info);

// A new file name in the temporary directory (CPL_TMPDIR when set) ending in ".tif".
std::string temporary_raster_name();

// Writes a whole in-memory result to a temporary GeoTIFF and copies it to an object-store
// path ("/vsis3/bucket/key", or "s3://bucket/key"), removing the temporary file afterwards.
void write_s3(const std::string& s3_path, const RasterInfo& info, const std::vector<float>& data);

// A GDAL object-store path for "s3://bucket/key"; other paths are returned unchanged.
std::string to_vsis3(const std::string& path);

}  // namespace velmorin
