// The coherent blur's random phases: each bin advancing at its centre
// frequency with a small random walk, and their sines and cosines.
#pragma once

#include <stdint.h>

#include "dsp/common.hpp"
#include "dsp/hold_state.hpp"
#include "dsp/simd.hpp"

namespace {

// e^(2 pi i phase / 2^32) to 8 bits of the turn, four phases at a time.
QUORVANE_INLINE void coarse_unit4(const HoldTables &t, const uint32_t *phase, v4f *re, v4f *im) {
  for (unsigned l = 0; l < 4; ++l) {
    const unsigned n = ((phase[l] + 0x800000u) >> 24) & 255;
    (*re)[l] = t.coarse_re[n];
    (*im)[l] = t.coarse_im[n];
  }
}

// The blur's phases: each bin advances by its centre's k quarter turns per
// hop and a random step of up to an eighth of a turn either way.
inline void advance_diffuse(Hold &h) {
  uint32_t r = h.noise == 0 ? 0x9e3779b9u : h.noise;
  for (unsigned k = 0; k < bins; ++k) {
    r ^= r << 13;
    r ^= r >> 17;
    r ^= r << 5;
    const uint32_t jitter = static_cast<uint32_t>(static_cast<int32_t>(r) >> 2);
    h.diffuse[k] += (static_cast<uint32_t>(k) << 30) + jitter;
  }
  h.noise = r;
}

} // namespace
