// Per-pixel math of the warp kernel, shared by the host and device backends.
#pragma once

#include "common.hpp"
#include "fast_math.hpp"

namespace velmorin::kernels {

constexpr int kLatticeSide = 32;
constexpr int kLatticeNodes = kLatticeSide * kLatticeSide;

// Source position of the centre of target pixel (x, y) of a chunk, window-relative in source
// pixel coordinates (integers are pixel corners, so pixel i spans [i, i + 1)), by bilinear
// interpolation of the 32 x 32 lattice, whose nodes are target pixel centres.
VELMORIN_HD void lattice_position(const float* lx, const float* ly, int x, int y, int out_width,
                                  int out_rows, float& sx, float& sy) {
  const float gx = out_width >= 2 ? fast_div(float(x), float(out_width - 1)) * 31.0f : 0.0f;
  const float gy = out_rows >= 2 ? fast_div(float(y), float(out_rows - 1)) * 31.0f : 0.0f;
  const int ix = int(gx) < 30 ? int(gx) : 30;
  const int iy = int(gy) < 30 ? int(gy) : 30;
  const float fx = gx - float(ix);
  const float fy = gy - float(iy);
  const float w00 = (1.0f - fx) * (1.0f - fy);
  const float w10 = fx * (1.0f - fy);
  const float w01 = (1.0f - fx) * fy;
  const float w11 = fx * fy;
  const int n00 = iy * kLatticeSide + ix;
  const int n10 = n00 + 1;
  const int n01 = n00 + kLatticeSide;
  const int n11 = n01 + 1;
  sx = fmaf(lx[n11], w11, fmaf(lx[n01], w01, fmaf(lx[n10], w10, lx[n00] * w00)));
  sy = fmaf(ly[n11], w11, fmaf(ly[n01], w01, fmaf(ly[n10], w10, ly[n00] * w00)));
}

// True when the position lies inside the window (false for NaN or infinite positions).
VELMORIN_HD bool inside_window(float sx, float sy, int window_width, int window_height) {
  return sx >= 0.0f && sy >= 0.0f && sx < float(window_width) && sy < float(window_height);
}

// `fetch(b, u, v)` is a 2D texture fetch of band b at texture coordinates (u, v). Texel i's
// centre lies at u = i + 0.5, so fetching at the source position itself gives the pixel that
// contains it (point filtering) or interpolates between the neighbouring pixel centres
// (linear filtering).
template <class Fetch>
VELMORIN_HD void warp_pixel(const float* lx, const float* ly, int x, int y, int out_width,
                            int out_rows, int window_width, int window_height, int bands,
                            float nodata, std::uint64_t band_stride, Fetch fetch, float* out) {
  float sx, sy;
  lattice_position(lx, ly, x, y, out_width, out_rows, sx, sy);
  const bool inside = inside_window(sx, sy, window_width, window_height);
  const std::uint64_t pixel = std::uint64_t(y) * std::uint64_t(out_width) + std::uint64_t(x);
  for (int b = 0; b < bands; ++b) out[b * band_stride + pixel] = inside ? fetch(b, sx, sy) : nodata;
}

}  // namespace velmorin::kernels
