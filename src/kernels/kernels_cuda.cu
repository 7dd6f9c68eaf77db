// CUDA implementations of the launch wrappers. The per-pixel math lives in the *_math.hpp
// headers shared with the host backend; these kernels add vector loads, shared-memory tiles
// and texture fetches.
#include <cuda_runtime.h>

#include <stdexcept>
#include <string>

#include "algebra_math.hpp"
#include "focal_math.hpp"
#include "kernels.hpp"
#include "warp_math.hpp"

namespace velmorin::kernels::cuda {
namespace {

void check_launch() {
  const cudaError_t status = cudaGetLastError();
  if (status != cudaSuccess) device::raise_device_error(cudaGetErrorString(status));
}

cudaStream_t native(device::Stream& stream) {
  return static_cast<cudaStream_t>(stream.native());
}

unsigned blocks_for(std::uint64_t items, unsigned per_block) {
  return unsigned((items + per_block - 1) / per_block);
}

// ---- algebra

__global__ void kernel_raster_algebra(const Instruction* __restrict__ program, int32_t count,
                                      const float* const* __restrict__ bands,
                                      float* __restrict__ out, std::uint64_t n) {
  const std::uint64_t g = std::uint64_t(blockIdx.x) * blockDim.x + threadIdx.x;
  const std::uint64_t total = std::uint64_t(blockDim.x) * gridDim.x;
  for (std::uint64_t base = 4 * g; base + 3 < n; base += 4 * total) {
    float result[4];
    run_program<4>(
        program, count,
        [&](int32_t slot, float* lanes) {
          const float4 v = __ldg(reinterpret_cast<const float4*>(bands[slot] + base));
          lanes[0] = v.x;
          lanes[1] = v.y;
          lanes[2] = v.z;
          lanes[3] = v.w;
        },
        result);
    *reinterpret_cast<float4*>(out + base) =
        make_float4(result[0], result[1], result[2], result[3]);
  }
  const std::uint64_t p = g + (n & ~std::uint64_t(3));
  if (p < n) {
    run_program<1>(
        program, count, [&](int32_t slot, float* lanes) { lanes[0] = __ldg(bands[slot] + p); },
        out + p);
  }
}

// ---- clip mask

__global__ void kernel_apply_mask(float* data, std::uint64_t pixel_count, int32_t width,
                                  const GpuSpanRow* __restrict__ rows) {
  const std::uint64_t i = std::uint64_t(blockIdx.x) * 256 + threadIdx.x;
  if (i >= pixel_count) return;
  const std::uint64_t row = i / std::uint64_t(width);
  const int32_t col = int32_t(i % std::uint64_t(width));
  data[i] = mask_factor(&rows[row], col) * data[i];
}

// ---- focal

constexpr int kFocalBlockX = 32;
constexpr int kFocalBlockY = 8;

template <int R>
__global__ void kernel_focal(const float* __restrict__ in, float* __restrict__ out, int in_width,
                             int in_rows, int out_width, int out_rows, int stat, int circle) {
  extern __shared__ float tile[];
  constexpr int kTileW = kFocalBlockX + 2 * R;
  constexpr int kTileH = kFocalBlockY + 2 * R;
  const int tx = threadIdx.x, ty = threadIdx.y;
  for (int i = ty * kFocalBlockX + tx; i < kTileW * kTileH; i += kFocalBlockX * kFocalBlockY) {
    const int row = clamp_index(blockIdx.y * kFocalBlockY + i / kTileW, in_rows - 1);
    const int col = clamp_index(int(blockIdx.x * kFocalBlockX) - R + i % kTileW, in_width - 1);
    tile[i] = __ldg(&in[std::int64_t(row) * in_width + col]);
  }
  __syncthreads();
  const int x = blockIdx.x * kFocalBlockX + tx;
  const int y = blockIdx.y * kFocalBlockY + ty;
  if (x >= out_width || y >= out_rows) return;
  auto sample = [&](int dx, int dy) { return tile[(ty + R + dy) * kTileW + tx + R + dx]; };
  out[std::int64_t(y) * out_width + x] = focal_pixel(sample, R, stat, circle != 0);
}

__global__ void kernel_focal_generic(const float* __restrict__ in, float* __restrict__ out,
                                     int in_width, int in_rows, int out_width, int out_rows,
                                     int radius, int stat, int circle) {
  const int x = blockIdx.x * kFocalBlockX + threadIdx.x;
  const int y = blockIdx.y * kFocalBlockY + threadIdx.y;
  if (x >= out_width || y >= out_rows) return;
  auto sample = [&](int dx, int dy) {
    const int row = clamp_index(y + radius + dy, in_rows - 1);
    const int col = clamp_index(x + dx, in_width - 1);
    return __ldg(&in[std::int64_t(row) * in_width + col]);
  };
  out[std::int64_t(y) * out_width + x] = focal_pixel(sample, radius, stat, circle != 0);
}

template <int R>
void launch_focal_instance(const float* input, float* output, int in_width, int in_rows,
                           int out_width, int out_rows, int stat, bool circle,
                           cudaStream_t stream) {
  const dim3 block(kFocalBlockX, kFocalBlockY);
  const dim3 grid(blocks_for(out_width, kFocalBlockX), blocks_for(out_rows, kFocalBlockY));
  const size_t shared = size_t(kFocalBlockX + 2 * R) * (kFocalBlockY + 2 * R) * sizeof(float);
  kernel_focal<R><<<grid, block, shared, stream>>>(input, output, in_width, in_rows, out_width,
                                                   out_rows, stat, circle ? 1 : 0);
}

// ---- warp

__global__ void kernel_warp(const float* __restrict__ lattice_x,
                            const float* __restrict__ lattice_y,
                            const std::uint64_t* __restrict__ textures, float* __restrict__ out,
                            int window_width, int window_height, int out_width, int out_rows,
                            int bands, float nodata, std::uint64_t band_stride) {
  __shared__ float lattice[2 * kLatticeNodes];
  const int linear = threadIdx.y * blockDim.x + threadIdx.x;
  const int block_size = blockDim.x * blockDim.y;
  for (int i = linear; i < kLatticeNodes; i += block_size) {
    lattice[i] = lattice_x[i];
    lattice[kLatticeNodes + i] = lattice_y[i];
  }
  __syncthreads();
  const int x = blockIdx.x * 16 + threadIdx.x;
  const int y = blockIdx.y * 16 + threadIdx.y;
  if (x >= out_width || y >= out_rows) return;
  warp_pixel(
      lattice, lattice + kLatticeNodes, x, y, out_width, out_rows, window_width, window_height,
      bands, nodata, band_stride,
      [&](int b, float u, float v) { return tex2D<float>(cudaTextureObject_t(textures[b]), u, v); },
      out);
}

}  // namespace

void launch_raster_algebra(const Instruction* program, int32_t count, const float* const* bands,
                           float* out, std::uint64_t n, device::Stream& stream) {
  if (n == 0) return;
  const unsigned grid = blocks_for((n + 3) / 4, 256);
  kernel_raster_algebra<<<grid, 256, 0, native(stream)>>>(program, count, bands, out, n);
  check_launch();
}

void launch_apply_mask(float* data, std::uint64_t pixel_count, int32_t width,
                       const GpuSpanRow* rows, device::Stream& stream) {
  if (pixel_count == 0 || rows == nullptr || width <= 0) return;
  kernel_apply_mask<<<blocks_for(pixel_count, 256), 256, 0, native(stream)>>>(data, pixel_count,
                                                                              width, rows);
  check_launch();
}

void launch_focal(const float* input, float* output, int32_t in_width, int32_t in_rows,
                  int32_t out_width, int32_t out_rows, int32_t radius, int32_t stat, bool circle,
                  device::Stream& stream) {
  if (out_width <= 0 || out_rows <= 0) return;
  const cudaStream_t s = native(stream);
  switch (radius) {
    case 1:
      launch_focal_instance<1>(input, output, in_width, in_rows, out_width, out_rows, stat, circle,
                               s);
      break;
    case 2:
      launch_focal_instance<2>(input, output, in_width, in_rows, out_width, out_rows, stat, circle,
                               s);
      break;
    case 3:
      launch_focal_instance<3>(input, output, in_width, in_rows, out_width, out_rows, stat, circle,
                               s);
      break;
    case 5:
      launch_focal_instance<5>(input, output, in_width, in_rows, out_width, out_rows, stat, circle,
                               s);
      break;
    case 7:
      launch_focal_instance<7>(input, output, in_width, in_rows, out_width, out_rows, stat, circle,
                               s);
      break;
    case 10:
      launch_focal_instance<10>(input, output, in_width, in_rows, out_width, out_rows, stat, circle,
                                s);
      break;
    case 15:
      launch_focal_instance<15>(input, output, in_width, in_rows, out_width, out_rows, stat, circle,
                                s);
      break;
    default: {
      const dim3 block(kFocalBlockX, kFocalBlockY);
      const dim3 grid(blocks_for(out_width, kFocalBlockX), blocks_for(out_rows, kFocalBlockY));
      kernel_focal_generic<<<grid, block, 0, s>>>(input, output, in_width, in_rows, out_width,
                                                  out_rows, radius, stat, circle ? 1 : 0);
    }
  }
  check_launch();
}

void launch_warp(const float* lattice_x, const float* lattice_y, const std::uint64_t* textures,
                 float* out, int32_t window_width, int32_t window_height, int32_t out_width,
                 int32_t out_rows, int32_t bands, float nodata, std::uint64_t band_stride,
                 device::Stream& stream) {
  if (out_width <= 0 || out_rows <= 0) return;
  const dim3 block(16, 16);
  const dim3 grid(blocks_for(out_width, 16), blocks_for(out_rows, 16));
  kernel_warp<<<grid, block, 0, native(stream)>>>(lattice_x, lattice_y, textures, out, window_width,
                                                  window_height, out_width, out_rows, bands, nodata,
                                                  band_stride);
  check_launch();
}

}  // namespace velmorin::kernels::cuda
