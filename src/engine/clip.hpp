// Clip polygons rasterised into per-row pixel spans on the output grid.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "io/raster_info.hpp"
#include "kernels/common.hpp"

namespace velmorin {

using ClipSpanTable = std::unordered_map<int32_t, GpuSpanRow>;

// Spans gathered from every clip polygon of a chain, per output row, before merging.
class ClipAccumulator {
 public:
  // Adds the exterior ring(s) of a GeoJSON Polygon or MultiPolygon, in the grid's pixel space.
  // Other geometry types add nothing. Raises "Invalid GeoJSON for clip operation." when the
  // text does not parse.
  void add_geojson(const std::string& geojson, const RasterInfo& grid);
  // Adds one ring given in map coordinates.
  void add_ring(const std::vector<std::array<double, 2>>& ring,
                const std::array<double, 6>& inverse_geotransform, const RasterInfo& grid);
  // Merges the spans of every row where they overlap or touch and builds the device table.
  // A row that still needs more than 1024 spans raises an error.
  ClipSpanTable build() const;

  const std::map<int32_t, std::vector<std::pair<int32_t, int32_t>>>& rows() const { return rows_; }

 private:
  std::map<int32_t, std::vector<std::pair<int32_t, int32_t>>> rows_;
};

}  // namespace velmorin
