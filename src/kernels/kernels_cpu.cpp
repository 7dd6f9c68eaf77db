// Host implementations of the launch wrappers: the shared per-pixel math in OpenMP loops.
// Inside an engine worker (itself an OpenMP thread) the loops run serially on that worker.
#include <pmmintrin.h>
#include <xmmintrin.h>

#include <algorithm>

#include "../device/cpu_texture.hpp"
#include "algebra_math.hpp"
#include "focal_math.hpp"
#include "kernels.hpp"
#include "warp_math.hpp"

namespace velmorin::kernels::cpu {
namespace {

// The device flushes subnormal inputs and results to zero; so does the host while a kernel runs.
class FlushDenormals {
 public:
  FlushDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040); }
  ~FlushDenormals() { _mm_setcsr(saved_); }
  FlushDenormals(const FlushDenormals&) = delete;
  FlushDenormals& operator=(const FlushDenormals&) = delete;

 private:
  unsigned saved_;
};

// Pixels evaluated together by one host "thread": wide enough for the compiler to vectorise.
constexpr int kHostLanes = 64;

}  // namespace

void launch_raster_algebra(const Instruction* program, int32_t count, const float* const* bands,
                           float* out, std::uint64_t n, device::Stream&) {
  if (n == 0) return;
  const std::int64_t groups = std::int64_t(n / kHostLanes);
#pragma omp parallel
  {
    FlushDenormals ftz;
#pragma omp for schedule(static)
    for (std::int64_t g = 0; g < groups; ++g) {
      const std::uint64_t base = std::uint64_t(g) * kHostLanes;
      run_program<kHostLanes>(
          program, count,
          [&](int32_t slot, float* lanes) {
            const float* src = bands[slot] + base;
            for (int l = 0; l < kHostLanes; ++l) lanes[l] = src[l];
          },
          out + base);
    }
  }
  FlushDenormals ftz;
  for (std::uint64_t p = std::uint64_t(groups) * kHostLanes; p < n; ++p) {
    run_program<1>(
        program, count, [&](int32_t slot, float* lanes) { lanes[0] = bands[slot][p]; }, out + p);
  }
}

void launch_apply_mask(float* data, std::uint64_t pixel_count, int32_t width,
                       const GpuSpanRow* rows, device::Stream&) {
  if (pixel_count == 0 || rows == nullptr || width <= 0) return;
  const std::int64_t row_count = std::int64_t((pixel_count + width - 1) / width);
#pragma omp parallel
  {
    FlushDenormals ftz;
#pragma omp for schedule(static)
    for (std::int64_t r = 0; r < row_count; ++r) {
      const std::uint64_t begin = std::uint64_t(r) * width;
      const std::uint64_t end = std::min<std::uint64_t>(begin + width, pixel_count);
      for (std::uint64_t i = begin; i < end; ++i)
        data[i] = mask_factor(&rows[r], int32_t(i - begin)) * data[i];
    }
  }
}

void launch_focal(const float* input, float* output, int32_t in_width, int32_t in_rows,
                  int32_t out_width, int32_t out_rows, int32_t radius, int32_t stat, bool circle,
                  device::Stream&) {
  if (out_width <= 0 || out_rows <= 0) return;
#pragma omp parallel
  {
    FlushDenormals ftz;
#pragma omp for schedule(static)
    for (int32_t y = 0; y < out_rows; ++y) {
      for (int32_t x = 0; x < out_width; ++x) {
        auto sample = [&](int dx, int dy) {
          const int row = clamp_index(y + radius + dy, in_rows - 1);
          const int col = clamp_index(x + dx, in_width - 1);
          return input[std::int64_t(row) * in_width + col];
        };
        output[std::int64_t(y) * out_width + x] = focal_pixel(sample, radius, stat, circle);
      }
    }
  }
}

void launch_warp(const float* lattice_x, const float* lattice_y, const std::uint64_t* textures,
                 float* out, int32_t window_width, int32_t window_height, int32_t out_width,
                 int32_t out_rows, int32_t bands, float nodata, std::uint64_t band_stride,
                 device::Stream&) {
  if (out_width <= 0 || out_rows <= 0) return;
#pragma omp parallel
  {
    FlushDenormals ftz;
#pragma omp for schedule(static)
    for (int32_t y = 0; y < out_rows; ++y) {
      for (int32_t x = 0; x < out_width; ++x) {
        warp_pixel(
            lattice_x, lattice_y, x, y, out_width, out_rows, window_width, window_height, bands,
            nodata, band_stride,
            [&](int b, float u, float v) { return device::cpu_tex2d(textures[b], u, v); }, out);
      }
    }
  }
}

}  // namespace velmorin::kernels::cpu
