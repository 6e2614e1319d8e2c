// Coherence: the coherent plugins' shift keeps a moved partial's level.
//
// A bin centre advances by k quarter turns per hop (1024-point frames,
// 256-sample hops), and a move by d bins needs d more per hop: whole quarter
// turns, applied by swapping and negating, with no rounding and no
// math-library call. (The hold is dsp/hold.hpp.)
#pragma once

#include <math.h>
#include <stdint.h>
#include <string.h>

#include "dsp/common.hpp"
#include "dsp/simd.hpp"

namespace {

// Per-frame rows of the coherent frame, rebuilt every frame.
struct CoherentScratch {
  uint8_t turn[bins]; // this frame's quarter turns, by source bin
  uint8_t pad[3];
  float rows[8][520]; // the hold's rendering (RenderRows, dsp/hold.hpp)
};

// The shift's quarter turns, accumulated while its offset is not 0: d per
// hop for a move by d bins. Reset when the offset returns to 0.
inline uint32_t shift_turns_after(uint32_t turns, int offset) {
  return offset == 0 ? 0 : (turns + static_cast<uint32_t>(offset)) & 3;
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
