// The coherent plugins' blur: the blurred magnitudes at phases of their own.
//
// Each blurred bin takes the direction of its channel's own neighbourhood
// (the sum of the bins within the blur's radius, every other one negated,
// which is how a Hann-windowed partial's bins alternate), turned by a random
// angle drawn afresh every frame. The angle depends on the bin and the
// frame's number alone, so every instance draws the same one: two channels,
// in one plugin or in two, differ only by what differs between their inputs,
// and the blurred part keeps the phase (the time) between them. Drawn
// afresh, the frames add up as noise with no line at any bin's centre, and
// there is nothing to start from: a fresh or restored instance, or a blur
// turned on at any moment, is already in its steady state.
#pragma once

#include <math.h>
#include <stdint.h>

#include "dsp/common.hpp"

namespace {

// The blur's radius in bins for an amount v in (1e-4, 1]: 1 (a three-bin
// mean) to 16 (33 bins).
inline int blur_radius_of(float v) { return static_cast<int>(15.0f * v) + 1; }

// The random angle of bin k in frame `clock`, in 256ths of a turn.
inline unsigned diffuse_angle(uint32_t clock, unsigned k) {
  uint32_t h = clock * 0x9e3779b1u ^ static_cast<uint32_t>(k) * 0x85ebca77u;
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 12;
  h *= 0x297a2d39u;
  h ^= h >> 15;
  return h >> 24;
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
