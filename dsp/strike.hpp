// The strike detector: how much of each live frame is new, and where in
// the history the latest strike lies (a sudden rise of the input's level,
// or of new partials), so that a press near a strike holds what was struck.
#pragma once

#include <stdint.h>

#include "dsp/common.hpp"
#include "dsp/hold_state.hpp"
#include "dsp/simd.hpp"

namespace {

constexpr unsigned strike_rise = 8; // a hop this many times louder than those before

// A hop quieter than this (mean square 1e-10, -100 dBFS) is silence: a hold
// is never made of silence alone.
constexpr float sounding_energy = 2.56e-8f;

// How much of this live frame is new: its power in bins more than twice
// as strong (6 dB) as their recent peak, and its power in all, stored with
// the hop just pushed (four partial sums side by side, then added in
// pairs). A recent peak rather than the last frame: close partials beat,
// and their bins rise and fall from frame to frame while nothing is new.
inline void note_rise(Analysis &a, const HoldTables &t, const float *mag) {
  const unsigned long_hops = t.long_hops;
  const v4f fall = splat4(t.peak_fall);
  v4f up = splat4(0.0f);
  v4f all = splat4(0.0f);
  const v4f zero = splat4(0.0f);
  for (unsigned k = 0; k + 4 <= bins; k += 4) {
    const v4f m = load4(mag + k);
    const v4f sq = m * m;
    const v4f peak = load4(a.peak_mag + k);
    up = up + (m > peak * 2.0f ? sq : zero);
    all = all + sq;
    const v4f fallen = peak * fall;
    store4(a.peak_mag + k, m > fallen ? m : fallen);
  }
  const float m = mag[bins - 1];
  const float sq = m * m;
  const float peak = a.peak_mag[bins - 1];
  const unsigned slot = (a.at + long_hops - 1) & (long_hops - 1);
  a.risen[slot] = ((up[0] + up[1]) + (up[2] + up[3])) + (m > peak * 2.0f ? sq : 0.0f);
  a.power_all[slot] = ((all[0] + all[1]) + (all[2] + all[3])) + sq;
  a.peak_mag[bins - 1] = m > peak * t.peak_fall ? m : peak * t.peak_fall;
}

// The hop of the latest strike in the history of n channels (0 the
// oldest), or -1: a hop 8 times as loud as each of those of the 85 ms
// before it, or the first of frames with 30 % of their power newly risen,
// which see a strike about two hops after it came (the frame's window is
// low at its end).
inline int strike_in(Analysis *const *a, unsigned n, const HoldTables &t) {
  const unsigned long_hops = t.long_hops;
  float e[max_long_hops];
  float up[max_long_hops];
  float all[max_long_hops];
  for (unsigned h = 0; h < long_hops; ++h) { // oldest first
    const unsigned slot = (a[0]->at + h) & (long_hops - 1);
    e[h] = 0.0f;
    up[h] = 0.0f;
    all[h] = 0.0f;
    for (unsigned c = 0; c < n; ++c) {
      e[h] += a[c]->energy[slot];
      up[h] += a[c]->risen[slot];
      all[h] += a[c]->power_all[slot];
    }
  }
  int strike = -1;
  for (unsigned h = 2; h < long_hops; ++h) {
    float before = 0.0f;
    for (unsigned j = h >= t.before ? h - t.before : 0; j < h; ++j) {
      before = e[j] > before ? e[j] : before;
    }
    if (e[h] > 1e-9f && e[h] > static_cast<float>(strike_rise) * before) {
      strike = static_cast<int>(h);
    }
    const bool rising = all[h] > 1e-9f && up[h] >= 0.3f * all[h];
    const bool was = all[h - 1] > 1e-9f && up[h - 1] >= 0.3f * all[h - 1];
    if (rising && !was && static_cast<int>(h) - 2 > strike) {
      strike = static_cast<int>(h) - 2;
    }
  }
  return strike;
}

// The latest strike of a pair is the latest in either channel or in both
// together: a note struck in one channel over a sustained one in the other
// is a strike.
inline int find_strike(Analysis *const *a, unsigned n, const HoldTables &t) {
  int strike = strike_in(a, n, t);
  for (unsigned c = 0; n > 1 && c < n; ++c) {
    const int own = strike_in(a + c, 1, t);
    strike = own > strike ? own : strike;
  }
  return strike;
}

} // namespace
