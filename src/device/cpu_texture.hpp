// Host emulation of a 2D float texture object: clamp addressing, unnormalised coordinates,
// point filtering or linear filtering with the texture unit's 8-bit fractional weights.
#pragma once

#include <cmath>
#include <cstdint>

namespace velmorin::device {

struct CpuTexture {
  float* data = nullptr;  // width x height floats, row-major
  int width = 0;
  int height = 0;
  bool linear = false;
};

inline float cpu_texel(const CpuTexture& t, int x, int y) {
  x = x < 0 ? 0 : (x >= t.width ? t.width - 1 : x);
  y = y < 0 ? 0 : (y >= t.height ? t.height - 1 : y);
  return t.data[std::int64_t(y) * t.width + x];
}

// The texture unit keeps 8 fractional bits of each interpolation weight.
inline float quantise_weight(float frac) {
  return std::floor(frac * 256.0f + 0.5f) / 256.0f;
}

// tex2D<float>(texture, x, y) as the hardware computes it.
inline float cpu_tex2d(const CpuTexture& t, float x, float y) {
  if (!t.linear) return cpu_texel(t, int(std::floor(x)), int(std::floor(y)));
  const float xb = x - 0.5f;
  const float yb = y - 0.5f;
  const float fx = std::floor(xb);
  const float fy = std::floor(yb);
  const int i = int(fx);
  const int j = int(fy);
  const float a = quantise_weight(xb - fx);
  const float b = quantise_weight(yb - fy);
  return (1.0f - a) * (1.0f - b) * cpu_texel(t, i, j) + a * (1.0f - b) * cpu_texel(t, i + 1, j) +
         (1.0f - a) * b * cpu_texel(t, i, j + 1) + a * b * cpu_texel(t, i + 1, j + 1);
}

inline float cpu_tex2d(std::uint64_t handle, float x, float y) {
  return cpu_tex2d(*reinterpret_cast<const CpuTexture*>(handle), x, y);
}

}  // namespace velmorin::device
