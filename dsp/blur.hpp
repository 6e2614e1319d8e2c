// Magnitude blur: each bin becomes the mean of its neighbours within a radius.
#pragma once

#include <string.h>

#include "plugin/instance.hpp"

namespace {

// Smooths mag[0..512] in place through tmp. Off (mag untouched) when the
// control is absent, negative or at most 1e-4; otherwise the radius runs from
// 1 (a three-bin mean) to 16 (33 bins) at 1 and above. Bins past either edge
// are left out of the mean rather than mirrored or zero-padded.
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
  for (int k = 0; k < static_cast<int>(bins); ++k) {
    double sum = 0.0;
    int count = 0;
    for (int l = k - radius; l <= k + radius; ++l) {
      if (l >= 0 && l < static_cast<int>(bins)) {
        sum += static_cast<double>(mag[l]);
        ++count;
      }
    }
    tmp[k] = static_cast<float>(sum / count);
  }
  memcpy(mag, tmp, bins * sizeof(float));
}

} // namespace
