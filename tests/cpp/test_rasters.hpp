// Small GeoTIFFs written with GDAL for the C++ tests.
#pragma once

#include <gdal_priv.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/raster_info.hpp"

namespace velmorin::testing {

inline std::string temp_path(const std::string& name) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("velmorin_cpp_tests_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  return (dir / name).string();
}

// A width x height raster whose band b holds value(b, x, y); options are GTiff creation options.
template <class Value>
std::string write_raster(const std::string& name, int width, int height, int bands,
                         GDALDataType type, const std::vector<std::string>& options, Value value,
                         const char* crs = "EPSG:32633") {
  register_gdal_drivers();
  const std::string path = temp_path(name);
  CPLStringList list;
  for (const auto& o : options) list.AddString(o.c_str());
  GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
      path.c_str(), width, height, bands, type, list.List());
  double gt[6] = {500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0};
  ds->SetGeoTransform(gt);
  if (crs) ds->SetProjection(crs);
  std::vector<double> pixels(std::size_t(width) * height);
  for (int b = 0; b < bands; ++b) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) pixels[std::size_t(y) * width + x] = value(b, x, y);
    if (ds->GetRasterBand(b + 1)->RasterIO(GF_Write, 0, 0, width, height, pixels.data(), width,
                                           height, GDT_Float64, 0, 0, nullptr) != CE_None)
      throw std::runtime_error("test raster write failed");
  }
  GDALClose(ds);
  return path;
}

}  // namespace velmorin::testing
