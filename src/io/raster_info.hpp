// Description of an input raster: size, block layout, sample type, compression,
// interleaving, georeferencing and the byte ranges of its TIFF blocks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velmorin {

struct RasterInfo {
  int32_t width = 0;
  int32_t height = 0;
  int32_t block_width = 512;
  int32_t block_height = 512;
  bool tiled = false;
  int32_t data_type = 0;  // GDAL data type code of band 1
  int32_t band_count = 1;
  int32_t predictor = 1;
  std::string interleave = "BAND";
  std::string compression = "NONE";
  int32_t rows_per_strip = 1;
  std::array<double, 6> geotransform{0.0, 1.0, 0.0, 0.0, 0.0, -1.0};
  std::string crs;
  std::vector<uint64_t> tile_offsets;
  std::vector<uint64_t> tile_byte_counts;
  std::vector<uint64_t> strip_offsets;
  std::vector<uint64_t> strip_byte_counts;

  bool pixel_interleaved() const { return interleave == "PIXEL"; }
  int32_t blocks_across() const { return (width + block_width - 1) / block_width; }
  int32_t blocks_down() const { return (height + block_height - 1) / block_height; }
  int32_t strips_per_plane() const { return (height + rows_per_strip - 1) / rows_per_strip; }
};

// Describes the raster at `path` (a local path or a GDAL virtual path) through GDAL.
// Raises std::runtime_error("Cannot open: " + path) when GDAL cannot open it.
RasterInfo open_raster_info(const std::string& path);

// Parses the value of a "PREDICTOR=" entry with the usual string-to-int rules.
int32_t parse_predictor(const std::string& value);

// Registers GDAL's drivers once per process.
void register_gdal_drivers();

}  // namespace velmorin
