#include "engine/tile_engine.hpp"

#include <cstring>
#include <tuple>

#include "device/device.hpp"
#include "engine/engine_common.hpp"
#include "engine/workspace_pool.hpp"
#include "io/raster_info.hpp"
#include "kernels/kernels.hpp"

namespace velmorin::engine {
namespace {

struct TileKey {
  uint64_t band_stride = 0;  // floats per band buffer
  int bands = 0;
  bool clip = false;
  int32_t rows_per_chunk = 0;
  bool operator==(const TileKey& o) const {
    return std::tie(band_stride, bands, clip, rows_per_chunk) ==
           std::tie(o.band_stride, o.bands, o.clip, o.rows_per_chunk);
  }
};

struct TileWorkspace {
  device::MappedHostBuffer input_block;  // bands one after another, each 16-byte aligned
  std::vector<float*> input_host;
  device::MappedHostBuffer output;
  device::DeviceBuffer band_table;
  device::MappedHostBuffer spans;
  device::Stream stream;

  explicit TileWorkspace(const TileKey& key)
      : input_block(key.band_stride * key.bands * sizeof(float), /*write_combined=*/true),
        output(key.band_stride * sizeof(float), /*write_combined=*/false),
        band_table(key.bands * sizeof(float*)) {
    std::vector<const float*> device_bands;
    for (int k = 0; k < key.bands; ++k) {
      input_host.push_back(static_cast<float*>(input_block.host()) + k * key.band_stride);
      device_bands.push_back(static_cast<const float*>(input_block.device()) + k * key.band_stride);
    }
    device::copy(band_table.get(), device_bands.data(), device_bands.size() * sizeof(float*),
                 device::CopyKind::host_to_device);
    if (key.clip)
      spans = device::MappedHostBuffer(std::size_t(key.rows_per_chunk) * sizeof(GpuSpanRow), false);
  }
};

WorkspacePool<TileKey, TileWorkspace>& tile_pool() {
  static WorkspacePool<TileKey, TileWorkspace> pool;
  return pool;
}

}  // namespace

void stage_clip_rows(const ExecutionPlan& plan, int32_t first, int32_t rows, GpuSpanRow* records) {
  for (int32_t r = 0; r < rows; ++r) {
    auto it = plan.clip_rows.find(first + r);
    if (it != plan.clip_rows.end() && it->second.span_count > 0) {
      std::memcpy(&records[r], &it->second, sizeof(GpuSpanRow));
    } else {
      records[r].span_count = 0;
    }
  }
}

void finish_pixel_chunk(const ExecutionPlan& plan, const device::MappedHostBuffer& spans,
                        const device::MappedHostBuffer& output, int32_t width, int32_t first,
                        int32_t rows, device::Stream& stream) {
  auto* records = static_cast<GpuSpanRow*>(spans.host());
  if (plan.has_clip && records) {
    stage_clip_rows(plan, first, rows, records);
    kernels::launch_apply_mask(static_cast<float*>(output.device()), uint64_t(width) * rows, width,
                               static_cast<const GpuSpanRow*>(spans.device()), stream);
  }
  stream.synchronize();
  deliver(plan, width, rows, static_cast<const float*>(output.host()), first);
}

void run_tile_engine(const std::string& path, const ExecutionPlan& plan, bool verbose) {
  if (plan.has_reproject) return run_reproject_engine(path, plan, verbose);
  register_gdal_drivers();
  init_host_memory_budget();
  const RasterInfo info = open_raster_info(path);
  const int32_t W = info.width, H = info.height;
  if (W <= 0 || H <= 0) return;
  const int B = int(plan.band_list.size());
  const int T = engine_thread_count();

  // Per row: every input band, the result and (with a clip) one span record.
  const uint64_t bytes_per_row =
      uint64_t(B + 1) * W * sizeof(float) + (plan.has_clip ? sizeof(GpuSpanRow) : 0);
  const int32_t rows_per_chunk =
      rows_per_chunk_for(H, info.block_height, T, bytes_per_row, "run_tile_engine");
  const int chunk_count = (H + rows_per_chunk - 1) / rows_per_chunk;
  const TileKey key{aligned_floats(uint64_t(W) * rows_per_chunk), B, plan.has_clip, rows_per_chunk};
  const int workers = std::min(T, chunk_count);
  auto workspaces =
      tile_pool().acquire(key, workers, [&] { return std::make_unique<TileWorkspace>(key); });
  std::vector<DatasetPtr> datasets = open_worker_datasets(path, workers);

  const device::DeviceBuffer program = upload_program(plan.program);
  const int32_t instruction_count = int32_t(plan.program.size());

  Progress progress(verbose, chunk_count);
  progress.start();
  run_chunks(workers, chunk_count, [&](int chunk, int worker) {
    TileWorkspace& ws = (*workspaces)[worker];
    const int32_t first = chunk * rows_per_chunk;
    const int32_t n = std::min(H - first, rows_per_chunk);
    const uint64_t pixels = uint64_t(W) * n;
    read_band_rows(*datasets[worker], path, info, plan.band_list, first, n, ws.input_host);
    kernels::launch_raster_algebra(program.as<Instruction>(), instruction_count,
                                   ws.band_table.as<const float* const>(),
                                   static_cast<float*>(ws.output.device()), pixels, ws.stream);
    finish_pixel_chunk(plan, ws.spans, ws.output, W, first, n, ws.stream);
    progress.chunk_done();
  });
  progress.finish();
}

}  // namespace velmorin::engine
