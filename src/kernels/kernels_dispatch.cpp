// Launch wrappers that pick the backend of the stream they are given.
#include "kernels.hpp"

namespace velmorin::kernels {

namespace {
bool on_cuda(const device::Stream& stream) {
  return stream.backend() == device::Backend::cuda;
}
}  // namespace

void launch_raster_algebra(const Instruction* program, int32_t count, const float* const* bands,
                           float* out, std::uint64_t n, device::Stream& stream) {
  if (on_cuda(stream)) return cuda::launch_raster_algebra(program, count, bands, out, n, stream);
  cpu::launch_raster_algebra(program, count, bands, out, n, stream);
}

void launch_apply_mask(float* data, std::uint64_t pixel_count, int32_t width,
                       const GpuSpanRow* rows, device::Stream& stream) {
  if (on_cuda(stream)) return cuda::launch_apply_mask(data, pixel_count, width, rows, stream);
  cpu::launch_apply_mask(data, pixel_count, width, rows, stream);
}

void launch_focal(const float* input, float* output, int32_t in_width, int32_t in_rows,
                  int32_t out_width, int32_t out_rows, int32_t radius, int32_t stat, bool circle,
                  device::Stream& stream) {
  if (on_cuda(stream))
    return cuda::launch_focal(input, output, in_width, in_rows, out_width, out_rows, radius, stat,
                              circle, stream);
  cpu::launch_focal(input, output, in_width, in_rows, out_width, out_rows, radius, stat, circle,
                    stream);
}

void launch_warp(const float* lattice_x, const float* lattice_y, const std::uint64_t* textures,
                 float* out, int32_t window_width, int32_t window_height, int32_t out_width,
                 int32_t out_rows, int32_t bands, float nodata, std::uint64_t band_stride,
                 device::Stream& stream) {
  if (on_cuda(stream))
    return cuda::launch_warp(lattice_x, lattice_y, textures, out, window_width, window_height,
                             out_width, out_rows, bands, nodata, band_stride, stream);
  cpu::launch_warp(lattice_x, lattice_y, textures, out, window_width, window_height, out_width,
                   out_rows, bands, nodata, band_stride, stream);
}

}  // namespace velmorin::kernels
