// Fast arithmetic used by every kernel family. On the device these are the approximate
// instructions (the CUDA sources are built with flush-to-zero); on the host the same
// operations are computed exactly, with the host backend flushing subnormals itself.
#pragma once

#include <cmath>

#include "common.hpp"

namespace velmorin::kernels {

VELMORIN_HD float fast_div(float a, float b) {
#if defined(__CUDA_ARCH__)
  return __fdividef(a, b);
#else
  return a / b;
#endif
}

VELMORIN_HD float fast_sqrt(float a) {
#if defined(__CUDA_ARCH__)
  return __fsqrt_rn(a);
#else
  return std::sqrt(a);
#endif
}

VELMORIN_HD float fast_log(float a) {
#if defined(__CUDA_ARCH__)
  return __logf(a);
#else
  return std::log(a);
#endif
}

VELMORIN_HD float fast_log10(float a) {
#if defined(__CUDA_ARCH__)
  return __log10f(a);
#else
  return std::log10(a);
#endif
}

VELMORIN_HD float fast_exp(float a) {
#if defined(__CUDA_ARCH__)
  return __expf(a);
#else
  return std::exp(a);
#endif
}

VELMORIN_HD float fast_pow(float a, float b) {
#if defined(__CUDA_ARCH__)
  return __powf(a, b);
#else
  return std::pow(a, b);
#endif
}

// Device min/max rule: when exactly one operand is NaN the other one is returned.
VELMORIN_HD float dev_min(float a, float b) {
  return fminf(a, b);
}
VELMORIN_HD float dev_max(float a, float b) {
  return fmaxf(a, b);
}

}  // namespace velmorin::kernels
