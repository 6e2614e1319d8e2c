// Coherence: what the coherent plugins add to the frame, so that a held
// sound keeps the pitch of what was playing and a shifted one keeps its level.
//
// Two phase corrections, both exact where they can be. A bin centre advances
// by k quarter turns per hop (1024-point frames, 256-sample hops), and a move
// by d bins needs d more per hop: both are whole quarter turns, applied by
// swapping and negating, with no rounding and no math-library call. What is
// left, each held bin's drift from its centre, is measured once per hold.
#pragma once

#include <math.h>
#include <stdint.h>
#include <string.h>

#include "dsp/common.hpp"
#include "dsp/simd.hpp"

namespace {

struct Coherence {
  float phase[bins]; // held phases, less the centres' quarter turns
  float drift[bins]; // per hop, each held bin's advance beyond its centre's
  uint32_t held;     // frames since the capture, mod 4
  int32_t measured;  // the drift of this hold is known
  uint32_t turns;    // the shift's quarter turns since its offset was last 0, mod 4
};

constexpr float pi = 3.1415927f;
constexpr float two_pi = 6.2831855f;
constexpr float quarter_turns[4] = {0.0f, 1.5707964f, 3.1415927f, 4.712389f};

// x brought into -pi..pi, for x within -3 pi..3 pi (a NaN stays).
inline float wrap_phase(float x) { return x > pi ? x - two_pi : x < -pi ? x + two_pi : x; }

// Each bin's advance over the hop after the capture, beyond its centre's:
// the live phase against the captured one, the centre's k quarter turns
// taken off, wrapped. A bin whose phase is not a number keeps its centre.
inline void measure_drift(const float *re, const float *im, const float *captured, float *drift) {
  for (unsigned k = 0; k < bins; ++k) {
    const float moved = wrap_phase(atan2f(im[k], re[k]) - captured[k]);
    const float d = wrap_phase(moved - quarter_turns[k & 3]);
    drift[k] = is_finite(d) ? d : 0.0f;
  }
}

// phase[k] = wrap(phase[k] + drift[k]): kept within -pi..pi, so that a hold
// of an hour rounds as finely as its first second.
inline void advance_phases(float *phase, const float *drift) {
  const v4f hi = splat4(pi);
  const v4f lo = splat4(-pi);
  const v4f turn = splat4(two_pi);
  unsigned k = 0;
  for (; k + 4 <= bins; k += 4) {
    const v4f x = load4(phase + k) + load4(drift + k);
    store4(phase + k, x > hi ? x - turn : x < lo ? x + turn : x);
  }
  for (; k < bins; ++k) {
    phase[k] = wrap_phase(phase[k] + drift[k]);
  }
}

// The phases of a held frame: the capture's own on the capturing frame; the
// next frame measures every bin's drift from its live spectrum; from then on
// each frame advances the phases by their drift.
inline const float *hold_phases(Coherence &c, bool capture, const float *re, const float *im,
                                const float *captured) {
  if (capture) {
    memcpy(c.phase, captured, sizeof c.phase);
    c.held = 0;
    c.measured = 0;
    return c.phase;
  }
  if (!c.measured) {
    measure_drift(re, im, captured, c.drift);
    c.measured = 1;
  }
  advance_phases(c.phase, c.drift);
  c.held = (c.held + 1) & 3;
  return c.phase;
}

// Quarter turns for source bin k, by k & 3, two bits each (bits 2j..2j+1 for
// k & 3 == j): the shift's turns, accumulated while its offset is not 0, and
// while held each centre's k quarter turns per frame since the capture.
inline uint32_t turn_pattern(Coherence &c, int offset, bool frozen) {
  c.turns = offset == 0 ? 0 : (c.turns + static_cast<uint32_t>(offset)) & 3;
  uint32_t pattern = 0;
  for (uint32_t j = 0; j < 4; ++j) {
    const uint32_t centre = frozen ? j * c.held : 0;
    pattern |= ((centre + c.turns) & 3) << (2 * j);
  }
  return pattern;
}

// (cs, sn) of every source bin turned by its quarter turns: r = 1 gives
// (-sn, cs), r = 2 (-cs, -sn), r = 3 (sn, -cs). Negation flips the sign bit
// only, so the turn is exact.
inline void turn_rows(float *cs, float *sn, uint32_t pattern) {
  v4i swap;
  v4i neg_c;
  v4i neg_s;
  for (unsigned j = 0; j < 4; ++j) {
    const uint32_t r = (pattern >> (2 * j)) & 3;
    swap[j] = (r & 1) ? -1 : 0;
    neg_c[j] = (r == 1 || r == 2) ? INT32_MIN : 0;
    neg_s[j] = (r >= 2) ? INT32_MIN : 0;
  }
  unsigned k = 0;
  for (; k + 4 <= bins; k += 4) {
    const v4i c = reinterpret_cast<v4i>(load4(cs + k));
    const v4i s = reinterpret_cast<v4i>(load4(sn + k));
    const v4i x = (swap & s) | (~swap & c);
    const v4i y = (swap & c) | (~swap & s);
    store4(cs + k, reinterpret_cast<v4f>(x ^ neg_c));
    store4(sn + k, reinterpret_cast<v4f>(y ^ neg_s));
  }
  for (; k < bins; ++k) {
    const uint32_t r = (pattern >> (2 * (k & 3))) & 3;
    const float c = cs[k];
    const float s = sn[k];
    cs[k] = r == 0 ? c : r == 1 ? -s : r == 2 ? -c : s;
    sn[k] = r == 0 ? s : r == 1 ? c : r == 2 ? -s : -c;
  }
}

} // namespace
