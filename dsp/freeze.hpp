// Freeze: capture one frame's spectrum when the switch goes on, replay it
// for as long as the switch stays on.
#pragma once

#include <math.h>
#include <stdint.h>

#include "dsp/common.hpp"

namespace {

struct FreezeDecision {
  bool capture;   // this frame's spectrum is the one to hold
  int32_t frozen; // 1 while the captured spectrum is replayed
};

// From the switch's value b this frame (0 where absent, so NaN unfreezes and
// re-arms the capture) and the value the previous frame saw: captures on the
// frame where the switch is first seen on, the first frame of an instance
// included, and leaves the frozen state as soon as it is off.
inline FreezeDecision decide_freeze(float b, float prev_freeze, int32_t frozen) {
  if (!(b >= 0.5f)) {
    return {false, 0};
  }
  if (prev_freeze < 0.5f) {
    return {true, 1};
  }
  return {false, frozen};
}

// Magnitudes and phases of the live bins 0..512 in re/im.
inline void capture_spectrum(const float *re, const float *im, float *mag, float *phase) {
  for (unsigned k = 0; k < bins; ++k) {
    mag[k] = sqrtf(re[k] * re[k] + im[k] * im[k]);
    phase[k] = atan2f(im[k], re[k]);
  }
}

} // namespace
