#include "chain/chain.hpp"

#include <ogr_spatialref.h>

#include <cmath>
#include <stdexcept>

namespace velmorin {
namespace {

constexpr const char* kFocalStats[] = {"mean", "sum",      "min",    "max",
                                       "std",  "variance", "median", "range"};
constexpr const char* kTerrainMetrics[] = {"slope",     "aspect",    "hillshade",
                                           "tri",       "tpi",       "roughness",
                                           "prof_curv", "plan_curv", "total_curv"};
constexpr const char* kTextureFeatures[] = {"asm",
                                            "contrast",
                                            "correlation",
                                            "variance",
                                            "homogeneity",
                                            "sum_average",
                                            "sum_variance",
                                            "sum_entropy",
                                            "entropy",
                                            "diff_variance",
                                            "diff_entropy",
                                            "dissimilarity",
                                            "autocorrelation",
                                            "max_probability",
                                            "cluster_shade",
                                            "cluster_prominence",
                                            "imc1",
                                            "imc2"};

}  // namespace

Chain Chain::with(OperationRecord record) const {
  Chain copy = *this;
  copy.ops.push_back(std::move(record));
  return copy;
}

FocalParams parse_focal(const std::string& stat, int32_t radius, const std::string& shape,
                        bool clamp_border) {
  FocalParams params;
  params.stat = -1;
  for (int32_t code = 0; code < 8; ++code)
    if (stat == kFocalStats[code]) params.stat = code;
  if (params.stat < 0) throw std::runtime_error("Unknown focal stat: " + stat);
  if (shape == "square") {
    params.shape = 0;
  } else if (shape == "circle") {
    params.shape = 1;
  } else {
    throw std::runtime_error("Unknown focal shape: " + shape);
  }
  if (radius < 0)
    throw std::invalid_argument("focal: radius must be 0 or more, got " + std::to_string(radius));
  params.radius = radius;
  params.clamp_border = clamp_border;
  return params;
}

TerrainParams parse_terrain(std::vector<std::string> metrics, const std::string& unit,
                            double sun_azimuth, double sun_altitude, const std::string& method,
                            const RasterInfo& source) {
  TerrainParams params;
  if (metrics.empty()) metrics.push_back("slope");
  params.metric_count = 0;
  for (const std::string& metric : metrics) {
    bool known = false;
    for (int bit = 0; bit < 9; ++bit) {
      if (metric == kTerrainMetrics[bit]) {
        params.metric_mask |= 1u << bit;
        params.metric_count += 1;
        known = true;
      }
    }
    if (!known) throw std::runtime_error("Unknown terrain metric: " + metric);
  }
  params.metrics = std::move(metrics);
  params.unit = unit;
  params.sun_azimuth = sun_azimuth;
  params.sun_altitude = sun_altitude;
  params.method = method;
  const auto& g = source.geotransform;
  double cell_x = std::sqrt(g[1] * g[1] + g[4] * g[4]);
  double cell_y = std::sqrt(g[2] * g[2] + g[5] * g[5]);
  if (!source.crs.empty()) {
    OGRSpatialReference srs;
    if (srs.SetFromUserInput(source.crs.c_str()) == OGRERR_NONE && srs.IsGeographic()) {
      const double latitude = g[3] + 0.5 * source.height * g[5];
      cell_y = cell_y * 111320.0;
      cell_x = std::cos(latitude * M_PI / 180.0) * cell_x * 111320.0;
    }
  }
  params.cell_width = float(cell_x);
  params.cell_height = float(cell_y);
  return params;
}

TextureParams parse_texture(std::vector<std::string> features, int32_t window, int32_t levels,
                            const std::string& direction_mode, bool log_scale, float val_min,
                            float val_max) {
  TextureParams params;
  if (window < 1)
    throw std::invalid_argument("texture: window must be 1 or more, got " + std::to_string(window));
  if (levels < 2 || levels > kMaxTextureLevels)
    throw std::invalid_argument("texture: levels must be between 2 and " +
                                std::to_string(kMaxTextureLevels) + ", got " +
                                std::to_string(levels));
  params.window = window % 2 == 0 ? window + 1 : window;
  params.levels = levels;
  params.average = direction_mode != "separate";
  if (features.empty()) {
    for (const char* name : kTextureFeatures) features.emplace_back(name);
  } else {
    for (const std::string& feature : features) {
      bool known = false;
      for (const char* name : kTextureFeatures) known = known || feature == name;
      if (!known) throw std::runtime_error("Unknown GLCM feature: " + feature);
    }
  }
  params.features = std::move(features);
  params.log_scale = log_scale;
  params.val_min = val_min;
  params.val_max = val_max;
  params.auto_range = val_min == val_max;
  params.output_band_count = params.average ? 18 : 72;
  return params;
}

ReprojectParams make_reproject_params(const std::string& target_crs, double res_x, double res_y,
                                      const std::string& resampling, double nodata, double te_xmin,
                                      double te_ymin, double te_xmax, double te_ymax) {
  ReprojectParams params;
  params.target_crs = target_crs;
  params.res_x = res_x;
  params.res_y = res_y;
  params.resampling = resampling == "nearest" ? 0 : 1;
  params.nodata = nodata;
  if (te_xmin != 0.0 || te_xmax != 0.0) {  // a NaN counts as non-zero
    params.has_extent = true;
    params.te_xmin = te_xmin;
    params.te_ymin = te_ymin;
    params.te_xmax = te_xmax;
    params.te_ymax = te_ymax;
  }
  return params;
}

}  // namespace velmorin
