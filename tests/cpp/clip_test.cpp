#include "engine/clip.hpp"

#include <gtest/gtest.h>

namespace velmorin {
namespace {

RasterInfo grid(int width, int height) {
  RasterInfo info;
  info.width = width;
  info.height = height;
  info.geotransform = {0.0, 1.0, 0.0, 0.0, 0.0, -1.0};  // map y = -row
  return info;
}

// GeoJSON polygon from pixel-space corners (x, row).
std::string polygon(const std::vector<std::pair<double, double>>& ring) {
  std::string s = "{\"type\":\"Polygon\",\"coordinates\":[[";
  for (std::size_t i = 0; i <= ring.size(); ++i) {
    const auto& p = ring[i % ring.size()];
    s += (i ? "," : "") + std::string("[") + std::to_string(p.first) + "," +
         std::to_string(-p.second) + "]";
  }
  return s + "]]}";
}

using Spans = std::vector<std::pair<int32_t, int32_t>>;

Spans spans_of(const ClipSpanTable& table, int32_t row) {
  Spans out;
  auto it = table.find(row);
  if (it == table.end()) return out;
  for (int s = 0; s < it->second.span_count; ++s)
    out.emplace_back(it->second.spans[s][0], it->second.spans[s][1]);
  return out;
}

ClipSpanTable rasterise(const std::vector<std::string>& geojsons, const RasterInfo& g) {
  ClipAccumulator acc;
  for (const auto& j : geojsons) acc.add_geojson(j, g);
  return acc.build();
}

TEST(Clip, RectangleRowsUseTheTopEdgeAndColumnsOverlap) {
  // Rows 2.0 .. 5.0: rows 2, 3, 4 (scanline at each row's top edge). Columns 3.7 .. 10.2: 3 .. 10.
  auto table =
      rasterise({polygon({{3.7, 2.0}, {10.2, 2.0}, {10.2, 5.0}, {3.7, 5.0}})}, grid(20, 10));
  EXPECT_TRUE(spans_of(table, 1).empty());
  for (int r = 2; r <= 4; ++r) EXPECT_EQ(spans_of(table, r), (Spans{{3, 10}})) << r;
  EXPECT_TRUE(spans_of(table, 5).empty());
}

TEST(Clip, PixelAlignedRectangleCoversExactlyItsPixels) {
  auto table = rasterise({polygon({{3, 1}, {10, 1}, {10, 4}, {3, 4}})}, grid(20, 10));
  for (int r = 1; r <= 3; ++r) EXPECT_EQ(spans_of(table, r), (Spans{{3, 9}}));
  EXPECT_TRUE(spans_of(table, 4).empty());
}

TEST(Clip, UShapeGetsTwoSpansAndHolesAreIgnored) {
  auto u = rasterise({polygon({{0, 0}, {3, 0}, {3, 6}, {6, 6}, {6, 0}, {9, 0}, {9, 9}, {0, 9}})},
                     grid(12, 12));
  EXPECT_EQ(spans_of(u, 2), (Spans{{0, 2}, {6, 8}}));
  EXPECT_EQ(spans_of(u, 7), (Spans{{0, 8}}));
  const std::string with_hole =
      "{\"type\":\"Polygon\",\"coordinates\":[[[0,0],[8,0],[8,-8],[0,-8],[0,0]],[[2,-2],[6,-2],[6,-"
      "6],[2,-6],[2,-2]]]}";
  EXPECT_EQ(spans_of(rasterise({with_hole}, grid(10, 10)), 4), (Spans{{0, 7}}));
}

TEST(Clip, UnionOfPartsAndOfCallsWithTouchingSpansMerged) {
  const std::string multi =
      "{\"type\":\"MultiPolygon\",\"coordinates\":[[[[0,0],[2,0],[2,-3],[0,-3],[0,0]]],"
      "[[[5,0],[7,0],[7,-3],[5,-3],[5,0]]]]}";
  EXPECT_EQ(spans_of(rasterise({multi}, grid(10, 5)), 1), (Spans{{0, 1}, {5, 6}}));
  // Two clip calls: overlapping and touching spans merge into one.
  auto table = rasterise(
      {polygon({{0, 0}, {4, 0}, {4, 2}, {0, 2}}), polygon({{4, 0}, {6, 0}, {6, 2}, {4, 2}}),
       polygon({{1, 0}, {3, 0}, {3, 2}, {1, 2}})},
      grid(10, 5));
  EXPECT_EQ(spans_of(table, 0), (Spans{{0, 5}}));
}

TEST(Clip, OutsidePointsAndBadInput) {
  EXPECT_TRUE(rasterise({polygon({{30, 2}, {40, 2}, {40, 5}, {30, 5}})}, grid(20, 10)).empty());
  EXPECT_TRUE(rasterise({polygon({{-9, -9}, {-2, -9}, {-2, -3}, {-9, -3}})}, grid(20, 10)).empty());
  EXPECT_TRUE(rasterise({"{\"type\":\"Point\",\"coordinates\":[1,-1]}"}, grid(5, 5)).empty());
  // A polygon reaching past the grid is clamped to its columns and rows.
  auto big = rasterise({polygon({{-5, -5}, {50, -5}, {50, 50}, {-5, 50}})}, grid(20, 10));
  EXPECT_EQ(big.size(), 10u);
  EXPECT_EQ(spans_of(big, 9), (Spans{{0, 19}}));
  try {
    rasterise({"{\"type\":\"Polygon\""}, grid(5, 5));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid GeoJSON for clip operation.");
  }
}

TEST(Clip, TooManySpansInOneRowIsAnError) {
  // A comb with 1100 teeth crossing row 0: 1100 separate spans cannot be represented.
  std::vector<std::pair<double, double>> ring;
  for (int t = 0; t < 1100; ++t) {
    ring.push_back({3.0 * t, 0.0});
    ring.push_back({3.0 * t + 1.0, 0.0});
    ring.push_back({3.0 * t + 1.0, 3.0});
    ring.push_back({3.0 * t + 2.0, 3.0});
  }
  ring.push_back({3300.0, 3.0});
  ring.push_back({3300.0, 5.0});
  ring.push_back({0.0, 5.0});
  EXPECT_THROW(rasterise({polygon(ring)}, grid(4000, 6)), std::runtime_error);
  // Row 4 is one solid span.
  ClipAccumulator acc;
  acc.add_geojson(polygon(ring), grid(4000, 6));
  EXPECT_EQ(acc.rows().at(4).size(), 1u);
}

}  // namespace
}  // namespace velmorin
