// Freeze: capture one frame's spectrum when the switch goes on, replay it
// for as long as the switch stays on.
#pragma once

#include <math.h>

#include "plugin/instance.hpp"

namespace {

// Runs right after the forward transform of the live block, whose bins
// 0..512 are in re/im. Captures on the frame where the switch is first seen
// on (the first frame of an instance included) and leaves the frozen state
// as soon as it is off. An absent switch reads as 0, so NaN unfreezes and
// re-arms the capture.
void update_freeze(Instance *self, const float *re, const float *im) {
  float b = 0.0f;
  read_control(self->freeze, &b);
  if (b >= 0.5f) {
    if (self->prev_freeze < 0.5f) {
      for (unsigned k = 0; k < bins; ++k) {
        self->frozen_mag[k] = sqrtf(re[k] * re[k] + im[k] * im[k]);
        self->frozen_phase[k] = atan2f(im[k], re[k]);
      }
      self->frozen = 1;
    }
  } else {
    self->frozen = 0;
  }
  self->prev_freeze = b;
}

} // namespace
