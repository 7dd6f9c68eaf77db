// Stand-ins for the CUDA launch wrappers in a build without nvcc.
#include "kernels.hpp"

namespace velmorin::kernels::cuda {
namespace {
[[noreturn]] void not_compiled() {
  device::raise_device_error("the CUDA backend is not compiled into this build");
}
}  // namespace

void launch_raster_algebra(const Instruction*, int32_t, const float* const*, float*, std::uint64_t,
                           device::Stream&) {
  not_compiled();
}
void launch_apply_mask(float*, std::uint64_t, int32_t, const GpuSpanRow*, device::Stream&) {
  not_compiled();
}
void launch_focal(const float*, float*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, bool,
                  device::Stream&) {
  not_compiled();
}
void launch_warp(const float*, const float*, const std::uint64_t*, float*, int32_t, int32_t,
                 int32_t, int32_t, int32_t, float, std::uint64_t, device::Stream&) {
  not_compiled();
}

}  // namespace velmorin::kernels::cuda
