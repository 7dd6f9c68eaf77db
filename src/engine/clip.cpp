#include "engine/clip.hpp"

#include <gdal_alg.h>
#include <ogr_geometry.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace velmorin {
namespace {

struct GeometryDeleter {
  void operator()(OGRGeometry* geometry) const { OGRGeometryFactory::destroyGeometry(geometry); }
};

std::vector<std::array<double, 2>> ring_points(const OGRLinearRing* ring) {
  std::vector<std::array<double, 2>> points;
  if (ring == nullptr) return points;
  points.reserve(ring->getNumPoints());
  for (int i = 0; i < ring->getNumPoints(); ++i) points.push_back({ring->getX(i), ring->getY(i)});
  return points;
}

int32_t clamp_to_int(double v) {
  if (!(v > -2147483648.0)) return INT32_MIN;
  if (v >= 2147483647.0) return INT32_MAX;
  return int32_t(v);
}

}  // namespace

void ClipAccumulator::add_geojson(const std::string& geojson, const RasterInfo& grid) {
  std::unique_ptr<OGRGeometry, GeometryDeleter> geometry(
      OGRGeometryFactory::createFromGeoJson(geojson.c_str()));
  if (!geometry) throw std::runtime_error("Invalid GeoJSON for clip operation.");
  std::array<double, 6> inverse{};
  if (!GDALInvGeoTransform(const_cast<double*>(grid.geotransform.data()), inverse.data()))
    throw std::runtime_error("clip: the raster's geotransform cannot be inverted");
  const OGRwkbGeometryType type = wkbFlatten(geometry->getGeometryType());
  if (type == wkbPolygon) {
    add_ring(ring_points(geometry->toPolygon()->getExteriorRing()), inverse, grid);
  } else if (type == wkbMultiPolygon) {
    for (const OGRPolygon* polygon : *geometry->toMultiPolygon())
      add_ring(ring_points(polygon->getExteriorRing()), inverse, grid);
  }
}

void ClipAccumulator::add_ring(const std::vector<std::array<double, 2>>& ring,
                               const std::array<double, 6>& g, const RasterInfo& grid) {
  const std::size_t n = ring.size();
  if (n < 2) return;
  std::vector<double> px(n), py(n);
  for (std::size_t k = 0; k < n; ++k) {
    px[k] = g[0] + ring[k][0] * g[1] + ring[k][1] * g[2];
    py[k] = g[3] + ring[k][0] * g[4] + ring[k][1] * g[5];
  }
  const auto [min_y, max_y] = std::minmax_element(py.begin(), py.end());
  const double top = std::max(*min_y, 0.0);
  const double bottom = std::min(*max_y, double(grid.height) - 1.0);
  if (!(bottom >= top)) return;
  const int32_t r0 = int32_t(top);
  const int32_t r1 = int32_t(bottom);
  std::vector<double> crossings;
  for (int32_t r = r0; r <= r1; ++r) {
    // The scanline runs along the row's top edge; an edge crosses it when r lies in
    // [min(y0, y1), max(y0, y1)), so horizontal edges never cross.
    crossings.clear();
    for (std::size_t k = 0; k + 1 < n; ++k) {
      const double y0 = py[k], y1 = py[k + 1];
      if ((r >= y0 && y1 > r) || (r >= y1 && y0 > r))
        crossings.push_back((r - y0) / (y1 - y0) * (px[k + 1] - px[k]) + px[k]);
    }
    if (crossings.size() < 2) continue;
    std::sort(crossings.begin(), crossings.end());
    auto& spans = rows_[r];
    for (std::size_t i = 0; i + 1 < crossings.size(); i += 2) {
      // Pixel columns overlapping [a, b): the first is the one holding a, the last the one
      // ending at or after b.
      const int32_t first = std::max(0, clamp_to_int(std::floor(crossings[i])));
      const int32_t last = std::min(clamp_to_int(std::ceil(crossings[i + 1])) - 1, grid.width - 1);
      if (first <= last) spans.emplace_back(first, last);
    }
  }
}

ClipSpanTable ClipAccumulator::build() const {
  ClipSpanTable table;
  std::vector<std::pair<int32_t, int32_t>> merged;
  for (const auto& [row, spans] : rows_) {
    if (spans.empty()) continue;
    std::vector<std::pair<int32_t, int32_t>> sorted = spans;
    std::sort(sorted.begin(), sorted.end());
    merged.clear();
    for (const auto& span : sorted) {
      if (!merged.empty() && span.first <= merged.back().second + 1) {
        merged.back().second = std::max(merged.back().second, span.second);
      } else {
        merged.push_back(span);
      }
    }
    if (merged.size() > std::size_t(kMaxSpansPerRow)) {
      throw std::runtime_error("clip: row " + std::to_string(row) + " needs " +
                               std::to_string(merged.size()) + " separate spans; at most " +
                               std::to_string(kMaxSpansPerRow) + " per row are supported");
    }
    GpuSpanRow& record = table[row];
    std::memset(&record, 0, sizeof(record));
    record.span_count = int32_t(merged.size());
    for (std::size_t s = 0; s < merged.size(); ++s) {
      record.spans[s][0] = merged[s].first;
      record.spans[s][1] = merged[s].second;
    }
  }
  return table;
}

}  // namespace velmorin
