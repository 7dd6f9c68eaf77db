// The reprojection engine: the target grid in chunks of 512 rows. Per chunk a 32 x 32 lattice
// of target points is mapped into the source, the bounding source window is read and uploaded
// into one texture per band, and the warp kernel resamples every target pixel; algebra and
// clip then run as in the tile engine.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <tuple>

#include "device/device.hpp"
#include "engine/engine_common.hpp"
#include "engine/reproject_plan.hpp"
#include "engine/tile_engine.hpp"
#include "engine/workspace_pool.hpp"
#include "kernels/kernels.hpp"
#include "kernels/warp_math.hpp"

namespace velmorin::engine {
namespace {

constexpr int32_t kTargetChunkRows = 512;

struct ReprojectKey {
  uint64_t plane = 0;  // target pixels per chunk buffer
  int bands = 0;
  int threads = 0;
  bool clip = false;
  int32_t max_window_width = 0;
  int32_t max_window_height = 0;
  int32_t resampling = 0;
  bool operator==(const ReprojectKey& o) const {
    return std::tie(plane, bands, threads, clip, max_window_width, max_window_height, resampling) ==
           std::tie(o.plane, o.bands, o.threads, o.clip, o.max_window_width, o.max_window_height,
                    o.resampling);
  }
};

// Window buffers and arrays hold one extra column and row: the window's last column and row
// are repeated there, so that samples at the window's edge never reach texels of an earlier
// chunk.
struct ReprojectWorkspace {
  device::MappedHostBuffer output;
  device::MappedHostBuffer spans;
  device::Stream stream;
  device::PinnedHostBuffer window_host;
  std::vector<device::TextureArray> window_arrays;
  device::DeviceBuffer texture_table;
  device::DeviceBuffer lattice_x;
  device::DeviceBuffer lattice_y;
  device::DeviceBuffer warped;
  device::DeviceBuffer warped_table;

  explicit ReprojectWorkspace(const ReprojectKey& key)
      : output(key.plane * sizeof(float), false),
        window_host(std::size_t(key.bands) * (key.max_window_width + 1) *
                    (key.max_window_height + 1) * sizeof(float)),
        texture_table(key.bands * sizeof(std::uint64_t)),
        lattice_x(kernels::kLatticeNodes * sizeof(float)),
        lattice_y(kernels::kLatticeNodes * sizeof(float)),
        warped(key.plane * key.bands * sizeof(float)),
        warped_table(key.bands * sizeof(float*)) {
    if (key.clip)
      spans = device::MappedHostBuffer(std::size_t(kTargetChunkRows) * sizeof(GpuSpanRow), false);
    std::vector<std::uint64_t> handles;
    std::vector<const float*> bands;
    const auto filter = key.resampling == 0 ? device::Filter::point : device::Filter::linear;
    for (int k = 0; k < key.bands; ++k) {
      window_arrays.emplace_back(key.max_window_width + 1, key.max_window_height + 1, filter);
      handles.push_back(window_arrays.back().handle());
      bands.push_back(warped.as<float>() + k * key.plane);
    }
    device::copy(texture_table.get(), handles.data(), handles.size() * sizeof(std::uint64_t),
                 device::CopyKind::host_to_device);
    device::copy(warped_table.get(), bands.data(), bands.size() * sizeof(float*),
                 device::CopyKind::host_to_device);
  }
  float* window_band(int k, const ReprojectKey& key) {
    return static_cast<float*>(window_host.get()) +
           std::size_t(k) * (key.max_window_width + 1) * (key.max_window_height + 1);
  }
};

WorkspacePool<ReprojectKey, ReprojectWorkspace>& reproject_pool() {
  static WorkspacePool<ReprojectKey, ReprojectWorkspace> pool;
  return pool;
}

struct Window {
  int32_t x0 = 0, y0 = 0, w = 1, h = 1;
};

// Bounding source window of the mappable lattice nodes, with a 2-pixel margin.
Window source_window(const double* xs, const double* ys, int32_t Ws, int32_t Hs, int32_t max_w,
                     int32_t max_h) {
  double min_x = std::numeric_limits<double>::infinity(), max_x = -min_x, min_y = min_x,
         max_y = -min_x;
  for (int i = 0; i < kernels::kLatticeNodes; ++i) {
    if (!std::isfinite(xs[i]) || !std::isfinite(ys[i])) continue;
    min_x = std::min(min_x, xs[i]);
    max_x = std::max(max_x, xs[i]);
    min_y = std::min(min_y, ys[i]);
    max_y = std::max(max_y, ys[i]);
  }
  Window win;
  if (!(min_x <= max_x)) return win;  // nothing maps: every target pixel gets nodata
  auto clamp_int = [](double v, double lo, double hi) {
    return int32_t(std::max(lo, std::min(hi, v)));
  };
  win.x0 = clamp_int(std::floor(min_x) - 2, 0, Ws - 1);
  win.y0 = clamp_int(std::floor(min_y) - 2, 0, Hs - 1);
  const int32_t x1 = clamp_int(std::ceil(max_x) + 2, -1, Ws - 1);
  const int32_t y1 = clamp_int(std::ceil(max_y) + 2, -1, Hs - 1);
  win.w = std::min(std::max(1, x1 - win.x0 + 1), max_w);
  win.h = std::min(std::max(1, y1 - win.y0 + 1), max_h);
  return win;
}

}  // namespace

void run_reproject_engine(const std::string& path, const ExecutionPlan& plan, bool verbose) {
  register_gdal_drivers();
  init_host_memory_budget();
  const RasterInfo source = open_raster_info(path);
  const RasterInfo& target = plan.target_info;
  const int32_t Ws = source.width, Hs = source.height, Wt = target.width, Ht = target.height;
  if (Wt <= 0 || Ht <= 0 || Ws <= 0 || Hs <= 0) return;
  const int B = int(plan.band_list.size());
  const int chunk_count = (Ht + kTargetChunkRows - 1) / kTargetChunkRows;
  const uint64_t P = uint64_t(Wt) * kTargetChunkRows;

  // Source pixels per target pixel, from three points at the centre of the target.
  double scale_x = 1.0, scale_y = 1.0;
  {
    WarpTransform estimate = create_warp_transform(source, target);
    double xs[3] = {Wt / 2.0, Wt / 2.0 + 100, Wt / 2.0};
    double ys[3] = {Ht / 2.0, Ht / 2.0, Ht / 2.0 + 100};
    transform_points(estimate, xs, ys, 3);
    const double sx = std::hypot(xs[1] - xs[0], ys[1] - ys[0]) / 100;
    const double sy = std::hypot(xs[2] - xs[0], ys[2] - ys[0]) / 100;
    if (sx > 0 && sx < 1000) scale_x = sx;
    if (sy > 0 && sy < 1000) scale_y = sy;
  }
  const int32_t max_w =
      int32_t(std::min<double>(Ws, std::trunc(Wt * scale_x * 1.5 + 2 * source.block_width + 128)));
  const int32_t max_h = int32_t(std::min<double>(
      Hs, std::trunc(kTargetChunkRows * scale_y * 1.5 + 2 * source.block_height + 128)));

  const uint64_t device_budget = uint64_t(0.9 * double(free_device_memory()));
  const uint64_t F = uint64_t(max_h + 1) * uint64_t(max_w + 1) * B * sizeof(float);
  const uint64_t G = P * sizeof(float);
  int threads = engine_thread_count();
  if (F > 0)
    threads = int(std::min<uint64_t>(threads, std::max<uint64_t>(1, device_budget / (F + G * B))));
  threads =
      int(std::min<uint64_t>(threads, std::max<uint64_t>(1, host_memory_budget() / (G * B + F))));
  threads = std::min(threads, chunk_count);
  if (verbose) {
    std::printf("[Reproject] Using %d threads within %zu MB VRAM budget.\n", threads,
                std::size_t(device_budget / (1024 * 1024)));
    std::fflush(stdout);
  }

  const ReprojectKey key{P, B, threads, plan.has_clip, max_w, max_h, plan.reproject.resampling};
  auto workspaces = reproject_pool().acquire(
      key, threads, [&] { return std::make_unique<ReprojectWorkspace>(key); });
  std::vector<WarpTransform> transforms;
  for (int t = 0; t < threads; ++t) transforms.push_back(create_warp_transform(source, target));
  std::vector<DatasetPtr> datasets = open_worker_datasets(path, threads);

  const device::DeviceBuffer program = upload_program(plan.program);
  const float nodata = float(plan.reproject.nodata);

  Progress progress(verbose, chunk_count);
  progress.start();
  run_chunks(threads, chunk_count, [&](int chunk, int worker) {
    ReprojectWorkspace& ws = (*workspaces)[worker];
    const int32_t first = chunk * kTargetChunkRows;
    const int32_t n = std::min(Ht - first, kTargetChunkRows);
    double xs[kernels::kLatticeNodes], ys[kernels::kLatticeNodes];
    for (int i = 0; i < 32; ++i)
      for (int j = 0; j < 32; ++j) {
        xs[i * 32 + j] = j / 31.0 * (Wt - 1) + 0.5;  // target pixel centres
        ys[i * 32 + j] = first + i / 31.0 * (n - 1) + 0.5;
      }
    transform_points(transforms[worker], xs, ys, kernels::kLatticeNodes);
    const Window win = source_window(xs, ys, Ws, Hs, max_w, max_h);
    std::vector<float> lx(kernels::kLatticeNodes), ly(kernels::kLatticeNodes);
    for (int i = 0; i < kernels::kLatticeNodes; ++i) {
      lx[i] = float(xs[i] - win.x0);  // NaN stays NaN: such pixels get nodata
      ly[i] = float(ys[i] - win.y0);
    }
    // Read each listed band's window with a row stride of w + 1, then repeat the last column
    // and row into the extra ones.
    const int32_t pitch = win.w + 1;
    {
      QuietGdalErrors quiet;
      for (int k = 0; k < B; ++k) {
        float* dst = ws.window_band(k, key);
        GDALRasterBand* band = datasets[worker]->GetRasterBand(plan.band_list[k] + 1);
        if (band->RasterIO(GF_Read, win.x0, win.y0, win.w, win.h, dst, win.w, win.h, GDT_Float32,
                           sizeof(float), GSpacing(pitch) * sizeof(float), nullptr) != CE_None)
          throw std::runtime_error("Read failed: " + path + ": " + last_gdal_error());
        for (int32_t r = 0; r < win.h; ++r)
          dst[std::size_t(r) * pitch + win.w] = dst[std::size_t(r) * pitch + win.w - 1];
        std::memcpy(dst + std::size_t(win.h) * pitch, dst + std::size_t(win.h - 1) * pitch,
                    pitch * sizeof(float));
      }
    }
    device::copy_async(ws.lattice_x.get(), lx.data(), lx.size() * sizeof(float),
                       device::CopyKind::host_to_device, ws.stream);
    device::copy_async(ws.lattice_y.get(), ly.data(), ly.size() * sizeof(float),
                       device::CopyKind::host_to_device, ws.stream);
    for (int k = 0; k < B; ++k)
      ws.window_arrays[k].upload_async(ws.window_band(k, key), pitch, win.h + 1,
                                       pitch * sizeof(float), ws.stream);
    kernels::launch_warp(ws.lattice_x.as<float>(), ws.lattice_y.as<float>(),
                         ws.texture_table.as<std::uint64_t>(), ws.warped.as<float>(), win.w, win.h,
                         Wt, n, B, nodata, P, ws.stream);
    const uint64_t pixels = uint64_t(Wt) * n;
    float* output_device = static_cast<float*>(ws.output.device());
    kernels::launch_raster_algebra(program.as<Instruction>(), int32_t(plan.program.size()),
                                   ws.warped_table.as<const float* const>(), output_device, pixels,
                                   ws.stream);
    finish_pixel_chunk(plan, ws.spans, ws.output, Wt, first, n, ws.stream);
    progress.chunk_done();
  });
  progress.finish();
}

}  // namespace velmorin::engine
