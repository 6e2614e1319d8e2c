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
// butterflies a hop. The last two stages (half-lengths 2 and 1) go in one
// pass, halved over two hops at 32768 points.
inline unsigned stage_end(unsigned n, unsigned slice) {
  static const uint8_t plan_4096[2] = {6, 12};
  static const uint8_t plan_8192[4] = {4, 8, 11, 13};
  static const uint8_t plan_16384[7] = {2, 4, 6, 8, 10, 12, 14};
  return n == 4096    ? plan_4096[slice]
         : n == 8192  ? plan_8192[slice]
         : n == 16384 ? plan_16384[slice]
                      : slice + 1; // 32768: a stage a hop (long_slice() pairs the last two)
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

// The last two stages (half-lengths 2 and 1) of the transform of n points
// on points [from, to) (multiples of 16), as long_stages() makes them, one
// after the other, on each run of four points: stage n/4's pairs (0, 2)
// and (1, 3), then stage n/2's (0, 1) and (2, 3). Four runs at a time, one
// lane each.
inline void long_last_two(float *re, float *im, unsigned from, unsigned to, const HoldTables &t) {
  const v4f w0_re = splat4(t.tw_re[1]), w0_im = splat4(t.tw_im[1]); // half-length 2, j = 0
  const v4f w1_re = splat4(t.tw_re[2]), w1_im = splat4(t.tw_im[2]); // j = 1
  const v4f v_re = splat4(t.tw_re[0]), v_im = splat4(t.tw_im[0]);   // half-length 1
  for (unsigned b = from; b < to; b += 16) {
    v4f a_re = load4(re + b), b_re = load4(re + b + 4), c_re = load4(re + b + 8),
        d_re = load4(re + b + 12);
    v4f a_im = load4(im + b), b_im = load4(im + b + 4), c_im = load4(im + b + 8),
        d_im = load4(im + b + 12);
    transpose4(a_re, b_re, c_re, d_re); // a: the runs' point 0, b: point 1, ...
    transpose4(a_im, b_im, c_im, d_im);
    const v4f ac_re = a_re - c_re, ac_im = a_im - c_im;
    const v4f bd_re = b_re - d_re, bd_im = b_im - d_im;
    const v4f p0_re = a_re + c_re, p0_im = a_im + c_im;
    const v4f p2_re = ac_re * w0_re - ac_im * w0_im, p2_im = ac_re * w0_im + ac_im * w0_re;
    const v4f p1_re = b_re + d_re, p1_im = b_im + d_im;
    const v4f p3_re = bd_re * w1_re - bd_im * w1_im, p3_im = bd_re * w1_im + bd_im * w1_re;
    const v4f e_re = p0_re - p1_re, e_im = p0_im - p1_im;
    const v4f f_re = p2_re - p3_re, f_im = p2_im - p3_im;
    a_re = p0_re + p1_re;
    a_im = p0_im + p1_im;
    b_re = e_re * v_re - e_im * v_im;
    b_im = e_re * v_im + e_im * v_re;
    c_re = p2_re + p3_re;
    c_im = p2_im + p3_im;
    d_re = f_re * v_re - f_im * v_im;
    d_im = f_re * v_im + f_im * v_re;
    transpose4(a_re, b_re, c_re, d_re);
    transpose4(a_im, b_im, c_im, d_im);
    store4(re + b, a_re);
    store4(re + b + 4, b_re);
    store4(re + b + 8, c_re);
    store4(re + b + 12, d_re);
    store4(im + b, a_im);
    store4(im + b + 4, b_im);
    store4(im + b + 8, c_im);
    store4(im + b + 12, d_im);
  }
}

// Hop `slice` of the transform of n points (2^bits of them).
inline void long_slice(float *re, float *im, unsigned n, unsigned slice, const HoldTables &t) {
  const unsigned bits = 31 - static_cast<unsigned>(__builtin_clz(n));
  const unsigned from = slice == 0 ? 0 : stage_end(n, slice - 1);
  const unsigned to = stage_end(n, slice);
  if (from == bits - 2 && to == bits - 1) { // 32768 points: half of the last two stages' pass
    long_last_two(re, im, 0, n / 2, t);
    return;
  }
  if (from == bits - 1) {
    long_last_two(re, im, n / 2, n, t);
    return;
  }
  const unsigned last = to == bits ? bits - 2 : to; // the last two stages in one pass
  long_stages(re, im, n, from, last, t);
  if (last < to) {
    long_last_two(re, im, 0, n, t);
  }
}

} // namespace
