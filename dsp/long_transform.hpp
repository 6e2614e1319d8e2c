// The long transform of the coherent plugins' analysis: 4096 to 32768
// points by decimation in frequency, spread over hops a few stages at a
// time.
#pragma once

#include <stdint.h>

#include "dsp/common.hpp"
#include "dsp/hold_state.hpp"
#include "dsp/simd.hpp"

namespace {

// The stages of each hop of the transform of n points: about 16384
// butterflies a hop (the last stages, which go one at a time, fewer).
inline unsigned stage_end(unsigned n, unsigned slice) {
  static const uint8_t plan_4096[2] = {6, 12};
  static const uint8_t plan_8192[4] = {4, 8, 11, 13};
  static const uint8_t plan_16384[7] = {2, 4, 6, 8, 10, 12, 14};
  return n == 4096    ? plan_4096[slice]
         : n == 8192  ? plan_8192[slice]
         : n == 16384 ? plan_16384[slice]
                      : slice + 1; // 32768: a stage a hop
}

inline unsigned stage_slices(unsigned n) {
  return n == 4096 ? 2 : n == 8192 ? 4 : n == 16384 ? 7 : 15;
}

// Stages `from` to `to` - 1 of the transform of re/im in place, by
// decimation in frequency (the bins come out in bit-reversed order): stage
// s has half-length n / 2^(s+1), and its butterfly takes u, v to u + v and
// (u - v) e^(-i pi j / h). Four butterflies at a time from half-length 4
// on, each lane doing what the scalar loop does.
inline void long_stages(float *re, float *im, unsigned n, unsigned from, unsigned to,
                        const HoldTables &t) {
  for (unsigned s = from; s < to; ++s) {
    const unsigned h = n >> (s + 1);
    const float *wr = t.tw_re + h - 1;
    const float *wi = t.tw_im + h - 1;
    if (h <= 2) { // eight points at a time, the pairs gathered into lanes
      const v4f w_re = h == 2 ? v4f{wr[0], wr[1], wr[0], wr[1]} : splat4(wr[0]);
      const v4f w_im = h == 2 ? v4f{wi[0], wi[1], wi[0], wi[1]} : splat4(wi[0]);
      for (unsigned b = 0; b < n; b += 8) {
        const v4f a_re = load4(re + b);
        const v4f b_re = load4(re + b + 4);
        const v4f a_im = load4(im + b);
        const v4f b_im = load4(im + b + 4);
        v4f u_re, u_im, v_re, v_im;
        if (h == 2) {
          u_re = __builtin_shufflevector(a_re, b_re, 0, 1, 4, 5);
          v_re = __builtin_shufflevector(a_re, b_re, 2, 3, 6, 7);
          u_im = __builtin_shufflevector(a_im, b_im, 0, 1, 4, 5);
          v_im = __builtin_shufflevector(a_im, b_im, 2, 3, 6, 7);
        } else {
          u_re = __builtin_shufflevector(a_re, b_re, 0, 2, 4, 6);
          v_re = __builtin_shufflevector(a_re, b_re, 1, 3, 5, 7);
          u_im = __builtin_shufflevector(a_im, b_im, 0, 2, 4, 6);
          v_im = __builtin_shufflevector(a_im, b_im, 1, 3, 5, 7);
        }
        const v4f d_re = u_re - v_re;
        const v4f d_im = u_im - v_im;
        const v4f s_re = u_re + v_re;
        const v4f s_im = u_im + v_im;
        const v4f e_re = d_re * w_re - d_im * w_im;
        const v4f e_im = d_re * w_im + d_im * w_re;
        if (h == 2) {
          store4(re + b, __builtin_shufflevector(s_re, e_re, 0, 1, 4, 5));
          store4(re + b + 4, __builtin_shufflevector(s_re, e_re, 2, 3, 6, 7));
          store4(im + b, __builtin_shufflevector(s_im, e_im, 0, 1, 4, 5));
          store4(im + b + 4, __builtin_shufflevector(s_im, e_im, 2, 3, 6, 7));
        } else {
          store4(re + b, __builtin_shufflevector(s_re, e_re, 0, 4, 1, 5));
          store4(re + b + 4, __builtin_shufflevector(s_re, e_re, 2, 6, 3, 7));
          store4(im + b, __builtin_shufflevector(s_im, e_im, 0, 4, 1, 5));
          store4(im + b + 4, __builtin_shufflevector(s_im, e_im, 2, 6, 3, 7));
        }
      }
      continue;
    }
    for (unsigned b = 0; b < n; b += 2 * h) {
      unsigned j = 0;
      if (h >= 4) {
        for (; j < h; j += 4) {
          const v4f w_re = load4(wr + j);
          const v4f w_im = load4(wi + j);
          const v4f u_re = load4(re + b + j);
          const v4f u_im = load4(im + b + j);
          const v4f v_re = load4(re + b + j + h);
          const v4f v_im = load4(im + b + j + h);
          const v4f d_re = u_re - v_re;
          const v4f d_im = u_im - v_im;
          store4(re + b + j, u_re + v_re);
          store4(im + b + j, u_im + v_im);
          store4(re + b + j + h, d_re * w_re - d_im * w_im);
          store4(im + b + j + h, d_re * w_im + d_im * w_re);
        }
      }
      for (; j < h; ++j) {
        const float u_re = re[b + j];
        const float u_im = im[b + j];
        const float v_re = re[b + j + h];
        const float v_im = im[b + j + h];
        const float d_re = u_re - v_re;
        const float d_im = u_im - v_im;
        re[b + j] = u_re + v_re;
        im[b + j] = u_im + v_im;
        re[b + j + h] = d_re * wr[j] - d_im * wi[j];
        im[b + j + h] = d_re * wi[j] + d_im * wr[j];
      }
    }
  }
}

} // namespace
