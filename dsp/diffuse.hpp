// The coherent plugins' blur: the blurred magnitudes at phases of their own.
//
// Each blurred bin takes the direction of its channel's own neighbourhood
// (the sum of the bins within the blur's radius, every other one negated,
// which is how a Hann-windowed partial's bins alternate), turned by an angle
// of the frame's sweep (below), which depends on the spectrum's shape and
// the frame's number alone. Two channels, in one plugin or in two, then
// differ only by what differs between their inputs, and the blurred part
// keeps the phase (the time) between them. Each frame's sweep is slid and
// turned at random, so the frames add up as noise with no line at any bin's
// centre, and there is nothing to start from: a fresh or restored instance,
// or a blur turned on at any moment, is already in its steady state.
#pragma once

#include <math.h>
#include <stdint.h>

#include "dsp/common.hpp"

namespace {

// The blur's radius in bins for an amount v in (1e-4, 1]: 1 (a three-bin
// mean) to 16 (33 bins).
inline int blur_radius_of(float v) { return static_cast<int>(15.0f * v) + 1; }

// How much of each bin the blur replaces, out of the frame's power and its
// blurred magnitudes' power: twice the amount, up to all, where the frame's
// energy stands in peaks, less where it is spread already (noise, whose
// blurred magnitudes keep about pi/4 of its power, against a tenth for a
// lone partial under the widest blur), and nothing when it is all spread:
// noise blurred is the same noise, and its own phases keep its peaks where
// they were. Over three bins (radius 1) a partial and noise look alike, and
// the share is the whole of it.
inline float blur_share(float amount, double power, double blurred) {
  const float most = amount * 2.0f < 1.0f ? amount * 2.0f : 1.0f;
  if (blur_radius_of(amount) == 1) {
    return most;
  }
  const float ratio = power > 0.0 ? static_cast<float>(blurred / power) : 0.0f;
  const float peaked = (0.75f - ratio) * 5.0f; // 1 at 0.55 and below, 0 at 0.75
  return most * (peaked < 0.0f ? 0.0f : peaked > 1.0f ? 1.0f : peaked);
}

// The blurred bins' angles in one frame sweep through the band: bin k's
// phase falls by the share of the blurred power below it, so that each
// part of the spectrum has its own stretch of the frame, as long as its
// share of the power (a sweep's level stays even, where bins of unrelated
// phases would add up to a noise with peaks four times its level). Each
// frame slides the sweep round the frame by a random number of samples and
// turns it by a random angle, drawn from the frame's number alone.
inline void start_sweep(uint32_t clock, uint32_t *phase, uint32_t *slide) {
  uint32_t h = clock * 0x9e3779b1u;
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 12;
  h *= 0x297a2d39u;
  h ^= h >> 15;
  *phase = h;
  *slide = (h & 1023u) << 22; // k samples of slide turn bin k by k / 1024
}

// The next bin's phase (2^32 a turn), with `below` of `total` blurred power
// at or below this bin.
inline uint32_t sweep_step(uint32_t phase, uint32_t slide, double below, double total) {
  const double fall = total > 0.0 ? below / total * 4294967296.0 : 0.0;
  return phase + slide - static_cast<uint32_t>(static_cast<int64_t>(fall));
}

// The unit direction of each bin's neighbourhood within `radius`: the sum of
// (-1)^l (re[l], im[l]) over l = k - radius .. k + radius within 0..512, a
// running sum in double (bin k + radius added, then bin k - radius - 1
// taken away), scaled to length 1 in double and rounded to float; (1, 0)
// where the sum is 0.
inline void neighbourhood(const float *re, const float *im, int radius, float *dir_re,
                          float *dir_im) {
  const int last = static_cast<int>(bins) - 1;
  double s_re = 0.0;
  double s_im = 0.0;
  for (int l = 0; l < radius && l <= last; ++l) {
    s_re += (l & 1) ? -static_cast<double>(re[l]) : static_cast<double>(re[l]);
    s_im += (l & 1) ? -static_cast<double>(im[l]) : static_cast<double>(im[l]);
  }
  for (int k = 0; k <= last; ++k) {
    const int in = k + radius;
    if (in <= last) {
      s_re += (in & 1) ? -static_cast<double>(re[in]) : static_cast<double>(re[in]);
      s_im += (in & 1) ? -static_cast<double>(im[in]) : static_cast<double>(im[in]);
    }
    const int out = k - radius - 1;
    if (out >= 0) {
      s_re -= (out & 1) ? -static_cast<double>(re[out]) : static_cast<double>(re[out]);
      s_im -= (out & 1) ? -static_cast<double>(im[out]) : static_cast<double>(im[out]);
    }
    const double n = s_re * s_re + s_im * s_im;
    if (n > 0.0) {
      const double inv = 1.0 / sqrt(n);
      dir_re[k] = static_cast<float>(s_re * inv);
      dir_im[k] = static_cast<float>(s_im * inv);
    } else {
      dir_re[k] = 1.0f;
      dir_im[k] = 0.0f;
    }
  }
}

} // namespace
