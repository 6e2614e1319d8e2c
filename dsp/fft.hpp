// 1024-point complex FFT, radix-2 decimation in time.
//
// Each stage rotates its twiddle from (1, 0) by the stage's sincosf, and the
// rotation restarts at (1, 0) for every block, so a stage uses the same
// sequence of twiddles in every block. That sequence is computed once, by the
// very same recurrence, into a table: the values, and so every result, are
// the same bits as running the recurrence inside each block.
//
// The data is kept split (real parts, imaginary parts) so that four
// butterflies run side by side in one set of vector operations, each lane
// doing exactly the scalar operations in the scalar order.
#pragma once

#include <math.h>

#include "dsp/simd.hpp"

namespace {

// One complex value: real part, then imaginary part, stored interleaved.
struct Complex {
  float re;
  float im;
};

constexpr unsigned fft_size = 1024;

// Twiddles of the stage with half-length h (1, 2, 4, ..., 512) start at h - 1.
struct Twiddles {
  float re[fft_size - 1];
  float im[fft_size - 1];
};

void fill_twiddles(Twiddles *tw, int inverse) {
  const float sign = inverse ? 2.0f : -2.0f;
  for (unsigned len = 2; len <= fft_size; len <<= 1) {
    const float theta = (sign * 3.1415927f) / static_cast<float>(len);
    float sn;
    float cs;
    sincosf(theta, &sn, &cs);
    const unsigned half = len / 2;
    float w_re = 1.0f;
    float w_im = 0.0f;
    for (unsigned k = 0; k < half; ++k) {
      tw->re[half - 1 + k] = w_re;
      tw->im[half - 1 + k] = w_im;
      const float next_re = cs * w_re - sn * w_im;
      const float next_im = sn * w_re + cs * w_im;
      w_re = next_re;
      w_im = next_im;
    }
  }
}

// u, v <- u + v w, u - v w, with t = v w formed exactly as the scalar code does.
template <class V>
QUORVANE_INLINE void butterfly(V &u_re, V &u_im, V &v_re, V &v_im, const V &w_re, const V &w_im) {
  const V t_re = v_re * w_re - v_im * w_im;
  const V t_im = v_re * w_im + v_im * w_re;
  const V a_re = u_re + t_re;
  const V a_im = u_im + t_im;
  v_re = u_re - t_re;
  v_im = u_im - t_im;
  u_re = a_re;
  u_im = a_im;
}

// Six-bit reversal, for the fused first stages below.
struct Rev6 {
  unsigned char v[64];
};
constexpr Rev6 rev6 = [] {
  Rev6 t{};
  for (unsigned q = 0; q < 64; ++q) {
    unsigned r = 0;
    for (unsigned b = 0; b < 6; ++b) {
      r |= ((q >> b) & 1u) << (5 - b);
    }
    t.v[q] = static_cast<unsigned char>(r);
  }
  return t;
}();

// Four points of each of the four rows, transposed: stored four at a time at
// base, base + 512, base + 256 and base + 768 (see fft_head).
QUORVANE_INLINE void head_store(float *re, float *im, unsigned base, v4f a_re, v4f a_im, v4f b_re,
                                v4f b_im, v4f c_re, v4f c_im, v4f d_re, v4f d_im) {
  transpose4(a_re, b_re, c_re, d_re);
  transpose4(a_im, b_im, c_im, d_im);
  store4(re + base, a_re);
  store4(im + base, a_im);
  store4(re + base + 512, b_re);
  store4(im + base + 512, b_im);
  store4(re + base + 256, c_re);
  store4(im + base + 256, c_im);
  store4(re + base + 768, d_re);
  store4(im + base + 768, d_im);
}

QUORVANE_INLINE v4f low4(const v8f &v) { return __builtin_shufflevector(v, v, 0, 1, 2, 3); }
QUORVANE_INLINE v4f high4(const v8f &v) { return __builtin_shufflevector(v, v, 4, 5, 6, 7); }
QUORVANE_INLINE v8f reversed(const v8f &v) {
  return __builtin_shufflevector(v, v, 7, 6, 5, 4, 3, 2, 1, 0);
}

// Eight lanes: the lower four go to `base` as above, the upper four to
// `upper`, both halves transposed together.
QUORVANE_INLINE void head_store(float *re, float *im, unsigned base, unsigned upper, v8f a_re,
                                v8f a_im, v8f b_re, v8f b_im, v8f c_re, v8f c_im, v8f d_re,
                                v8f d_im) {
  transpose4(a_re, b_re, c_re, d_re);
  transpose4(a_im, b_im, c_im, d_im);
  const v8f *rows[8] = {&a_re, &a_im, &b_re, &b_im, &c_re, &c_im, &d_re, &d_im};
  const unsigned offsets[4] = {0, 512, 256, 768};
  for (unsigned row = 0; row < 8; ++row) {
    float *to = (row % 2 ? im : re) + offsets[row / 2];
    store4(to + base, low4(*rows[row]));
    store4(to + upper, high4(*rows[row]));
  }
}

// Bit reversal and the stages of length 2 and 4, out of place into re/im.
// Output positions 4g..4g+3 take the inputs at r, r + 512, r + 256, r + 768
// where r is g reversed over eight bits. Taking consecutive r at once makes
// the loads contiguous; four consecutive r = 4q.. feed the groups 4 rev6(q)
// plus 0, 512, 256 and 768, so a 4x4 transpose makes the stores contiguous
// too. With eight lanes, the upper four are the next q.
// load(n, re, im) yields input points n, n + 1, ... (one per lane).
template <class V, class Load>
QUORVANE_INLINE void fft_head(const Load &load, float *re, float *im, const Twiddles &tw) {
  constexpr unsigned lanes = sizeof(V) / sizeof(float);
  const V one_re = vsplat<V>(tw.re[0]);
  const V one_im = vsplat<V>(tw.im[0]);
  const V w0_re = vsplat<V>(tw.re[1]);
  const V w0_im = vsplat<V>(tw.im[1]);
  const V w1_re = vsplat<V>(tw.re[2]);
  const V w1_im = vsplat<V>(tw.im[2]);
  for (unsigned r = 0; r < 256; r += lanes) {
    V a_re, a_im, b_re, b_im, c_re, c_im, d_re, d_im;
    load(r, a_re, a_im);
    load(r + 512, b_re, b_im);
    load(r + 256, c_re, c_im);
    load(r + 768, d_re, d_im);
    butterfly(a_re, a_im, b_re, b_im, one_re, one_im);
    butterfly(c_re, c_im, d_re, d_im, one_re, one_im);
    butterfly(a_re, a_im, c_re, c_im, w0_re, w0_im);
    butterfly(b_re, b_im, d_re, d_im, w1_re, w1_im);
    if constexpr (lanes == 8) {
      head_store(re, im, 4u * rev6.v[r / 4], 4u * rev6.v[r / 4 + 1], a_re, a_im, b_re, b_im, c_re,
                 c_im, d_re, d_im);
    } else {
      head_store(re, im, 4u * rev6.v[r / 4], a_re, a_im, b_re, b_im, c_re, c_im, d_re, d_im);
    }
  }
}

// The stages of half-length h and 2h in one pass, in place: in each block
// of 4h points, the points k, k + h, k + 2h and k + 3h go through both
// stages while they are in registers. Every butterfly is the one the two
// separate stages would do, with the same operands.
template <class V>
QUORVANE_INLINE void fft_pass(float *re, float *im, const Twiddles &tw, unsigned h) {
  constexpr unsigned lanes = sizeof(V) / sizeof(float);
  const float *w1_re = tw.re + h - 1;
  const float *w1_im = tw.im + h - 1;
  const unsigned h2 = 2 * h;
  const unsigned h3 = 3 * h;
  const float *w2_re = tw.re + h2 - 1;
  const float *w2_im = tw.im + h2 - 1;
  for (unsigned start = 0; start < fft_size; start += 4 * h) {
    float *p_re = re + start;
    float *p_im = im + start;
    for (unsigned k = 0; k < h; k += lanes) {
      V a_re = vload<V>(p_re + k);
      V a_im = vload<V>(p_im + k);
      V b_re = vload<V>(p_re + k + h);
      V b_im = vload<V>(p_im + k + h);
      V c_re = vload<V>(p_re + k + h2);
      V c_im = vload<V>(p_im + k + h2);
      V d_re = vload<V>(p_re + k + h3);
      V d_im = vload<V>(p_im + k + h3);
      const V w_re = vload<V>(w1_re + k);
      const V w_im = vload<V>(w1_im + k);
      butterfly(a_re, a_im, b_re, b_im, w_re, w_im);
      butterfly(c_re, c_im, d_re, d_im, w_re, w_im);
      butterfly(a_re, a_im, c_re, c_im, vload<V>(w2_re + k), vload<V>(w2_im + k));
      butterfly(b_re, b_im, d_re, d_im, vload<V>(w2_re + k + h), vload<V>(w2_im + k + h));
      vstore(p_re + k, a_re);
      vstore(p_im + k, a_im);
      vstore(p_re + k + h, b_re);
      vstore(p_im + k + h, b_im);
      vstore(p_re + k + h2, c_re);
      vstore(p_im + k + h2, c_im);
      vstore(p_re + k + h3, d_re);
      vstore(p_im + k + h3, d_im);
    }
  }
}

// Four floats from each pointer, as one eight-lane vector, and back.
QUORVANE_INLINE v8f join(const float *lo, const float *hi) {
  return __builtin_shufflevector(load4(lo), load4(hi), 0, 1, 2, 3, 4, 5, 6, 7);
}
QUORVANE_INLINE void split(float *lo, float *hi, const v8f &v) {
  store4(lo, low4(v));
  store4(hi, high4(v));
}

// fft_pass for h = 4, whose blocks of 16 points are too short for eight
// lanes: two blocks side by side instead, lanes 0-3 one and 4-7 the next.
// Every block uses the same seven twiddles, so they stay in registers.
QUORVANE_INLINE void fft_pass4(float *re, float *im, const Twiddles &tw) {
  const v8f w1_re = join(tw.re + 3, tw.re + 3);
  const v8f w1_im = join(tw.im + 3, tw.im + 3);
  const v8f w2_re = join(tw.re + 7, tw.re + 7);
  const v8f w2_im = join(tw.im + 7, tw.im + 7);
  const v8f w3_re = join(tw.re + 11, tw.re + 11);
  const v8f w3_im = join(tw.im + 11, tw.im + 11);
  for (unsigned start = 0; start < fft_size; start += 32) {
    float *p = re + start;
    float *q = im + start;
    v8f a_re = join(p, p + 16);
    v8f a_im = join(q, q + 16);
    v8f b_re = join(p + 4, p + 20);
    v8f b_im = join(q + 4, q + 20);
    v8f c_re = join(p + 8, p + 24);
    v8f c_im = join(q + 8, q + 24);
    v8f d_re = join(p + 12, p + 28);
    v8f d_im = join(q + 12, q + 28);
    butterfly(a_re, a_im, b_re, b_im, w1_re, w1_im);
    butterfly(c_re, c_im, d_re, d_im, w1_re, w1_im);
    butterfly(a_re, a_im, c_re, c_im, w2_re, w2_im);
    butterfly(b_re, b_im, d_re, d_im, w3_re, w3_im);
    split(p, p + 16, a_re);
    split(q, q + 16, a_im);
    split(p + 4, p + 20, b_re);
    split(q + 4, q + 20, b_im);
    split(p + 8, p + 24, c_re);
    split(q + 8, q + 24, c_im);
    split(p + 12, p + 28, d_re);
    split(q + 12, q + 28, d_im);
  }
}

// After fft_head: the stages of half-length 4 to 128 (inverse) or to 512.
QUORVANE_INLINE void fft_body(float *re, float *im, const Twiddles &tw, bool to_end) {
  fft_pass4(re, im, tw);
  fft_pass<v8f>(re, im, tw, 16);
  fft_pass<v8f>(re, im, tw, 64);
  if (to_end) {
    fft_pass<v8f>(re, im, tw, 256);
  }
}

// In-place transform of 1024 interleaved values: forward (inverse == 0),
// X[k] = sum x[n] e^(-2 pi i k n / 1024), unscaled; inverse (inverse == 1),
// x[n] = 1/1024 sum X[k] e^(+2 pi i k n / 1024). The frame pipeline calls the
// pieces above directly on its own split buffers; this is the whole transform
// for everyone else.
[[maybe_unused]] QUORVANE_WIDE void fft(Complex *data, int inverse) {
  Twiddles tw;
  fill_twiddles(&tw, inverse);
  float re[fft_size];
  float im[fft_size];
  fft_head<v4f>(
      [data](unsigned n, v4f &r, v4f &i) {
        r = v4f{data[n].re, data[n + 1].re, data[n + 2].re, data[n + 3].re};
        i = v4f{data[n].im, data[n + 1].im, data[n + 2].im, data[n + 3].im};
      },
      re, im, tw);
  fft_body(re, im, tw, true);
  for (unsigned i = 0; i < fft_size; ++i) {
    data[i] = {re[i], im[i]};
    if (inverse) {
      data[i].re *= 0.0009765625f;
      data[i].im *= 0.0009765625f;
    }
  }
}

} // namespace
