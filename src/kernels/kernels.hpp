// Launch wrappers of the device kernels, per backend and dispatching on the stream's backend.
#pragma once

#include <cstdint>

#include "../device/device.hpp"
#include "common.hpp"

namespace velmorin::kernels {

namespace cpu {
#include "launch_signatures.inc"
}  // namespace cpu

namespace cuda {
#include "launch_signatures.inc"
}  // namespace cuda

#include "launch_signatures.inc"

}  // namespace velmorin::kernels
