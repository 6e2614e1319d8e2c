// The straightforward transcription of the frame processing, kept apart from
// the optimised code in dsp/ as the yardstick for its speed and its exactness:
// every optimisation must give the same bits as this. Operates on the same
// Instance record but touches only its specified fields.
#pragma once

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "plugin/instance.hpp"

namespace plain {

// Forward (inverse == 0): X[k] = sum x[n] e^(-2 pi i k n / 1024), unscaled.
// Inverse (inverse == 1): x[n] = 1/1024 sum X[k] e^(+2 pi i k n / 1024).
// Each stage derives its twiddles by rotating from (1, 0) with one sincosf, so
// the rounding of every intermediate is fixed by this code, not by a table.
void fft(Complex *data, int inverse) {
  // Bit reversal: j walks the indices in reversed bit order alongside i.
  unsigned j = 0;
  for (unsigned i = 1; i < fft_size; ++i) {
    unsigned bit = fft_size / 2;
    while (j & bit) {
      j &= ~bit;
      bit >>= 1;
    }
    j |= bit;
    if (j > i) {
      const Complex held = data[i];
      data[i] = data[j];
      data[j] = held;
    }
  }

  const float sign = inverse ? 2.0f : -2.0f;
  for (unsigned len = 2; len <= fft_size; len <<= 1) {
    const float theta = (sign * 3.1415927f) / static_cast<float>(len);
    float sn;
    float cs;
    sincosf(theta, &sn, &cs);
    const unsigned half = len / 2;
    for (unsigned start = 0; start < fft_size; start += len) {
      float w_re = 1.0f;
      float w_im = 0.0f;
      for (unsigned k = 0; k < half; ++k) {
        const Complex u = data[start + k];
        const Complex v = data[start + k + half];
        const float t_re = v.re * w_re - v.im * w_im;
        const float t_im = v.re * w_im + v.im * w_re;
        data[start + k] = {u.re + t_re, u.im + t_im};
        data[start + k + half] = {u.re - t_re, u.im - t_im};
        const float next_re = cs * w_re - sn * w_im;
        const float next_im = sn * w_re + cs * w_im;
        w_re = next_re;
        w_im = next_im;
      }
    }
  }

  if (inverse) {
    for (unsigned i = 0; i < fft_size; ++i) {
      data[i].re *= 0.0009765625f;
      data[i].im *= 0.0009765625f;
    }
  }
}

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

// Runs right after the forward transform of the live block in `spec`.
// Captures on the frame where the switch is first seen on (the first frame
// of an instance included) and leaves the frozen state as soon as it is off.
// An absent switch reads as 0, so NaN unfreezes and re-arms the capture.
void update_freeze(Instance *self) {
  float b = 0.0f;
  read_control(self->freeze, &b);
  if (b >= 0.5f) {
    if (self->prev_freeze < 0.5f) {
      for (unsigned k = 0; k < bins; ++k) {
        const Complex bin = self->spec[k];
        self->frozen_mag[k] = sqrtf(bin.re * bin.re + bin.im * bin.im);
        self->frozen_phase[k] = atan2f(bin.im, bin.re);
      }
      self->frozen = 1;
    }
  } else {
    self->frozen = 0;
  }
  self->prev_freeze = b;
}

// Whole-bin offset, -128 to +128, rounded with ties to even by lrintf.
int bin_offset(const float *control) {
  float v = 0.0f;
  if (!read_control(control, &v)) {
    return 0;
  }
  const float g = v < -1.0f ? -128.0f : 128.0f * (v < 1.0f ? v : 1.0f);
  return static_cast<int>(lrintf(g));
}

// Gate level: the threshold fraction of the frame's strongest magnitude,
// taken after the blur and before the shift, so that a bin the shift drops
// still sets the level. The peak never drops below 1e-20, so silence stays
// silent at any threshold.
float gate_level(const float *mag, const float *control) {
  float fraction = 0.0f;
  if (read_control(control, &fraction)) {
    fraction = fraction < 0.0f ? 0.0f : fraction < 1.0f ? fraction : 1.0f;
  }
  float peak = 1e-20f;
  for (unsigned k = 0; k < bins; ++k) {
    if (mag[k] > peak) {
      peak = mag[k];
    }
  }
  return peak * fraction;
}

// Four Hann-squared windows a hop apart sum to 1.5; this gain (the float
// nearest 2/3) makes the neutral path an exact-as-rounding delay.
constexpr float overlap_gain = 0.6666667f;

void frame(Instance *self) {
  Complex *spec = self->spec;

  // Analysis, oldest sample first: pos is the oldest position in the ring.
  for (unsigned i = 0; i < block_size; ++i) {
    spec[i] = {self->in_ring[(self->pos + i) & ring_mask] * self->window[i], 0.0f};
  }
  plain::fft(spec, 0);

  plain::update_freeze(self);

  if (self->frozen) {
    memcpy(self->mag, self->frozen_mag, sizeof self->mag);
  } else {
    for (unsigned k = 0; k < bins; ++k) {
      self->mag[k] = sqrtf(spec[k].re * spec[k].re + spec[k].im * spec[k].im);
    }
  }

  plain::blur_magnitudes(self->mag, self->blur_tmp, self->blur);

  const int offset = plain::bin_offset(self->shift);
  const float gate = plain::gate_level(self->mag, self->threshold);

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
  plain::fft(spec, 1);

  for (unsigned i = 0; i < block_size; ++i) {
    self->out_ring[(self->pos + i) & ring_mask] += (spec[i].re * self->window[i]) * overlap_gain;
  }
}

// `in` and `out` may be the same buffer: each index is read before it is
// written, and no other index is touched meanwhile.
void run(Instance *self, uint32_t sample_count) {
  // Mix is read once per call; an absent one means fully wet.
  float a = 1.0f;
  if (read_control(self->mix, &a)) {
    a = a < 0.0f ? 0.0f : a > 1.0f ? 1.0f : a;
  }
  const float dry_gain = 1.0f - a;

  for (uint32_t i = 0; i < sample_count; ++i) {
    float x = self->in ? self->in[i] : 0.0f;
    if (!is_finite(x)) { // NaN and infinities become silence
      x = 0.0f;
    }
    // Enormous but finite input can overflow the transforms; whatever they
    // made of it, the host gets no NaN or infinity from finite input.
    float wet = self->out_ring[self->pos];
    if (!is_finite(wet)) {
      wet = 0.0f;
    }
    self->out_ring[self->pos] = 0.0f;
    self->in_ring[self->pos] = x;
    if (self->out) {
      self->out[i] = dry_gain * x + wet * a;
    }
    self->pos = (self->pos + 1) & ring_mask;
    if (++self->hop == hop_size) {
      self->hop = 0;
      plain::frame(self);
    }
  }
}

// A fresh record with its window, as the plugin makes one.
Instance *make() {
  auto *self = static_cast<Instance *>(calloc(1, sizeof(Instance)));
  for (unsigned i = 1; self && i < block_size; ++i) {
    const float x = static_cast<float>(i) * 6.2831855f * 0.0009765625f;
    self->window[i] = 0.5f - cosf(x) * 0.5f;
  }
  return self;
}

} // namespace plain
