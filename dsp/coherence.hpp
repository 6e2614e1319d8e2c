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

// Everything a held sound needs to go on, in plain fixed-layout data (no
// pointers, nothing wider than 32 bits), so that its bytes mean the same on
// every processor and a saved hold can be restored and checked
// (hold_valid()).
struct Hold {
  float base[bins];     // held phases advanced by their drift, less the centres' quarter turns
  float drift[bins];    // per hop, each held bin's advance beyond its centre's
  float offset[bins];   // each held bin's captured phase against its peak's
  uint16_t peak[bins];  // the peak whose partial each held bin belongs to
  uint8_t centre[bins]; // quarter turns of its peak's centre per hop (peak & 3)
  uint8_t pad[1];
  uint32_t held;        // frames since the capture, mod 4
  int32_t measured;     // the drift of this hold is known
  uint32_t shift_turns; // the shift's quarter turns since its offset was last 0, mod 4
};

// Per-frame rows of the coherent frame, rebuilt every frame.
struct CoherentScratch {
  float phase[bins];  // this frame's held phases
  uint8_t turn[bins]; // this frame's quarter turns, by source bin
};

// Whether a hold from elsewhere (a saved state) can be played: every value
// finite and every index and counter in range, so that no corrupt hold can
// give a NaN or reach outside an array.
inline bool hold_valid(const Hold &h) {
  if (h.held > 3 || (h.measured != 0 && h.measured != 1) || h.shift_turns > 3) {
    return false;
  }
  for (unsigned k = 0; k < bins; ++k) {
    if (!is_finite(h.base[k]) || !is_finite(h.drift[k]) || !is_finite(h.offset[k]) ||
        fabsf(h.base[k]) > 4.0f || fabsf(h.drift[k]) > 4.0f || fabsf(h.offset[k]) > 4.0f ||
        h.peak[k] >= bins || h.centre[k] != (h.peak[k] & 3)) {
      return false;
    }
  }
  return true;
}

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

// wrap_phase() lane by lane.
inline v4f wrap4(v4f x) {
  const v4f turn = splat4(two_pi);
  return x > splat4(pi) ? x - turn : x < splat4(-pi) ? x + turn : x;
}

// phase[k] = wrap(phase[k] + drift[k]): kept within -pi..pi, so that a hold
// of an hour rounds as finely as its first second.
inline void advance_phases(float *phase, const float *drift) {
  unsigned k = 0;
  for (; k + 4 <= bins; k += 4) {
    store4(phase + k, wrap4(load4(phase + k) + load4(drift + k)));
  }
  for (; k < bins; ++k) {
    phase[k] = wrap_phase(phase[k] + drift[k]);
  }
}

// The peak each bin belongs to: uphill from it, to the larger neighbour,
// until neither is larger. The bins of one partial (a peak and its slopes
// down to the troughs) then move as one, so their phases keep the relation
// they had when captured: measured bin by bin, they would each run at
// slightly their own rate and the partial would fade and beat as it is held.
inline void find_peaks(const float *mag, uint16_t *peak) {
  for (unsigned k = 0; k < bins; ++k) {
    const float left = k > 0 ? mag[k - 1] : mag[k];
    const float right = k + 1 < bins ? mag[k + 1] : mag[k];
    const unsigned up = right > mag[k] && right >= left ? k + 1 : left > mag[k] ? k - 1 : k;
    peak[k] = static_cast<uint16_t>(up);
  }
  // Magnitudes rise strictly along the way, so every walk ends.
  for (unsigned k = 0; k < bins; ++k) {
    unsigned p = peak[k];
    while (peak[p] != p) {
      p = peak[p];
    }
    peak[k] = static_cast<uint16_t>(p);
  }
}

// The phases and quarter turns of a held frame, into f.phase and f.turn: the
// capture's own on the capturing frame; the next frame measures every bin's
// drift from its live spectrum and ties each bin to its peak; from then on
// every frame advances the peaks by their drift, and the bins around them
// follow at the distance they were captured at.
inline void hold_phases(Hold &c, CoherentScratch &f, bool capture, const float *re, const float *im,
                        const float *captured, const float *captured_mag) {
  if (capture) {
    memcpy(c.base, captured, sizeof c.base);
    memcpy(f.phase, captured, sizeof f.phase);
    for (unsigned k = 0; k < bins; ++k) {
      c.peak[k] = static_cast<uint16_t>(k);
      c.centre[k] = static_cast<uint8_t>(k & 3);
    }
    c.held = 0;
    c.measured = 0;
    return;
  }
  if (!c.measured) {
    measure_drift(re, im, captured, c.drift);
    find_peaks(captured_mag, c.peak);
    for (unsigned k = 0; k < bins; ++k) {
      c.offset[k] = wrap_phase(captured[k] - captured[c.peak[k]]);
      c.centre[k] = static_cast<uint8_t>(c.peak[k] & 3);
    }
    c.measured = 1;
  }
  advance_phases(c.base, c.drift);
  const uint16_t *peak = c.peak;
  unsigned k = 0;
  for (; k + 4 <= bins; k += 4) {
    const v4f x =
        v4f{c.base[peak[k]], c.base[peak[k + 1]], c.base[peak[k + 2]], c.base[peak[k + 3]]} +
        load4(c.offset + k);
    store4(f.phase + k, wrap4(x));
  }
  for (; k < bins; ++k) {
    f.phase[k] = wrap_phase(c.base[peak[k]] + c.offset[k]);
  }
  c.held = (c.held + 1) & 3;
}

// Quarter turns of every source bin into f.turn: the shift's, accumulated
// while its offset is not 0, and while held each peak's centre's k quarter
// turns per frame since the capture. Returns whether any bin turns.
inline bool turn_bins(Hold &c, CoherentScratch &f, int offset, bool frozen) {
  c.shift_turns = offset == 0 ? 0 : (c.shift_turns + static_cast<uint32_t>(offset)) & 3;
  if (!frozen) { // one turn for every bin; none at all, the common case, costs nothing
    if (c.shift_turns == 0) {
      return false;
    }
    memset(f.turn, static_cast<int>(c.shift_turns), sizeof f.turn);
    return true;
  }
  const auto held = static_cast<uint8_t>(c.held);
  const auto shift = static_cast<uint8_t>(c.shift_turns);
  for (unsigned k = 0; k < bins; ++k) {
    f.turn[k] = static_cast<uint8_t>((c.centre[k] * held + shift) & 3);
  }
  return true;
}

// (cs, sn) of every source bin k turned by turn[k] quarter turns: 1 gives
// (-sn, cs), 2 (-cs, -sn), 3 (sn, -cs). Negation flips the sign bit only,
// so the turn is exact.
inline void turn_rows(float *cs, float *sn, const uint8_t *turn) {
  unsigned k = 0;
  for (; k + 4 <= bins; k += 4) {
    const v4i r = {turn[k], turn[k + 1], turn[k + 2], turn[k + 3]};
    const v4i swap = -(r & 1);
    const v4i neg_c = ((r + 1) & 2) << 30;
    const v4i neg_s = (r & 2) << 30;
    const v4i c = reinterpret_cast<v4i>(load4(cs + k));
    const v4i s = reinterpret_cast<v4i>(load4(sn + k));
    store4(cs + k, reinterpret_cast<v4f>(((swap & s) | (~swap & c)) ^ neg_c));
    store4(sn + k, reinterpret_cast<v4f>(((swap & c) | (~swap & s)) ^ neg_s));
  }
  for (; k < bins; ++k) {
    const unsigned r = turn[k];
    const float c = cs[k];
    const float s = sn[k];
    cs[k] = r == 0 ? c : r == 1 ? -s : r == 2 ? -c : s;
    sn[k] = r == 0 ? s : r == 1 ? c : r == 2 ? -s : -c;
  }
}

} // namespace
