// Engines that run a plan over a source raster.
#pragma once

#include <string>

#include "chain/plan.hpp"

namespace velmorin::engine {

// Per-pixel run: algebra then clip, in chunks of whole rows on the worker threads.
// A plan with a reprojection is handed to run_reproject_engine.
void run_tile_engine(const std::string& path, const ExecutionPlan& plan, bool verbose);

// Per-pixel run on the reprojected target grid.
void run_reproject_engine(const std::string& path, const ExecutionPlan& plan, bool verbose);

// Neighbourhood run (focal statistics) on band_list[0] of the source.
void run_engine_neighborhood(const std::string& path, const ExecutionPlan& plan, bool verbose);

// Copies the plan's clip spans of rows [first, first + rows) into consecutive records.
void stage_clip_rows(const ExecutionPlan& plan, int32_t first, int32_t rows, GpuSpanRow* records);

}  // namespace velmorin::engine
