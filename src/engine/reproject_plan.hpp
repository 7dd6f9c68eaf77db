// Target grids of reprojections and the target-pixel to source-pixel mapping.
#pragma once

#include <array>
#include <memory>

#include "chain/chain.hpp"
#include "io/raster_info.hpp"

class OGRCoordinateTransformation;

namespace velmorin {

// The output grid of a reprojection: the transformed corner extent (or the explicit extent),
// at the given resolution or at the input's pixel count, north-up, in the target CRS.
// Raises "Invalid target CRS: " + text and "Cannot create forward coordinate transformation.".
RasterInfo plan_target_grid(const RasterInfo& input, const ReprojectParams& params);

struct TransformDeleter {
  void operator()(OGRCoordinateTransformation* transform) const;
};

struct WarpTransform {
  std::unique_ptr<OGRCoordinateTransformation, TransformDeleter> transform;  // target -> source CRS
  std::array<double, 6> source_inverse_geotransform{};
  std::array<double, 6> target_geotransform{};
};

// Raises "Cannot create coordinate transformation for warp." on failure.
WarpTransform create_warp_transform(const RasterInfo& input, const RasterInfo& target);

// In place: target pixel coordinates to source pixel coordinates. Points the transformation
// cannot map come back as NaN.
void transform_points(const WarpTransform& warp, double* xs, double* ys, int n);

}  // namespace velmorin
