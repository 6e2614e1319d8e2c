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

// The stages of half-length h, 2h and 4h in one pass, in place: in each
// block of 8h points, the points k, k + h, ..., k + 7h go through all three
// stages while they are in registers (16 floats a lane: with the two
// twiddle parts and the products, within the 32 registers of VFP and of
// Advanced SIMD). Every butterfly is the one the three separate stages would
// do, with the same operands.
template <class V>
QUORVANE_INLINE void fft_pass8(float *re, float *im, const Twiddles &tw, unsigned h) {
  constexpr unsigned lanes = sizeof(V) / sizeof(float);
  const unsigned h2 = 2 * h;
  const unsigned h4 = 4 * h;
  const float *w1_re = tw.re + h - 1;
  const float *w1_im = tw.im + h - 1;
  const float *w2_re = tw.re + h2 - 1;
  const float *w2_im = tw.im + h2 - 1;
  const float *w4_re = tw.re + h4 - 1;
  const float *w4_im = tw.im + h4 - 1;
  unsigned at[8]; // the eight points' offsets in a block
  for (unsigned j = 0; j < 8; ++j) {
    at[j] = j * h;
  }
  for (unsigned start = 0; start < fft_size; start += 2 * h4) {
    float *p_re = re + start;
    float *p_im = im + start;
    for (unsigned k = 0; k < h; k += lanes) {
      V x_re[8];
      V x_im[8];
      for (unsigned j = 0; j < 8; ++j) {
        x_re[j] = vload<V>(p_re + k + at[j]);
        x_im[j] = vload<V>(p_im + k + at[j]);
      }
      {
        const V w_re = vload<V>(w1_re + k);
        const V w_im = vload<V>(w1_im + k);
        for (unsigned j = 0; j < 8; j += 2) {
          butterfly(x_re[j], x_im[j], x_re[j + 1], x_im[j + 1], w_re, w_im);
        }
      }
      for (unsigned j = 0; j < 2; ++j) {
        const V w_re = vload<V>(w2_re + k + at[j]);
        const V w_im = vload<V>(w2_im + k + at[j]);
        butterfly(x_re[j], x_im[j], x_re[j + 2], x_im[j + 2], w_re, w_im);
        butterfly(x_re[j + 4], x_im[j + 4], x_re[j + 6], x_im[j + 6], w_re, w_im);
      }
      for (unsigned j = 0; j < 4; ++j) {
        butterfly(x_re[j], x_im[j], x_re[j + 4], x_im[j + 4], vload<V>(w4_re + k + at[j]),
                  vload<V>(w4_im + k + at[j]));
      }
      for (unsigned j = 0; j < 8; ++j) {
        vstore(p_re + k + at[j], x_re[j]);
        vstore(p_im + k + at[j], x_im[j]);
      }
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
// On 64-bit Arm, three stages a pass in four lanes (its 32 vector registers
// hold the eight points of a radix-8 pass), so the data goes through memory
// one pass fewer; x86-64 keeps its two stages a pass in eight lanes.
QUORVANE_INLINE void fft_body(float *re, float *im, const Twiddles &tw, bool to_end) {
#if defined(__aarch64__)
  fft_pass8<v4f>(re, im, tw, 4);
  fft_pass8<v4f>(re, im, tw, 32);
  if (to_end) {
    fft_pass<v4f>(re, im, tw, 256);
  }
#else
  fft_pass4(re, im, tw);
  fft_pass<v8f>(re, im, tw, 16);
  fft_pass<v8f>(re, im, tw, 64);
  if (to_end) {
    fft_pass<v8f>(re, im, tw, 256);
  }
#endif
}

#if defined(QUORVANE_SCALAR)
// Seven-bit reversal, for the scalar head below.
struct Rev7 {
  unsigned char v[128];
};
constexpr Rev7 rev7 = [] {
  Rev7 t{};
  for (unsigned q = 0; q < 128; ++q) {
    unsigned r = 0;
    for (unsigned b = 0; b < 7; ++b) {
      r |= ((q >> b) & 1u) << (6 - b);
    }
    t.v[q] = static_cast<unsigned char>(r);
  }
  return t;
}();

// Where the scalar head reads the eight points of output group g: point
// 8g + j of the bit-reversed order is input rev7(g) + 128 rev3(j).
constexpr unsigned head8_from[8] = {0, 512, 256, 768, 128, 640, 384, 896};

// The scalar head's group g: points r + head8_from[j] (r = rev7(g)), given
// in x, through the stages of length 2, 4 and 8, stored at 8g .. 8g + 7.
QUORVANE_INLINE void head8_stages(float *x_re, float *x_im, float *re, float *im, unsigned g,
                                  const Twiddles &tw) {
  for (unsigned j = 0; j < 8; j += 2) {
    butterfly(x_re[j], x_im[j], x_re[j + 1], x_im[j + 1], tw.re[0], tw.im[0]);
  }
  for (unsigned j = 0; j < 2; ++j) {
    butterfly(x_re[j], x_im[j], x_re[j + 2], x_im[j + 2], tw.re[1 + j], tw.im[1 + j]);
    butterfly(x_re[j + 4], x_im[j + 4], x_re[j + 6], x_im[j + 6], tw.re[1 + j], tw.im[1 + j]);
  }
  for (unsigned j = 0; j < 4; ++j) {
    butterfly(x_re[j], x_im[j], x_re[j + 4], x_im[j + 4], tw.re[3 + j], tw.im[3 + j]);
  }
  for (unsigned j = 0; j < 8; ++j) {
    re[8 * g + j] = x_re[j];
    im[8 * g + j] = x_im[j];
  }
}

// Scalar code, for targets without a vector unit (32-bit Arm): the bit
// reversal and the stages of length 2, 4 and 8 of a transform whose points
// come from load(n, re, im), into re/im.
template <class Load>
QUORVANE_INLINE void fft_head8(const Load &load, float *re, float *im, const Twiddles &tw) {
  for (unsigned g = 0; g < 128; ++g) {
    const unsigned r = rev7.v[g];
    float x_re[8];
    float x_im[8];
    for (unsigned j = 0; j < 8; ++j) {
      load(r + head8_from[j], x_re[j], x_im[j]);
    }
    head8_stages(x_re, x_im, re, im, g, tw);
  }
}

// The same for real points x(r, o), point r + o (o the constant
// head8_from[j]), imaginary parts +0, all finite. Then the
// first stage's twiddle is exactly (1, 0) (the recurrence starts there), so
// t = v (1, 0) is (v.re 1 - (+0)(+0), v.re (+0) + (+0) 1) = (v.re, +0) for
// any finite v.re, zeros included, and the butterfly gives
// (u.re + v.re, +0 + +0) and (u.re - v.re, +0 - +0): the imaginary parts
// stay +0, with no operation needed to know it. The later stages start from
// those values, in full.
template <class Load>
QUORVANE_INLINE void fft_head8_real(const Load &x, float *re, float *im, const Twiddles &tw) {
  for (unsigned g = 0; g < 128; ++g) {
    const unsigned r = rev7.v[g];
    float x_re[8];
    float x_im[8];
    for (unsigned j = 0; j < 8; j += 2) {
      const float u = x(r, head8_from[j]);
      const float v = x(r, head8_from[j + 1]);
      x_re[j] = u + v;
      x_re[j + 1] = u - v;
      x_im[j] = 0.0f;
      x_im[j + 1] = 0.0f;
    }
    // The second stage's first twiddle is (1, 0) too, and its operands
    // are still real: the same shortcut.
    for (unsigned j = 0; j < 8; j += 4) {
      const float u = x_re[j];
      const float v = x_re[j + 2];
      x_re[j] = u + v;
      x_re[j + 2] = u - v;
      butterfly(x_re[j + 1], x_im[j + 1], x_re[j + 3], x_im[j + 3], tw.re[2], tw.im[2]);
    }
    for (unsigned j = 0; j < 4; ++j) {
      butterfly(x_re[j], x_im[j], x_re[j + 4], x_im[j + 4], tw.re[3 + j], tw.im[3 + j]);
    }
    for (unsigned j = 0; j < 8; ++j) {
      re[8 * g + j] = x_re[j];
      im[8 * g + j] = x_im[j];
    }
  }
}

// After a scalar head: the stages of half-length 8 to 128 (inverse) or to
// 512, three, then two at a time.
QUORVANE_INLINE void fft_body_scalar(float *re, float *im, const Twiddles &tw, bool to_end) {
  fft_pass8<float>(re, im, tw, 8);
  fft_pass<float>(re, im, tw, 64);
  if (to_end) {
    fft_pass<float>(re, im, tw, 256);
  }
}

// The inverse's stages of half-length 256 and 512 after fft_body_scalar, the
// last for real parts only: emit(k, q, x) receives the real part of output
// point k + 256 q (k below 256, q the constant quarter), unscaled.
template <class Emit>
QUORVANE_INLINE void fft_tail_real(const float *re, const float *im, const Twiddles &tw,
                                   const Emit &emit) {
  for (unsigned k = 0; k < 256; ++k) {
    float a_re = re[k];
    float a_im = im[k];
    float b_re = re[k + 256];
    float b_im = im[k + 256];
    float c_re = re[k + 512];
    float c_im = im[k + 512];
    float d_re = re[k + 768];
    float d_im = im[k + 768];
    butterfly(a_re, a_im, b_re, b_im, tw.re[255 + k], tw.im[255 + k]);
    butterfly(c_re, c_im, d_re, d_im, tw.re[255 + k], tw.im[255 + k]);
    const float t_ac = c_re * tw.re[511 + k] - c_im * tw.im[511 + k];
    const float t_bd = d_re * tw.re[767 + k] - d_im * tw.im[767 + k];
    emit(k, 0, a_re + t_ac);
    emit(k, 2, a_re - t_ac);
    emit(k, 1, b_re + t_bd);
    emit(k, 3, b_re - t_bd);
  }
}
#endif

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
