#include "io/raster_info.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "test_rasters.hpp"

namespace velmorin {
namespace {

using testing::write_raster;

float pixel_value(int b, int x, int y) {
  return float(b * 100000 + y * 1000 + x);
}

std::vector<float> read_floats(const std::string& path, uint64_t offset, uint64_t count) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(offset));
  std::vector<float> out(count);
  in.read(reinterpret_cast<char*>(out.data()), std::streamsize(count * sizeof(float)));
  return out;
}

TEST(RasterInfo, TiledBandInterleavedOffsetsPointAtTheTiles) {
  const std::string path = write_raster(
      "tiled.tif", 1000, 70, 2, GDT_Float32,
      {"TILED=YES", "BLOCKXSIZE=512", "BLOCKYSIZE=32", "INTERLEAVE=BAND"}, pixel_value);
  const RasterInfo info = open_raster_info(path);
  EXPECT_EQ(info.width, 1000);
  EXPECT_EQ(info.height, 70);
  EXPECT_TRUE(info.tiled);
  EXPECT_EQ(info.block_width, 512);
  EXPECT_EQ(info.block_height, 32);
  EXPECT_EQ(info.blocks_across(), 2);
  EXPECT_EQ(info.rows_per_strip, 1);
  EXPECT_EQ(info.data_type, 6);
  EXPECT_EQ(info.band_count, 2);
  EXPECT_EQ(info.compression, "NONE");
  EXPECT_EQ(info.interleave, "BAND");
  EXPECT_FALSE(info.pixel_interleaved());
  EXPECT_NE(info.crs.find("32633"), std::string::npos);
  EXPECT_DOUBLE_EQ(info.geotransform[1], 10.0);
  ASSERT_EQ(info.tile_offsets.size(), 2u * 3u * 2u);
  ASSERT_EQ(info.tile_byte_counts.size(), info.tile_offsets.size());
  EXPECT_TRUE(info.strip_offsets.empty());
  // Tile (column 1, row 2) of plane 1: index c + (r + p * down) * across; its first float is
  // the file's pixel (512, 64) of band 2.
  const std::size_t index = 1 + (2 + 1 * 3) * 2;
  EXPECT_EQ(info.tile_byte_counts[index], 512u * 32u * 4u);
  const auto first = read_floats(path, info.tile_offsets[index], 2);
  EXPECT_EQ(first[0], pixel_value(1, 512, 64));
  EXPECT_EQ(first[1], pixel_value(1, 513, 64));
}

TEST(RasterInfo, StripedPixelInterleavedWithPredictor) {
  const std::string path =
      write_raster("striped.tif", 40, 9, 3, GDT_Int16,
                   {"BLOCKYSIZE=1", "INTERLEAVE=PIXEL", "COMPRESS=DEFLATE", "PREDICTOR=2"},
                   [](int b, int x, int y) { return b * 100 + x + y; });
  const RasterInfo info = open_raster_info(path);
  EXPECT_FALSE(info.tiled);
  EXPECT_EQ(info.block_width, 40);
  EXPECT_EQ(info.rows_per_strip, 1);
  EXPECT_EQ(info.data_type, 3);
  EXPECT_TRUE(info.pixel_interleaved());
  EXPECT_EQ(info.compression, "DEFLATE");
  EXPECT_EQ(info.predictor, 2);
  EXPECT_EQ(info.strip_offsets.size(), 9u);  // one plane for pixel-interleaved files
  EXPECT_EQ(info.strip_byte_counts.size(), 9u);
  for (std::size_t i = 1; i < info.strip_offsets.size(); ++i) EXPECT_GT(info.strip_offsets[i], 0u);
}

TEST(RasterInfo, NoProjectionAndMissingFiles) {
  const std::string path = write_raster(
      "plain.tif", 8, 8, 1, GDT_Byte, {}, [](int, int x, int) { return x; }, nullptr);
  EXPECT_EQ(open_raster_info(path).crs, "");
  try {
    open_raster_info("/no/such/file.tif");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot open: /no/such/file.tif");
  }
  // A file that is not a TIFF at all.
  const std::string junk = testing::temp_path("junk.tif");
  std::ofstream(junk) << "this is not a tiff";
  EXPECT_THROW(open_raster_info(junk), std::runtime_error);
}

TEST(RasterInfo, PredictorParsing) {
  EXPECT_EQ(parse_predictor("3"), 3);
  EXPECT_EQ(parse_predictor(" 2xyz"), 2);
  try {
    parse_predictor("");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "invalid stoi argument");
  }
  EXPECT_THROW(parse_predictor("99999999999"), std::out_of_range);
}

}  // namespace
}  // namespace velmorin
