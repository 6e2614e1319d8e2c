// One hop of processing: analyse the latest block, reshape its spectrum,
// resynthesise it and overlap-add it into the output ring.
#pragma once

#include <math.h>
#include <string.h>

#include "dsp/blur.hpp"
#include "dsp/fft.hpp"
#include "dsp/freeze.hpp"
#include "dsp/shift_gate.hpp"
#include "plugin/instance.hpp"

namespace {

// Four Hann-squared windows a hop apart sum to 1.5; this gain (the float
// nearest 2/3) makes the neutral path an exact-as-rounding delay.
constexpr float overlap_gain = 0.6666667f;

void frame(Instance *self) {
  Complex *spec = self->spec;

  // Analysis, oldest sample first: pos is the oldest position in the ring.
  for (unsigned i = 0; i < block_size; ++i) {
    spec[i] = {self->in_ring[(self->pos + i) & ring_mask] * self->window[i], 0.0f};
  }
  fft(spec, 0);

  update_freeze(self);

  if (self->frozen) {
    memcpy(self->mag, self->frozen_mag, sizeof self->mag);
  } else {
    for (unsigned k = 0; k < bins; ++k) {
      self->mag[k] = sqrtf(spec[k].re * spec[k].re + spec[k].im * spec[k].im);
    }
  }

  blur_magnitudes(self->mag, self->blur_tmp, self->blur);

  const int offset = bin_offset(self->shift);
  const float gate = gate_level(self->mag, self->threshold);

  // Each source bin carries its own phase to its target bin: the phase is not
  // corrected for the new frequency, which is part of the shift's sound.
  Complex acc[bins] = {};
  for (int k = 0; k < static_cast<int>(bins); ++k) {
    float m = self->mag[k];
    if (m < gate) {
      m = 0.0f;
    }
    const int target = k + offset;
    if (target < 0 || target >= static_cast<int>(bins)) {
      continue;
    }
    const float phase = self->frozen ? self->frozen_phase[k] : atan2f(spec[k].im, spec[k].re);
    float sn;
    float cs;
    sincosf(phase, &sn, &cs);
    acc[target].re += m * cs;
    acc[target].im += m * sn;
  }

  memcpy(spec, acc, sizeof acc);
  // Bins 0 and 512 keep any imaginary part they gained; only the real part of
  // the inverse reaches the output.
  for (unsigned k = 1; k < bins - 1; ++k) {
    spec[block_size - k] = {spec[k].re, -spec[k].im};
  }
  fft(spec, 1);

  for (unsigned i = 0; i < block_size; ++i) {
    self->out_ring[(self->pos + i) & ring_mask] += (spec[i].re * self->window[i]) * overlap_gain;
  }
}

} // namespace
