// Magnitude blur: each bin becomes the mean of its neighbours within a radius.
#pragma once

#include <string.h>

#include "dsp/simd.hpp"
#include "plugin/instance.hpp"

namespace {

// Mean of mag[l] over l = k - radius .. k + radius within 0..512, summed in
// double in increasing l, divided in double and rounded once to float.
inline float blur_mean(const float *mag, int k, int radius) {
  double sum = 0.0;
  int count = 0;
  for (int l = k - radius; l <= k + radius; ++l) {
    if (l >= 0 && l < static_cast<int>(bins)) {
      sum += static_cast<double>(mag[l]);
      ++count;
    }
  }
  return static_cast<float>(sum / count);
}

// Smooths mag[0..512] in place through tmp. Off (mag untouched) when the
// control is absent, negative or at most 1e-4; otherwise the radius runs from
// 1 (a three-bin mean) to 16 (33 bins) at 1 and above. Bins past either edge
// are left out of the mean rather than mirrored or zero-padded.
//
// Each window is summed afresh, in order: a running sum would round
// differently. Away from the edges eight neighbouring bins are summed side by
// side, one per lane, each lane adding the same terms in the same order.
void blur_magnitudes(float *mag, float *tmp, const float *control) {
  float v = 0.0f;
  if (!read_control(control, &v) || v < 0.0f) {
    return;
  }
  v = v < 1.0f ? v : 1.0f;
  if (!(v > 1e-4f)) {
    return;
  }
  const int radius = static_cast<int>(15.0f * v) + 1;
  const int last = static_cast<int>(bins) - 1;
  const double count = 2 * radius + 1;
  int k = 0;
  for (; k < radius; ++k) {
    tmp[k] = blur_mean(mag, k, radius);
  }
  // Whole windows, k - radius >= 0 and k + 7 + radius <= last: eight bins
  // at a time, so that the eight sums (each a chain of dependent additions)
  // overlap.
  for (; k + 7 + radius <= last; k += 8) {
    v4d lo = {0.0, 0.0, 0.0, 0.0};
    v4d hi = {0.0, 0.0, 0.0, 0.0};
    for (int l = k - radius; l <= k + radius; ++l) {
      lo += __builtin_convertvector(load4(mag + l), v4d);
      hi += __builtin_convertvector(load4(mag + l + 4), v4d);
    }
    store4(tmp + k, __builtin_convertvector(lo / count, v4f));
    store4(tmp + k + 4, __builtin_convertvector(hi / count, v4f));
  }
  for (; k <= last; ++k) {
    tmp[k] = blur_mean(mag, k, radius);
  }
  memcpy(mag, tmp, bins * sizeof(float));
}

} // namespace
