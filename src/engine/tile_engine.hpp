// Engines that run a plan over a source raster.
#pragma once

#include <string>

#include "chain/plan.hpp"
#include "device/device.hpp"

namespace velmorin::engine {

// Per-pixel run: algebra then clip, in chunks of whole rows on the worker threads.
// A plan with a reprojection is handed to run_reproject_engine.
void run_tile_engine(const std::string& path, const ExecutionPlan& plan, bool verbose);

// Per-pixel run on the reprojected target grid.
void run_reproject_engine(const std::string& path, const ExecutionPlan& plan, bool verbose);

// Neighbourhood run (focal statistics) on band_list[0] of the source.
void run_engine_neighborhood(const std::string& path, const ExecutionPlan& plan, bool verbose);

// The common end of a per-pixel chunk whose algebra result is in `output` (mapped): stages
// the chunk's clip spans into `spans` and masks the result when the plan clips, waits for the
// stream and delivers the rows.
void finish_pixel_chunk(const ExecutionPlan& plan, const device::MappedHostBuffer& spans,
                        const device::MappedHostBuffer& output, int32_t width, int32_t first,
                        int32_t rows, device::Stream& stream);

// Copies the plan's clip spans of rows [first, first + rows) into consecutive records.
void stage_clip_rows(const ExecutionPlan& plan, int32_t first, int32_t rows, GpuSpanRow* records);

}  // namespace velmorin::engine
