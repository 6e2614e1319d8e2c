// Bin shift and threshold gate: the offset and the level that the
// accumulation (dsp/accumulate.hpp) applies.
#pragma once

#include <math.h>

#include "dsp/common.hpp"
#include "dsp/simd.hpp"

namespace {

// Whole-bin offset, -128 to +128, from the shift control v (0 where absent),
// rounded with ties to even by lrintf.
inline int bin_offset(float v) {
  const float g = v < -1.0f ? -128.0f : 128.0f * (v < 1.0f ? v : 1.0f);
  return static_cast<int>(lrintf(g));
}

// Gate level: the threshold fraction of the frame's strongest magnitude,
// taken after the blur and before the shift, so that a bin the shift drops
// still sets the level. The peak never drops below 1e-20, so silence stays
// silent at any threshold. The threshold is 0 where the control is absent.
inline float gate_level(const float *mag, float threshold) {
  const float fraction = threshold < 0.0f ? 0.0f : threshold < 1.0f ? threshold : 1.0f;
  if (fraction == 0.0f) {
    // No magnitude is below 0 (they are >= +0 or NaN), so the gate keeps
    // every bin whatever the peak: the search for it would be wasted.
    return 0.0f;
  }
  // The largest magnitude that is not NaN, or 1e-20 if none is larger: the
  // same value whatever the order of the comparisons, so four lanes each
  // keep their own peak and the four are compared at the end.
  v4f lanes = splat4(1e-20f);
  unsigned k = 0;
  for (; k + 4 <= bins; k += 4) {
    const v4f m = load4(mag + k);
    lanes = m > lanes ? m : lanes;
  }
  float peak = 1e-20f;
  for (unsigned lane = 0; lane < 4; ++lane) {
    if (lanes[lane] > peak) {
      peak = lanes[lane];
    }
  }
  for (; k < bins; ++k) {
    if (mag[k] > peak) {
      peak = mag[k];
    }
  }
  return peak * fraction;
}

} // namespace
