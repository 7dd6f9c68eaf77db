#include "io/geotiff_output.hpp"

#include <cpl_conv.h>
#include <cpl_vsi.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "io/raster_info.hpp"

namespace velmorin {
std::string temporary_raster_name() {
  static std::atomic<unsigned> counter{0};
  const char* configured = CPLGetConfigOption("CPL_TMPDIR", nullptr);
  std::filesystem::path dir =
      configured ? std::filesystem::path(configured) : std::filesystem::temp_directory_path();
  return (dir / ("velmorin_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + ".tif"))
      .string();
}

std::string to_vsis3(const std::string& path) {
  if (path.rfind("s3://", 0) == 0) return "/vsis3/" + path.substr(5);
  return path;
}

namespace {

DatasetPtr create_geotiff(const std::string& path, const RasterInfo& info, bool compressed) {
  register_gdal_drivers();
  GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GTiff");
  if (driver == nullptr) throw std::runtime_error("Cannot create output: " + path);
  CPLStringList options;
  options.SetNameValue("TILED", "YES");
  options.SetNameValue("BLOCKXSIZE", "512");
  options.SetNameValue("BLOCKYSIZE", "512");
  if (compressed) {
    options.SetNameValue("COMPRESS", "DEFLATE");
    options.SetNameValue("PREDICTOR", "3");
  }
  options.SetNameValue("BIGTIFF", "YES");
  CPLPushErrorHandler(CPLQuietErrorHandler);
  DatasetPtr dataset(
      driver->Create(path.c_str(), info.width, info.height, 1, GDT_Float32, options.List()));
  CPLPopErrorHandler();
  if (!dataset) throw std::runtime_error("Cannot create output: " + path);
  dataset->SetGeoTransform(const_cast<double*>(info.geotransform.data()));
  if (!info.crs.empty()) dataset->SetProjection(info.crs.c_str());
  return dataset;
}

}  // namespace

DatasetPtr open_output_geotiff(const std::string& path, const RasterInfo& info) {
  return create_geotiff(path, info, true);
}

DatasetPtr open_intermediate_geotiff(const std::string& path, const RasterInfo& info) {
  return create_geotiff(path, info, false);
}

void write_s3(const std::string& s3_path, const RasterInfo& info, const std::vector<float>& data) {
  if (data.empty()) throw std::runtime_error("write_s3: empty result \u2014 nothing to upload.");
  const std::string temporary = temporary_raster_name();
  struct Cleanup {
    const std::string& name;
    ~Cleanup() { VSIUnlink(name.c_str()); }
  } cleanup{temporary};
  {
    DatasetPtr dataset = open_output_geotiff(temporary, info);
    const CPLErr status = dataset->GetRasterBand(1)->RasterIO(
        GF_Write, 0, 0, info.width, info.height, const_cast<float*>(data.data()), info.width,
        info.height, GDT_Float32, 0, 0, nullptr);
    if (status != CE_None)
      throw std::runtime_error("write_s3: writing the temporary GeoTIFF failed: " +
                               last_gdal_error());
    close_dataset_checked(dataset, "write_s3: writing the temporary GeoTIFF failed");
  }
  const std::string destination = to_vsis3(s3_path);
  CPLPushErrorHandler(CPLQuietErrorHandler);
  const int status = destination.rfind("/vsis3/", 0) == 0
                         ? CPLCopyFile(destination.c_str(), temporary.c_str())
                         : 1;
  const std::string detail = last_gdal_error("");
  CPLPopErrorHandler();
  if (status != 0) {
    std::string message =
        "S3 upload failed. Ensure the path starts with /vsis3/ and AWS credentials are valid.";
    if (!detail.empty()) message += " (" + detail + ")";
    throw std::runtime_error(message);
  }
}

}  // namespace velmorin
