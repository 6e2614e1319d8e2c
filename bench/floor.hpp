// The floor of a live frame: the math calls it cannot avoid, one atan2f, one
// sincosf and one sqrtf per bin, on the values of a real spectrum, in bin
// order. Shared by the benchmarks so that they all time the same thing.
#pragma once

#include <math.h>

#include "dsp/common.hpp"
#include "tests/reference.hpp"

namespace {

// What the floor's calls take: the bins' parts and squared magnitudes.
inline void floor_operands(const ref::Cpx *spec, float *re, float *im, float *power) {
  for (unsigned k = 0; k < bins; ++k) {
    re[k] = spec[k].re;
    im[k] = spec[k].im;
    power[k] = re[k] * re[k] + im[k] * im[k];
  }
}

// The calls in separate loops, each of independent calls, as the frame
// makes them: measurably faster than one loop of atan2f-then-sincosf.
__attribute__((noinline)) void floor_calls(const float *re, const float *im, const float *power,
                                           float *phase, float (*out)[bins]) {
  for (unsigned k = 0; k < bins; ++k) {
    phase[k] = atan2f(im[k], re[k]);
  }
  for (unsigned k = 0; k < bins; ++k) {
    sincosf(phase[k], &out[0][k], &out[1][k]);
  }
  for (unsigned k = 0; k < bins; ++k) {
    out[2][k] = sqrtf(power[k]);
  }
}

} // namespace
