// Magnitude blur: each bin becomes the mean of its neighbours within a radius.
#pragma once

#include <string.h>

#include "dsp/common.hpp"
#include "dsp/simd.hpp"

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

// The blur of radius 1 to 16 (below). Each window is summed afresh, in
// order: a running sum would round differently. Away from the edges sixteen
// neighbouring bins are summed side by side, one per lane, each lane adding
// the same terms in the same order, from a copy of the magnitudes in double
// (converting is exact).
QUORVANE_WIDE void blur_radius(float *mag, float *tmp, int radius) {
  const int last = static_cast<int>(bins) - 1;
  const double count = 2 * radius + 1;
  double wide[bins];
  unsigned j = 0;
  for (; j + 4 <= bins; j += 4) {
    store4d(wide + j, __builtin_convertvector(load4(mag + j), v4d));
  }
  for (; j < bins; ++j) {
    wide[j] = mag[j];
  }
  int k = 0;
  for (; k < radius; ++k) {
    tmp[k] = blur_mean(mag, k, radius);
  }
#if defined(QUORVANE_SCALAR)
  // Without a vector unit, four sums side by side, one load and one addition
  // a term: sixteen would not fit in VFP's sixteen double registers.
  for (; k + 3 + radius <= last; k += 4) {
    double a = 0.0;
    double b = 0.0;
    double c = 0.0;
    double d = 0.0;
    for (int l = k - radius; l <= k + radius; ++l) {
      a += wide[l];
      b += wide[l + 1];
      c += wide[l + 2];
      d += wide[l + 3];
    }
    tmp[k] = static_cast<float>(a / count);
    tmp[k + 1] = static_cast<float>(b / count);
    tmp[k + 2] = static_cast<float>(c / count);
    tmp[k + 3] = static_cast<float>(d / count);
  }
#endif
  // Whole windows, k - radius >= 0 and k + 15 + radius <= last, so that
  // sixteen sums (each a chain of dependent additions) overlap.
  for (; k + 15 + radius <= last; k += 16) {
    v4d a = {0.0, 0.0, 0.0, 0.0};
    v4d b = a;
    v4d c = a;
    v4d d = a;
    for (int l = k - radius; l <= k + radius; ++l) {
      a += load4d(wide + l);
      b += load4d(wide + l + 4);
      c += load4d(wide + l + 8);
      d += load4d(wide + l + 12);
    }
    store4(tmp + k, __builtin_convertvector(a / count, v4f));
    store4(tmp + k + 4, __builtin_convertvector(b / count, v4f));
    store4(tmp + k + 8, __builtin_convertvector(c / count, v4f));
    store4(tmp + k + 12, __builtin_convertvector(d / count, v4f));
  }
  for (; k + 3 + radius <= last; k += 4) {
    v4d a = {0.0, 0.0, 0.0, 0.0};
    for (int l = k - radius; l <= k + radius; ++l) {
      a += load4d(wide + l);
    }
    store4(tmp + k, __builtin_convertvector(a / count, v4f));
  }
  for (; k <= last; ++k) {
    tmp[k] = blur_mean(mag, k, radius);
  }
  memcpy(mag, tmp, bins * sizeof(float));
}

// Smooths mag[0..512] in place through tmp by the blur amount v (0 where the
// control is absent). Off (mag untouched) for v negative or at most 1e-4;
// otherwise the radius runs from 1 (a three-bin mean) to 16 (33 bins) at 1
// and above. Bins past either edge are left out of the mean rather than
// mirrored or zero-padded.
inline void blur_magnitudes(float *mag, float *tmp, float v) {
  if (v < 0.0f) {
    return;
  }
  v = v < 1.0f ? v : 1.0f;
  if (!(v > 1e-4f)) {
    return;
  }
  blur_radius(mag, tmp, static_cast<int>(15.0f * v) + 1);
}

} // namespace
