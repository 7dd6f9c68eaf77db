// The execution plan: what one run of a chain does, and the dispatch to an engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "chain/chain.hpp"
#include "engine/clip.hpp"
#include "io/raster_info.hpp"

class GDALRasterBand;

namespace velmorin {

// Receives a finished strip: (width, rows, rows x width float32 values, first output row).
// The callee copies what it needs; the pointer is valid only during the call.
using ChunkSink =
    std::function<void(int32_t width, int32_t rows, const float* data, int32_t y_offset)>;

struct ZoneResult {
  int32_t zone_id = 0;
  double mean = 0.0;
  double min = 0.0;
  double max = 0.0;
  double std_dev = 0.0;
  int32_t count = 0;
  double sum = 0.0;
};

struct ExecutionPlan {
  std::vector<Instruction> program;
  std::vector<int32_t> band_list;
  bool has_clip = false;
  ClipSpanTable clip_rows;
  GDALRasterBand* output_band = nullptr;
  ChunkSink memory_sink;
  ChunkSink chunk_sink;
  bool has_reproject = false;
  ReprojectParams reproject;
  RasterInfo target_info;
  bool has_focal = false;
  FocalParams focal;
  int32_t output_band_count = 1;
  bool has_terrain = false;
  TerrainParams terrain;
  bool has_texture = false;
  TextureParams texture;
  bool has_zonal = false;
  ZonalParams zonal;
  std::vector<ZoneResult> zone_results;
};

// The grid a chain produces: the source's, or the first reprojection's target grid.
RasterInfo output_info(const Chain& chain);

// Turns the records into a plan for the source described by `source`: compiles the last
// expression (bands of every expression kept), rasterises clip polygons on the output grid,
// plans the first reprojection. Band references outside the source's bands are rejected here.
ExecutionPlan build_plan(const std::vector<OperationRecord>& records, const RasterInfo& source,
                         const Chain& chain);

struct RunSinks {
  GDALRasterBand* output_band = nullptr;
  ChunkSink memory_sink;
  ChunkSink chunk_sink;
};

// Describes the source, plans the chain and runs it through one engine, delivering every
// finished strip to the given sinks.
void run_chain(const Chain& chain, const RunSinks& sinks, bool verbose);

}  // namespace velmorin
