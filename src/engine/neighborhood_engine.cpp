// The neighbourhood engine: chunks of whole rows read with halo rows above and below, one
// window kernel per chunk. The operation is a small strategy (its halo, its output planes and
// its launch), so that each window algorithm adds a kernel, not another engine.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <tuple>

#include "device/device.hpp"
#include "engine/engine_common.hpp"
#include "engine/tile_engine.hpp"
#include "engine/workspace_pool.hpp"
#include "kernels/kernels.hpp"

namespace velmorin::engine {
namespace {

// One window operation: how many halo rows it needs, how many planes it writes, its launch.
struct NeighbourhoodOperation {
  const char* name;
  int32_t halo;
  int32_t bands;
  void (*launch)(const ExecutionPlan& plan, const float* input, float* planes, int32_t width,
                 int32_t rows, uint64_t plane, device::Stream& stream);
};

void launch_focal_operation(const ExecutionPlan& plan, const float* input, float* planes,
                            int32_t width, int32_t rows, uint64_t, device::Stream& stream) {
  const FocalParams& f = plan.focal;
  kernels::launch_focal(input, planes, width, rows + 2 * f.radius, width, rows, f.radius, f.stat,
                        f.shape == 1, stream);
}

NeighbourhoodOperation choose_operation(const ExecutionPlan& plan) {
  if (plan.has_focal) return {"focal", plan.focal.radius, 1, &launch_focal_operation};
  if (plan.has_terrain)
    throw std::runtime_error("terrain: the terrain metrics are not available in this build");
  throw std::runtime_error("texture: the GLCM texture features are not available in this build");
}

struct NeighbourhoodKey {
  uint64_t input_floats = 0;
  int32_t bands = 0;
  int threads = 0;
  uint64_t plane = 0;
  int32_t halo = 0;
  bool operator==(const NeighbourhoodKey& o) const {
    return std::tie(input_floats, bands, threads, plane, halo) ==
           std::tie(o.input_floats, o.bands, o.threads, o.plane, o.halo);
  }
};

// Per worker: two input buffers with their streams (chunks alternate between them by parity),
// the output planes on the device and the delivered plane in mapped host memory.
struct NeighbourhoodWorkspace {
  device::MappedHostBuffer input[2];
  device::Stream stream[2];
  device::DeviceBuffer planes;
  device::MappedHostBuffer output;

  explicit NeighbourhoodWorkspace(const NeighbourhoodKey& key)
      : input{device::MappedHostBuffer(key.input_floats * sizeof(float), true),
              device::MappedHostBuffer(key.input_floats * sizeof(float), true)},
        planes(key.plane * key.bands * sizeof(float)),
        output(key.plane * sizeof(float), false) {}
};

WorkspacePool<NeighbourhoodKey, NeighbourhoodWorkspace>& neighbourhood_pool() {
  static WorkspacePool<NeighbourhoodKey, NeighbourhoodWorkspace> pool;
  return pool;
}

// Device bytes and host bytes one worker needs for chunks of `rows` rows.
uint64_t device_need(int64_t rows, int32_t halo, int32_t bands, int32_t width) {
  return uint64_t(2 * (rows + 2 * halo) + rows * bands) * uint64_t(width) * sizeof(float);
}
uint64_t host_need(int64_t rows, int32_t halo, int32_t width) {
  return uint64_t(2 * (rows + 2 * halo) + rows) * uint64_t(width) * sizeof(float);
}

}  // namespace

void run_engine_neighborhood(const std::string& path, const ExecutionPlan& plan, bool verbose) {
  register_gdal_drivers();
  init_host_memory_budget();
  const RasterInfo info = open_raster_info(path);
  const NeighbourhoodOperation op = choose_operation(plan);
  const int32_t W = info.width, H = info.height, h = op.halo, bands = std::max(1, op.bands);
  if (W <= 0 || H <= 0) return;
  const int32_t bh = std::max(1, std::min(info.block_height, H));
  const uint64_t device_budget = uint64_t(0.8 * double(free_device_memory()));
  const uint64_t host_limit = uint64_t(0.8 * double(host_memory_budget()));
  int threads = engine_thread_count();

  // Chunk height: whole blocks while every worker's buffers fit both budgets; below one block
  // only when not even one block row fits.
  auto fits = [&](int64_t rows, int workers) {
    return uint64_t(workers) * host_need(rows, h, W) <= host_limit &&
           uint64_t(workers) * device_need(rows, h, bands, W) <= device_budget;
  };
  if (!fits(1, 1)) {
    throw std::runtime_error(
        std::string(op.name) + ": a halo of " + std::to_string(h) + " rows on a " +
        std::to_string(W) + "-pixel-wide raster needs " +
        std::to_string(std::max(host_need(1, h, W), device_need(1, h, bands, W))) +
        " bytes per chunk, more than the memory budget (host " + std::to_string(host_limit) +
        ", device " + std::to_string(device_budget) + " bytes)");
  }
  int64_t rows = bh;
  if (!fits(rows, 1)) {
    while (rows > 1 && !fits(rows, 1)) rows = std::max<int64_t>(1, rows / 2);
  } else {
    while (rows + bh <= H && fits(rows + bh, threads)) rows += bh;
  }
  const int32_t chunk_rows = int32_t(std::min<int64_t>(rows, H));
  const int chunk_count = (H + chunk_rows - 1) / chunk_rows;
  const uint64_t per_worker = std::max(device_need(chunk_rows, h, bands, W), uint64_t(1));
  threads =
      int(std::min<uint64_t>(uint64_t(threads), std::max<uint64_t>(1, device_budget / per_worker)));
  threads = int(std::min<uint64_t>(
      uint64_t(threads), std::max<uint64_t>(1, host_limit / host_need(chunk_rows, h, W))));
  threads = std::min(threads, chunk_count);

  const NeighbourhoodKey key{uint64_t(chunk_rows + 2 * h) * W, bands, threads,
                             uint64_t(chunk_rows) * W, h};
  auto workspaces = neighbourhood_pool().acquire(
      key, threads, [&] { return std::make_unique<NeighbourhoodWorkspace>(key); });
  std::vector<DatasetPtr> datasets;
  {
    QuietGdalErrors quiet;
    for (int t = 0; t < threads; ++t) {
      datasets.push_back(open_dataset(path));
      if (!datasets.back()) throw std::runtime_error("Cannot open: " + path);
    }
  }
  const int32_t band_number = plan.band_list.empty() ? 1 : plan.band_list.front() + 1;

  Progress progress(verbose, chunk_count);
  progress.start();
  run_chunks(threads, chunk_count, [&](int chunk, int worker) {
    NeighbourhoodWorkspace& ws = (*workspaces)[worker];
    const int32_t first = chunk * chunk_rows;
    const int32_t n = std::min(chunk_rows, H - first);
    const int parity = chunk % 2;
    float* input = static_cast<float*>(ws.input[parity].host());
    const std::size_t row_floats = std::size_t(W);
    // Rows first - h ... first + n + h - 1; rows beyond the raster repeat its edge rows.
    const int32_t top = std::max(0, first - h);
    const int32_t count = std::min(first + n + h, H) - top;
    const int32_t at = h - (first - top);
    read_band_rows(*datasets[worker], path, info, {band_number - 1}, top, count,
                   {input + std::size_t(at) * row_floats});
    for (int32_t r = 0; r < at; ++r)
      std::memcpy(input + r * row_floats, input + std::size_t(at) * row_floats, row_floats * 4);
    for (int32_t r = at + count; r < n + 2 * h; ++r)
      std::memcpy(input + std::size_t(r) * row_floats,
                  input + std::size_t(at + count - 1) * row_floats, row_floats * 4);
    ws.stream[1 - parity].synchronize();  // the other parity shares the planes and the output
    device::Stream& stream = ws.stream[parity];
    op.launch(plan, static_cast<const float*>(ws.input[parity].device()), ws.planes.as<float>(), W,
              n, key.plane, stream);
    device::copy_async(ws.output.device(), ws.planes.get(), std::size_t(n) * W * sizeof(float),
                       device::CopyKind::device_to_device, stream);
    stream.synchronize();
    deliver(plan, W, n, static_cast<const float*>(ws.output.host()), first);
    progress.chunk_done();
  });
  progress.finish();
}

}  // namespace velmorin::engine
