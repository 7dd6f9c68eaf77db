#include "engine/reproject_plan.hpp"

#include <gdal_alg.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace velmorin {
namespace {

int32_t round_half_away(double v) {
  const double r = std::round(v);
  if (!(r < 2147483647.0)) return INT32_MAX;
  if (!(r > -2147483648.0)) return INT32_MIN;
  return int32_t(r);
}

}  // namespace

void TransformDeleter::operator()(OGRCoordinateTransformation* transform) const {
  OGRCoordinateTransformation::DestroyCT(transform);
}

RasterInfo plan_target_grid(const RasterInfo& input, const ReprojectParams& params) {
  OGRSpatialReference target;
  target.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  if (params.target_crs.empty() ||
      target.SetFromUserInput(params.target_crs.c_str()) != OGRERR_NONE)
    throw std::runtime_error("Invalid target CRS: " + params.target_crs);
  char* wkt = nullptr;
  target.exportToWkt(&wkt);
  const std::string target_wkt = wkt ? wkt : "";
  CPLFree(wkt);

  OGRSpatialReference source;
  source.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  std::unique_ptr<OGRCoordinateTransformation, TransformDeleter> forward;
  if (!input.crs.empty() && source.SetFromUserInput(input.crs.c_str()) == OGRERR_NONE)
    forward.reset(OGRCreateCoordinateTransformation(&source, &target));
  if (!forward) throw std::runtime_error("Cannot create forward coordinate transformation.");

  const auto& g = input.geotransform;
  const double w = input.width, h = input.height;
  double xs[4] = {g[0], g[0] + w * g[1], g[0] + h * g[2], g[0] + w * g[1] + h * g[2]};
  double ys[4] = {g[3], g[3] + w * g[4], g[3] + h * g[5], g[3] + w * g[4] + h * g[5]};
  forward->Transform(4, xs, ys);
  double xmin = *std::min_element(xs, xs + 4), xmax = *std::max_element(xs, xs + 4);
  double ymin = *std::min_element(ys, ys + 4), ymax = *std::max_element(ys, ys + 4);
  if (params.has_extent) {
    xmin = params.te_xmin;
    xmax = params.te_xmax;
    ymin = params.te_ymin;
    ymax = params.te_ymax;
  }
  double res_x = params.res_x, res_y = params.res_y;
  if (!(res_x > 0.0 && res_y > 0.0)) {
    res_x = (xmax - xmin) / w;
    res_y = (ymax - ymin) / h;
  }
  if (!(std::isfinite(xmin) && std::isfinite(xmax) && std::isfinite(ymin) && std::isfinite(ymax)) ||
      !(res_x > 0.0 && res_y > 0.0) || !std::isfinite(res_x) || !std::isfinite(res_y)) {
    throw std::runtime_error("reproject: the target extent is empty or cannot be computed (" +
                             std::to_string(xmin) + ", " + std::to_string(ymin) + ", " +
                             std::to_string(xmax) + ", " + std::to_string(ymax) + ")");
  }

  RasterInfo grid;
  grid.width = std::max(1, round_half_away((xmax - xmin) / res_x));
  grid.height = std::max(1, round_half_away((ymax - ymin) / res_y));
  grid.block_width = 512;
  grid.block_height = 512;
  grid.tiled = true;
  grid.data_type = 6;
  grid.band_count = input.band_count;
  grid.geotransform = {xmin, res_x, 0.0, ymax, 0.0, -res_y};
  grid.crs = target_wkt;
  return grid;
}

WarpTransform create_warp_transform(const RasterInfo& input, const RasterInfo& target) {
  OGRSpatialReference source_srs, target_srs;
  source_srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  target_srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  WarpTransform warp;
  if (source_srs.SetFromUserInput(input.crs.c_str()) == OGRERR_NONE &&
      target_srs.SetFromUserInput(target.crs.c_str()) == OGRERR_NONE) {
    warp.transform.reset(OGRCreateCoordinateTransformation(&target_srs, &source_srs));
  }
  if (!warp.transform)
    throw std::runtime_error("Cannot create coordinate transformation for warp.");
  if (!GDALInvGeoTransform(const_cast<double*>(input.geotransform.data()),
                           warp.source_inverse_geotransform.data()))
    throw std::runtime_error("reproject: the source geotransform cannot be inverted");
  warp.target_geotransform = target.geotransform;
  return warp;
}

void transform_points(const WarpTransform& warp, double* xs, double* ys, int n) {
  const auto& t = warp.target_geotransform;
  for (int i = 0; i < n; ++i) {
    const double x = xs[i], y = ys[i];
    xs[i] = t[0] + x * t[1] + y * t[2];
    ys[i] = t[3] + x * t[4] + y * t[5];
  }
  std::vector<int> ok(std::size_t(n), 0);
  warp.transform->Transform(n, xs, ys, nullptr, ok.data());
  const auto& s = warp.source_inverse_geotransform;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int i = 0; i < n; ++i) {
    if (!ok[std::size_t(i)] || !std::isfinite(xs[i]) || !std::isfinite(ys[i])) {
      xs[i] = ys[i] = nan;
      continue;
    }
    const double x = xs[i], y = ys[i];
    xs[i] = s[0] + x * s[1] + y * s[2];
    ys[i] = s[3] + x * s[4] + y * s[5];
  }
}

}  // namespace velmorin
