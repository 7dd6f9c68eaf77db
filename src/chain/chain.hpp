// The recorded pipeline: a Chain is an immutable source path plus a list of operation records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/raster_info.hpp"

namespace velmorin {

enum class OperationKind : int32_t {
  Algebra = 0,
  Clip = 2,
  Reproject = 3,
  Focal = 4,
  Terrain = 5,
  Texture = 6,
  ZonalStats = 7,
};

struct ReprojectParams {
  std::string target_crs;
  double res_x = 0.0;
  double res_y = 0.0;
  int32_t resampling = 1;  // 0 nearest, 1 bilinear
  double nodata = -9999.0;
  bool has_extent = false;
  double te_xmin = 0.0;
  double te_ymin = 0.0;
  double te_xmax = 0.0;
  double te_ymax = 0.0;
};

struct FocalParams {
  int32_t stat = 0;  // mean 0, sum 1, min 2, max 3, std 4, variance 5, median 6, range 7
  int32_t radius = 1;
  int32_t shape = 0;  // square 0, circle 1
  bool clamp_border = true;
};

struct TerrainParams {
  std::vector<std::string> metrics;
  std::string unit = "degrees";
  double sun_azimuth = 315.0;
  double sun_altitude = 45.0;
  std::string method = "horn";
  float cell_width = 1.0f;
  float cell_height = 1.0f;
  uint32_t metric_mask = 0;
  int32_t metric_count = 1;
};

struct TextureParams {
  std::vector<std::string> features;
  int32_t window = 11;
  int32_t levels = 32;
  bool average = true;
  bool log_scale = false;
  float val_min = 0.0f;
  float val_max = 0.0f;
  bool auto_range = true;
  int32_t output_band_count = 18;
};

struct ZonalParams {
  std::string geojson;
  std::vector<std::string> stats;
  int32_t band = 1;
};

struct OperationRecord {
  OperationKind kind = OperationKind::Algebra;
  std::string expression;
  std::string geojson;
  ReprojectParams reproject;
  FocalParams focal;
  TerrainParams terrain;
  TextureParams texture;
  ZonalParams zonal;

  bool is_neighbourhood() const {
    return kind == OperationKind::Focal || kind == OperationKind::Terrain ||
           kind == OperationKind::Texture;
  }
};

struct Chain {
  std::string path;
  std::vector<OperationRecord> ops;

  // A copy of this chain with one more record.
  Chain with(OperationRecord record) const;
};

// Recording-time parsers: validate the arguments and fill the parameter blocks.
// Unknown keywords raise std::runtime_error; unusable numbers raise std::invalid_argument.
FocalParams parse_focal(const std::string& stat, int32_t radius, const std::string& shape,
                        bool clamp_border);
TerrainParams parse_terrain(std::vector<std::string> metrics, const std::string& unit,
                            double sun_azimuth, double sun_altitude, const std::string& method,
                            const RasterInfo& source);
TextureParams parse_texture(std::vector<std::string> features, int32_t window, int32_t levels,
                            const std::string& direction_mode, bool log_scale, float val_min,
                            float val_max);
ReprojectParams make_reproject_params(const std::string& target_crs, double res_x, double res_y,
                                      const std::string& resampling, double nodata, double te_xmin,
                                      double te_ymin, double te_xmax, double te_ymax);

// Texture levels the device's four per-block co-occurrence matrices can hold.
constexpr int32_t kMaxTextureLevels = 55;

}  // namespace velmorin
