// Per-pixel math of the focal statistics, shared by the host and device backends.
// `sample(dx, dy)` returns the window sample at that offset from the centre; the caller owns
// placement and edge clamping.
#pragma once

#include "common.hpp"
#include "fast_math.hpp"

namespace velmorin::kernels {

enum FocalStat : int32_t {
  kFocalMean = 0,
  kFocalSum = 1,
  kFocalMin = 2,
  kFocalMax = 3,
  kFocalStd = 4,
  kFocalVariance = 5,
  kFocalMedian = 6,
  kFocalRange = 7,
};

constexpr float kFloatMax = 3.4028235e38f;
constexpr int kMedianBins = 256;

// Sum, extremes and count of the window; the running mean and M2 (Welford's update) only
// where the statistic needs the second moment, so that the other statistics skip a division
// per sample.
struct FocalAccumulator {
  float sum = 0.0f;
  float minimum = kFloatMax;
  float maximum = -kFloatMax;
  float mean = 0.0f;
  float m2 = 0.0f;
  int n = 0;
  bool moments = false;

  VELMORIN_HD void add(float v) {
    sum += v;
    if (v < minimum) minimum = v;
    if (v > maximum) maximum = v;
    n += 1;
    if (moments) {
      const float d = v - mean;
      mean += fast_div(d, float(n));
      m2 += d * (v - mean);
    }
  }
};

VELMORIN_HD bool in_window(int dx, int dy, int radius, bool circle) {
  return !circle || dx * dx + dy * dy <= radius * radius;
}

template <class Sample>
VELMORIN_HD FocalAccumulator focal_accumulate(Sample sample, int radius, bool circle,
                                              bool moments) {
  FocalAccumulator acc;
  acc.moments = moments;
  for (int dy = -radius; dy <= radius; ++dy)
    for (int dx = -radius; dx <= radius; ++dx)
      if (in_window(dx, dy, radius, circle)) acc.add(sample(dx, dy));
  return acc;
}

VELMORIN_HD float focal_finish(const FocalAccumulator& acc, int stat) {
  switch (stat) {
    case kFocalMean:
      return acc.n > 0 ? fast_div(acc.sum, float(acc.n)) : 0.0f;
    case kFocalSum:
      return acc.sum;
    case kFocalMin:
      return acc.minimum;
    case kFocalMax:
      return acc.maximum;
    case kFocalStd:
      return acc.n >= 2 ? fast_sqrt(fast_div(acc.m2, float(acc.n - 1))) : 0.0f;
    case kFocalVariance:
      return acc.n >= 2 ? fast_div(acc.m2, float(acc.n - 1)) : 0.0f;
    case kFocalRange:
      return acc.maximum - acc.minimum;
    default:
      return 0.0f;
  }
}

VELMORIN_HD void order_pair(float& a, float& b) {
  const float lo = dev_min(a, b);
  b = dev_max(a, b);
  a = lo;
}

// Exact median of the 3 x 3 square by a fixed exchange network.
template <class Sample>
VELMORIN_HD float focal_median3x3(Sample sample) {
  float p0 = sample(-1, -1), p1 = sample(0, -1), p2 = sample(1, -1);
  float p3 = sample(-1, 0), p4 = sample(0, 0), p5 = sample(1, 0);
  float p6 = sample(-1, 1), p7 = sample(0, 1), p8 = sample(1, 1);
  order_pair(p1, p2);
  order_pair(p4, p5);
  order_pair(p7, p8);
  order_pair(p0, p1);
  order_pair(p3, p4);
  order_pair(p6, p7);
  order_pair(p1, p2);
  order_pair(p4, p5);
  order_pair(p7, p8);
  order_pair(p0, p3);
  order_pair(p5, p8);
  order_pair(p4, p7);
  order_pair(p3, p6);
  order_pair(p1, p4);
  order_pair(p2, p5);
  order_pair(p4, p7);
  order_pair(p4, p2);
  order_pair(p6, p4);
  order_pair(p4, p2);
  return p4;
}

// Median from a 256-bin histogram over the window: the centre of the first bin whose running
// count reaches (n + 1) / 2. Within half a bin width of the exact median.
template <class Sample>
VELMORIN_HD float focal_binned_median(Sample sample, int radius, bool circle,
                                      const FocalAccumulator& acc) {
  const float lo = acc.minimum;
  const float span = acc.maximum - acc.minimum;
  if (!(span >= 1e-10f)) return lo;
  int histogram[kMedianBins];
  for (int b = 0; b < kMedianBins; ++b) histogram[b] = 0;
  const float inv_span = fast_div(1.0f, span);
  for (int dy = -radius; dy <= radius; ++dy)
    for (int dx = -radius; dx <= radius; ++dx)
      if (in_window(dx, dy, radius, circle)) {
        const float pos = (sample(dx, dy) - lo) * inv_span * float(kMedianBins);
        histogram[int(dev_min(float(kMedianBins - 1), dev_max(0.0f, pos)))] += 1;
      }
  const int target = (acc.n + 1) / 2;
  int running = 0;
  for (int b = 0; b < kMedianBins; ++b) {
    running += histogram[b];
    if (running >= target) return lo + span * (float(b) + 0.5f) / float(kMedianBins);
  }
  return acc.maximum;
}

template <class Sample>
VELMORIN_HD float focal_pixel(Sample sample, int radius, int stat, bool circle) {
  if (stat == kFocalMedian && radius == 1) return focal_median3x3(sample);
  const bool moments = stat == kFocalStd || stat == kFocalVariance;
  const FocalAccumulator acc = focal_accumulate(sample, radius, circle, moments);
  if (stat == kFocalMedian) return focal_binned_median(sample, radius, circle, acc);
  return focal_finish(acc, stat);
}

VELMORIN_HD int clamp_index(int v, int hi) {
  return v < 0 ? 0 : (v > hi ? hi : v);
}

}  // namespace velmorin::kernels
