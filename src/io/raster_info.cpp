#include "io/raster_info.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "io/gdal_handles.hpp"

namespace velmorin {
namespace {

uint64_t metadata_u64(GDALRasterBand* band, const std::string& key) {
  const char* text = band->GetMetadataItem(key.c_str(), "TIFF");
  return text ? std::strtoull(text, nullptr, 10) : 0;
}

// Block byte ranges in TIFF order (planes one after another for band-interleaved files),
// read through GDAL's TIFF metadata domain.
void read_block_ranges(GDALDataset& dataset, RasterInfo& info) {
  GDALDriver* driver = dataset.GetDriver();
  if (driver == nullptr || std::string(driver->GetDescription()) != "GTiff") return;
  const int across = info.tiled ? info.blocks_across() : 1;
  const int down = info.tiled ? info.blocks_down() : info.strips_per_plane();
  const int planes = info.pixel_interleaved() ? 1 : info.band_count;
  auto& offsets = info.tiled ? info.tile_offsets : info.strip_offsets;
  auto& counts = info.tiled ? info.tile_byte_counts : info.strip_byte_counts;
  const std::size_t total = std::size_t(across) * down * planes;
  offsets.reserve(total);
  counts.reserve(total);
  for (int p = 0; p < planes; ++p) {
    GDALRasterBand* band = dataset.GetRasterBand(p + 1);
    for (int r = 0; r < down; ++r) {
      for (int c = 0; c < across; ++c) {
        const std::string suffix = std::to_string(c) + "_" + std::to_string(r);
        offsets.push_back(metadata_u64(band, "BLOCK_OFFSET_" + suffix));
        counts.push_back(metadata_u64(band, "BLOCK_SIZE_" + suffix));
      }
    }
  }
}

}  // namespace

void register_gdal_drivers() {
  static std::once_flag once;
  std::call_once(once, [] { GDALAllRegister(); });
}

int32_t parse_predictor(const std::string& value) {
  const char* begin = value.c_str();
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(begin, &end, 10);
  if (end == begin) throw std::invalid_argument("invalid stoi argument");
  if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX)
    throw std::out_of_range("stoi argument out of range");
  return int32_t(parsed);
}

RasterInfo open_raster_info(const std::string& path) {
  register_gdal_drivers();
  DatasetPtr dataset = open_dataset(path);
  if (!dataset) throw std::runtime_error("Cannot open: " + path);

  RasterInfo info;
  info.width = dataset->GetRasterXSize();
  info.height = dataset->GetRasterYSize();
  info.band_count = dataset->GetRasterCount();
  dataset->GetGeoTransform(info.geotransform.data());
  const char* wkt = dataset->GetProjectionRef();
  info.crs = wkt ? wkt : "";
  if (info.band_count < 1)
    throw std::runtime_error("Cannot open: " + path + " (the file has no raster band)");

  GDALRasterBand* band = dataset->GetRasterBand(1);
  info.data_type = int32_t(band->GetRasterDataType());
  int block_x = info.block_width, block_y = info.block_height;
  band->GetBlockSize(&block_x, &block_y);
  info.block_width = block_x;
  info.block_height = block_y;
  info.tiled = info.block_width != info.width;
  if (!info.tiled) info.rows_per_strip = info.block_height;

  if (const char* v = dataset->GetMetadataItem("INTERLEAVE", "IMAGE_STRUCTURE"))
    info.interleave = v;
  if (const char* v = dataset->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE"))
    info.compression = v;
  if (char** entries = dataset->GetMetadata("IMAGE_STRUCTURE")) {
    for (char** entry = entries; *entry != nullptr; ++entry) {
      const std::string item = *entry;
      if (item.size() >= 10 && item.compare(0, 10, "PREDICTOR=") == 0)
        info.predictor = parse_predictor(item.substr(10));
    }
  }
  read_block_ranges(*dataset, info);
  return info;
}

}  // namespace velmorin
