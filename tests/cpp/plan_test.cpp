#include "chain/plan.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/engine_common.hpp"
#include "engine/reproject_plan.hpp"
#include "test_rasters.hpp"

namespace velmorin {
namespace {

OperationRecord algebra(const std::string& text) {
  OperationRecord r;
  r.kind = OperationKind::Algebra;
  r.expression = text;
  return r;
}

OperationRecord reproject(const std::string& crs, double res_x = 0, double res_y = 0,
                          double xmin = 0, double ymin = 0, double xmax = 0, double ymax = 0) {
  OperationRecord r;
  r.kind = OperationKind::Reproject;
  r.reproject = make_reproject_params(crs, res_x, res_y, "bilinear", -9999, xmin, ymin, xmax, ymax);
  return r;
}

RasterInfo utm_source() {
  static const std::string path = testing::write_raster(
      "utm.tif", 1000, 1000, 3, GDT_Byte, {"TILED=YES"}, [](int, int, int) { return 1; });
  return open_raster_info(path);
}

TEST(Plan, ValidityAndBandLists) {
  const RasterInfo source = utm_source();
  Chain chain{"utm.tif", {}};
  OperationRecord clip;
  clip.kind = OperationKind::Clip;
  clip.geojson = "{\"type\":\"Point\",\"coordinates\":[0,0]}";
  try {
    build_plan({clip}, source, chain);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Chain must contain at least one algebra()"),
              std::string::npos);
  }
  EXPECT_THROW(build_plan({}, source, chain), std::runtime_error);

  ExecutionPlan two = build_plan({algebra("B3"), algebra("B1")}, source, chain);
  EXPECT_EQ(two.band_list, (std::vector<int32_t>{2, 0}));
  ASSERT_EQ(two.program.size(), 1u);
  EXPECT_EQ(two.program[0].index, 1);
  EXPECT_EQ(build_plan({algebra("2*3")}, source, chain).band_list, (std::vector<int32_t>{0}));

  ExecutionPlan clipped = build_plan({clip, algebra("B1")}, source, chain);
  EXPECT_TRUE(clipped.has_clip);
  EXPECT_TRUE(clipped.clip_rows.empty());
}

TEST(Plan, BandsOutsideTheFileAreRejectedBeforeReading) {
  Chain chain{"utm.tif", {}};
  try {
    build_plan({algebra("B1 + B9")}, utm_source(), chain);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("Band B9 does not exist"), std::string::npos) << e.what();
  }
}

TEST(Plan, ReprojectionGrids) {
  const RasterInfo source = utm_source();
  // UTM to geographic: 1000 x 1000 pixels over the transformed corner extent.
  RasterInfo geo = plan_target_grid(source, reproject("EPSG:4326").reproject);
  EXPECT_EQ(geo.width, 1000);
  EXPECT_EQ(geo.height, 1000);
  EXPECT_TRUE(geo.tiled);
  EXPECT_EQ(geo.data_type, 6);
  EXPECT_EQ(geo.band_count, 3);
  EXPECT_NEAR(geo.geotransform[0], 15.0, 0.1);   // easting 500 km in zone 33 is near 15 E
  EXPECT_NEAR(geo.geotransform[3], 37.05, 0.1);  // northing 4100 km is near 37 N
  EXPECT_LT(geo.geotransform[5], 0.0);
  // res_x alone is ignored; both given are used.
  RasterInfo same = plan_target_grid(source, reproject("EPSG:32633", 10, 0).reproject);
  EXPECT_EQ(same.width, 1000);
  RasterInfo coarse = plan_target_grid(source, reproject("EPSG:32633", 20, 40).reproject);
  EXPECT_EQ(coarse.width, 500);
  EXPECT_EQ(coarse.height, 250);
  // An explicit extent narrower than one step gives width 1.
  RasterInfo narrow = plan_target_grid(
      source, reproject("EPSG:32633", 10, 10, 500000, 4090000, 500004, 4100000).reproject);
  EXPECT_EQ(narrow.width, 1);
  EXPECT_EQ(narrow.height, 1000);
  EXPECT_DOUBLE_EQ(narrow.geotransform[3], 4100000.0);
  try {
    plan_target_grid(source, reproject("EPSG:not-a-code").reproject);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid target CRS: EPSG:not-a-code");
  }
  // Only te_ymin/te_ymax set: no extent recorded.
  EXPECT_FALSE(make_reproject_params("EPSG:4326", 0, 0, "nearest", 0, 0, 5, 0, 7).has_extent);
  EXPECT_EQ(make_reproject_params("EPSG:4326", 0, 0, "Nearest", 0, 0, 0, 0, 0).resampling, 1);
  EXPECT_TRUE(
      make_reproject_params("EPSG:4326", 0, 0, "nearest", 0, 0, 5, std::nan(""), 7).has_extent);
}

TEST(Plan, ReprojectionNeedsASourceProjection) {
  const std::string path = testing::write_raster(
      "noproj.tif", 10, 10, 1, GDT_Byte, {}, [](int, int, int) { return 0; }, nullptr);
  try {
    plan_target_grid(open_raster_info(path), reproject("EPSG:4326").reproject);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot create forward coordinate transformation.");
  }
}

TEST(Plan, WarpTransformMapsTheIdentityGridOntoItself) {
  const RasterInfo source = utm_source();
  const RasterInfo target = plan_target_grid(source, reproject("EPSG:32633").reproject);
  WarpTransform warp = create_warp_transform(source, target);
  double xs[3] = {0.0, 10.0, 999.0}, ys[3] = {0.0, 20.0, 5.0};
  transform_points(warp, xs, ys, 3);
  EXPECT_NEAR(xs[1], 10.0, 1e-6);
  EXPECT_NEAR(ys[1], 20.0, 1e-6);
  EXPECT_NEAR(xs[2], 999.0, 1e-6);
}

TEST(Plan, RowsPerChunkFollowBlocksAndBudgets) {
  unsetenv("VELMORIN_HOST_MEMORY_BUDGET");
  // Unbounded budget: about one chunk per worker, rounded up to whole blocks.
  EXPECT_EQ(engine::rows_per_chunk_for(10000, 512, 11, 4000, "test"), 1024);
  EXPECT_EQ(engine::rows_per_chunk_for(100, 512, 4, 4000, "test"), 100);
  setenv("VELMORIN_HOST_MEMORY_BUDGET", "400000", 1);
  // 400000 bytes / (2 workers x 1000 bytes) = 200 rows: 3 whole blocks of 64.
  EXPECT_EQ(engine::rows_per_chunk_for(10000, 64, 2, 1000, "test"), 192);
  // Less than one block fits: the rows that fit.
  EXPECT_EQ(engine::rows_per_chunk_for(10000, 512, 2, 1000, "test"), 200);
  EXPECT_THROW(engine::rows_per_chunk_for(10000, 512, 2, 1000000, "test"), std::runtime_error);
  unsetenv("VELMORIN_HOST_MEMORY_BUDGET");
}

}  // namespace
}  // namespace velmorin
