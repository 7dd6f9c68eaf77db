// Parity of every CUDA launch wrapper against the cpu backend on random data, then a short
// throughput table. Runs on a machine with a GPU and no GDAL: it links only velmorin_kernels.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "device/cpu_texture.hpp"
#include "device/device.hpp"
#include "kernels/focal_math.hpp"
#include "kernels/kernels.hpp"
#include "kernels/warp_math.hpp"

using namespace velmorin;

namespace {

int failures = 0;

template <class T>
struct OnDevice {
  device::DeviceBuffer buffer;
  explicit OnDevice(const std::vector<T>& host) : buffer(host.size() * sizeof(T)) {
    device::copy(buffer.get(), host.data(), host.size() * sizeof(T),
                 device::CopyKind::host_to_device);
  }
  T* get() const { return buffer.as<T>(); }
};

std::vector<float> download(const device::DeviceBuffer& buffer, std::size_t n) {
  std::vector<float> out(n);
  device::copy(out.data(), buffer.get(), n * sizeof(float), device::CopyKind::device_to_host);
  return out;
}

// Relative tolerance for the device's approximate division, square root, log and exp.
void compare(const std::string& name, const std::vector<float>& gpu, const std::vector<float>& cpu,
             float rel, float abs_tol = 1e-5f) {
  std::size_t bad = 0;
  double worst = 0;
  for (std::size_t i = 0; i < cpu.size(); ++i) {
    const float a = gpu[i], b = cpu[i];
    if (std::isnan(a) || std::isnan(b)) {
      if (std::isnan(a) != std::isnan(b)) ++bad;
      continue;
    }
    const double diff = std::fabs(double(a) - b);
    worst = std::max(worst, diff / std::max(1.0, std::fabs(double(b))));
    if (diff > abs_tol + rel * std::fabs(b)) ++bad;
  }
  std::printf("%-34s %s  (%zu of %zu differ, worst relative %.2e)\n", name.c_str(),
              bad ? "FAIL" : "ok  ", bad, cpu.size(), worst);
  if (bad) ++failures;
}

std::vector<float> random_values(std::size_t n, unsigned seed, float lo, float hi,
                                 double nan_share = 0.0) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<float> v(n);
  for (float& x : v) x = unit(rng) < nan_share ? NAN : dist(rng);
  return v;
}

double time_ms(device::Stream& stream, const std::function<void()>& launch, int repeats = 20) {
  launch();
  stream.synchronize();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < repeats; ++i) launch();
  stream.synchronize();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
             .count() /
         repeats;
}

}  // namespace

int run() {
  if (device::active_backend() != device::Backend::cuda) {
    std::printf("no CUDA device: set VELMORIN_DEVICE=cuda on a GPU machine\n");
    return 2;
  }
  const auto d = device::describe();
  std::printf("device: %s (compute %d.%d, %d SMs)\n\n", d.name.c_str(), d.compute_major,
              d.compute_minor, d.multiprocessors);
  device::Stream stream;

  // ---- algebra: every opcode, vector path and tail (n not a multiple of 4), NaN rules
  const std::size_t n = 1 << 20 | 3;
  auto a = random_values(n, 1, -4, 4, 0.01), b = random_values(n, 2, -4, 4, 0.01),
       c = random_values(n, 3, 0, 1);
  std::vector<Instruction> programs[] = {
      {{kLoadBand, 0, 0},
       {kLoadBand, 0, 1},
       {kSub, 0, -1},
       {kLoadBand, 0, 0},
       {kLoadBand, 0, 1},
       {kAdd, 0, -1},
       {kDiv, 0, -1}},
      {{kLoadBand, 0, 0},   {kLoadBand, 0, 1},      {kGreater, 0, -1}, {kLoadBand, 0, 0},
       {kLoadBand, 0, 1},   {kLess, 0, -1},         {kAdd, 0, -1},     {kLoadBand, 0, 0},
       {kLoadBand, 0, 1},   {kGreaterEqual, 0, -1}, {kLoadBand, 0, 0}, {kLoadBand, 0, 1},
       {kLessEqual, 0, -1}, {kMul, 0, -1},          {kAdd, 0, -1},     {kLoadBand, 0, 0},
       {kLoadBand, 0, 0},   {kEqual, 0, -1},        {kLoadBand, 0, 0}, {kLoadBand, 0, 1},
       {kNotEqual, 0, -1},  {kAnd, 0, -1},          {kOr, 0, -1},      {kNot, 0, -1}},
      {{kLoadBand, 0, 2}, {kLoadBand, 0, 0},    {kLoadBand, 0, 1},   {kSelect, 0, -1},
       {kLoadBand, 0, 0}, {kPushConst, -1, -1}, {kPushConst, 1, -1}, {kClamp, 0, -1},
       {kAdd, 0, -1},     {kLoadBand, 0, 1},    {kPushConst, 0, -1}, {kPushConst, 2, -1},
       {kInRange, 0, -1}, {kAdd, 0, -1},        {kLoadBand, 0, 0},   {kLoadBand, 0, 1},
       {kMin, 0, -1},     {kLoadBand, 0, 0},    {kLoadBand, 0, 1},   {kMax, 0, -1},
       {kSub, 0, -1},     {kAdd, 0, -1}},
      {{kLoadBand, 0, 2}, {kSqrt, 0, -1},  {kLoadBand, 0, 2}, {kPushConst, 1, -1},
       {kAdd, 0, -1},     {kLog, 0, -1},   {kAdd, 0, -1},     {kLoadBand, 0, 0},
       {kExp, 0, -1},     {kAdd, 0, -1},   {kLoadBand, 0, 1}, {kAbs, 0, -1},
       {kNeg, 0, -1},     {kAdd, 0, -1},   {kLoadBand, 0, 2}, {kPushConst, 0.5f, -1},
       {kPow, 0, -1},     {kAdd, 0, -1},   {kLoadBand, 0, 2}, {kPushConst, 1, -1},
       {kAdd, 0, -1},     {kLog10, 0, -1}, {kAdd, 0, -1}},
      {},
  };
  OnDevice<float> da(a), db(b), dc(c);
  std::vector<const float*> dtable{da.get(), db.get(), dc.get()};
  OnDevice<const float*> dbands(dtable);
  std::vector<const float*> htable{a.data(), b.data(), c.data()};
  device::DeviceBuffer dout(n * sizeof(float));
  int index = 0;
  for (const auto& program : programs) {
    OnDevice<Instruction> dprog(program.empty() ? std::vector<Instruction>{{kAdd, 0, -1}}
                                                : program);
    kernels::cuda::launch_raster_algebra(dprog.get(), int32_t(program.size()), dbands.get(),
                                         dout.as<float>(), n, stream);
    stream.synchronize();
    std::vector<float> cpu(n);
    kernels::cpu::launch_raster_algebra(program.data(), int32_t(program.size()), htable.data(),
                                        cpu.data(), n, stream);
    compare("algebra program " + std::to_string(index++), download(dout, n), cpu, 2e-5f);
  }

  // ---- clip mask
  const int width = 1000, rows = 64;
  std::vector<GpuSpanRow> spans(rows);
  std::memset(spans.data(), 0, spans.size() * sizeof(GpuSpanRow));
  for (int r = 0; r < rows; ++r) {
    spans[r].span_count = r % 3;
    for (int s = 0; s < spans[r].span_count; ++s) {
      spans[r].spans[s][0] = 100 * s + r;
      spans[r].spans[s][1] = 100 * s + 3 * r;
    }
  }
  auto masked = random_values(std::size_t(width) * rows, 4, -1, 1, 0.01);
  OnDevice<float> dmasked(masked);
  OnDevice<GpuSpanRow> dspans(spans);
  kernels::cuda::launch_apply_mask(dmasked.get(), masked.size(), width, dspans.get(), stream);
  stream.synchronize();
  kernels::cpu::launch_apply_mask(masked.data(), masked.size(), width, spans.data(), stream);
  compare("apply_mask", download(dmasked.buffer, masked.size()), masked, 0);

  // ---- focal: every stat, instanced and generic radii, both shapes
  const int fw = 300, fh = 70;
  for (int radius : {1, 2, 3, 4, 5, 7, 10, 15}) {
    auto input = random_values(std::size_t(fw) * (fh + 2 * radius), 5 + radius, 0, 100, 0.002);
    OnDevice<float> din(input);
    device::DeviceBuffer dfocal(std::size_t(fw) * fh * sizeof(float));
    for (int stat = 0; stat < 8; ++stat) {
      for (bool circle : {false, true}) {
        kernels::cuda::launch_focal(din.get(), dfocal.as<float>(), fw, fh + 2 * radius, fw, fh,
                                    radius, stat, circle, stream);
        stream.synchronize();
        std::vector<float> cpu(std::size_t(fw) * fh);
        kernels::cpu::launch_focal(input.data(), cpu.data(), fw, fh + 2 * radius, fw, fh, radius,
                                   stat, circle, stream);
        // The binned median may land one bin away where approximate division moves a sample.
        const float rel = stat == kernels::kFocalMedian && radius > 1 ? 0.5f / 256 : 1e-4f;
        compare("focal r" + std::to_string(radius) + " stat " + std::to_string(stat) +
                    (circle ? " circle" : " square"),
                download(dfocal, cpu.size()), cpu, rel,
                stat == kernels::kFocalMedian ? 100.0f / 256 : 1e-3f);
      }
    }
  }

  // ---- warp: lattice interpolation and point / linear texture sampling, with nodata outside
  const int ww = 200, wh = 150, ow = 333, orows = 97, bands = 2;
  std::vector<float> lx(kernels::kLatticeNodes), ly(kernels::kLatticeNodes);
  for (int i = 0; i < 32; ++i)
    for (int j = 0; j < 32; ++j) {
      lx[i * 32 + j] = -5.0f + j * 6.7f + i * 0.3f;
      ly[i * 32 + j] = -3.0f + i * 5.1f + j * 0.2f;
    }
  lx[5] = NAN;  // an unmappable node
  for (device::Filter filter : {device::Filter::point, device::Filter::linear}) {
    std::vector<std::vector<float>> windows;
    std::vector<device::TextureArray> arrays;
    std::vector<device::CpuTexture> host_textures;
    std::vector<std::uint64_t> handles, host_handles;
    for (int k = 0; k < bands; ++k) {
      windows.push_back(random_values(std::size_t(ww) * wh, 20 + k, 0, 255));
      arrays.emplace_back(ww, wh, filter);
      arrays.back().upload_async(windows.back().data(), ww, wh, ww * sizeof(float), stream);
      handles.push_back(arrays.back().handle());
    }
    for (int k = 0; k < bands; ++k)
      host_textures.push_back({windows[k].data(), ww, wh, filter == device::Filter::linear});
    for (auto& t : host_textures) host_handles.push_back(reinterpret_cast<std::uint64_t>(&t));
    OnDevice<float> dlx(lx), dly(ly);
    OnDevice<std::uint64_t> dhandles(handles);
    const std::uint64_t plane = std::uint64_t(ow) * orows;
    device::DeviceBuffer dwarp(plane * bands * sizeof(float));
    kernels::cuda::launch_warp(dlx.get(), dly.get(), dhandles.get(), dwarp.as<float>(), ww, wh, ow,
                               orows, bands, -9999.0f, plane, stream);
    stream.synchronize();
    std::vector<float> cpu(plane * bands);
    kernels::cpu::launch_warp(lx.data(), ly.data(), host_handles.data(), cpu.data(), ww, wh, ow,
                              orows, bands, -9999.0f, plane, stream);
    compare(filter == device::Filter::point ? "warp nearest" : "warp bilinear",
            download(dwarp, cpu.size()), cpu, filter == device::Filter::point ? 0.0f : 1e-3f,
            0.05f);
  }

  // ---- throughput
  std::printf("\n%-34s %10s %12s\n", "kernel", "ms", "GB/s");
  const std::size_t big = std::size_t(8192) * 8192;
  device::DeviceBuffer x(big * 4), y(big * 4), z(big * 4);
  std::vector<const float*> ndvi_table{x.as<float>(), y.as<float>()};
  OnDevice<const float*> ndvi_bands(ndvi_table);
  OnDevice<Instruction> ndvi(programs[0]);
  double ms = time_ms(stream, [&] {
    kernels::cuda::launch_raster_algebra(ndvi.get(), 7, ndvi_bands.get(), z.as<float>(), big,
                                         stream);
  });
  std::printf("%-34s %10.3f %12.1f\n", "algebra NDVI 8192x8192", ms, 3.0 * big * 4 / ms / 1e6);
  for (int radius : {1, 5, 15}) {
    for (int stat : {0, 6}) {
      if (stat == 6 && radius == 15) continue;
      ms = time_ms(
          stream,
          [&] {
            kernels::cuda::launch_focal(x.as<float>(), z.as<float>(), 8192, 8000 + 2 * radius, 8192,
                                        8000, radius, stat, false, stream);
          },
          5);
      std::printf("%-34s %10.3f %12.1f\n",
                  ("focal " + std::string(stat ? "median" : "mean") + " r" + std::to_string(radius))
                      .c_str(),
                  ms, 2.0 * 8192 * 8000 * 4 / ms / 1e6);
    }
  }
  std::printf("\n%s\n", failures ? "PARITY FAILED" : "parity ok");
  return failures ? 1 : 0;
}

int main() {
  try {
    return run();
  } catch (const std::exception& e) {
    std::printf("%s\n", e.what());
    return 2;
  }
}
