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
inline void butterfly(v4f &u_re, v4f &u_im, v4f &v_re, v4f &v_im, v4f w_re, v4f w_im) {
  const v4f t_re = v_re * w_re - v_im * w_im;
  const v4f t_im = v_re * w_im + v_im * w_re;
  const v4f a_re = u_re + t_re;
  const v4f a_im = u_im + t_im;
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

// Bit reversal and the stages of length 2 and 4, out of place into re/im.
// Output positions 4g..4g+3 take the inputs at r, r + 512, r + 256, r + 768
// where r is g reversed over eight bits. Taking four consecutive r at once
// makes the loads contiguous; the four groups they feed are 4 rev6(q) plus
// 0, 512, 256 and 768, so a 4x4 transpose makes the stores contiguous too.
// load(n, re, im) yields input points n to n + 3.
template <class Load> void fft_head(const Load &load, float *re, float *im, const Twiddles &tw) {
  const v4f w2_re = splat4(tw.re[0]);
  const v4f w2_im = splat4(tw.im[0]);
  const v4f w40_re = splat4(tw.re[1]);
  const v4f w40_im = splat4(tw.im[1]);
  const v4f w41_re = splat4(tw.re[2]);
  const v4f w41_im = splat4(tw.im[2]);
  for (unsigned q = 0; q < 64; ++q) {
    const unsigned r = 4 * q;
    v4f a_re, a_im, b_re, b_im, c_re, c_im, d_re, d_im;
    load(r, a_re, a_im);
    load(r + 512, b_re, b_im);
    load(r + 256, c_re, c_im);
    load(r + 768, d_re, d_im);
    butterfly(a_re, a_im, b_re, b_im, w2_re, w2_im);
    butterfly(c_re, c_im, d_re, d_im, w2_re, w2_im);
    butterfly(a_re, a_im, c_re, c_im, w40_re, w40_im);
    butterfly(b_re, b_im, d_re, d_im, w41_re, w41_im);
    transpose4(a_re, b_re, c_re, d_re);
    transpose4(a_im, b_im, c_im, d_im);
    const unsigned base = 4u * rev6.v[q];
    store4(re + base, a_re);
    store4(im + base, a_im);
    store4(re + base + 512, b_re);
    store4(im + base + 512, b_im);
    store4(re + base + 256, c_re);
    store4(im + base + 256, c_im);
    store4(re + base + 768, d_re);
    store4(im + base + 768, d_im);
  }
}

// The stages of half-length 4 up to last_half, in place.
inline void fft_body(float *re, float *im, const Twiddles &tw, unsigned last_half) {
  for (unsigned half = 4; half <= last_half; half <<= 1) {
    const float *tw_re = tw.re + half - 1;
    const float *tw_im = tw.im + half - 1;
    for (unsigned start = 0; start < fft_size; start += 2 * half) {
      float *u_re = re + start;
      float *u_im = im + start;
      float *v_re = u_re + half;
      float *v_im = u_im + half;
      for (unsigned k = 0; k < half; k += 4) {
        v4f a_re = load4(u_re + k);
        v4f a_im = load4(u_im + k);
        v4f b_re = load4(v_re + k);
        v4f b_im = load4(v_im + k);
        butterfly(a_re, a_im, b_re, b_im, load4(tw_re + k), load4(tw_im + k));
        store4(u_re + k, a_re);
        store4(u_im + k, a_im);
        store4(v_re + k, b_re);
        store4(v_im + k, b_im);
      }
    }
  }
}

// In-place transform of 1024 interleaved values: forward (inverse == 0),
// X[k] = sum x[n] e^(-2 pi i k n / 1024), unscaled; inverse (inverse == 1),
// x[n] = 1/1024 sum X[k] e^(+2 pi i k n / 1024). The frame pipeline calls the
// pieces above directly on its own split buffers; this is the whole transform
// for everyone else.
[[maybe_unused]] void fft(Complex *data, int inverse) {
  Twiddles tw;
  fill_twiddles(&tw, inverse);
  float re[fft_size];
  float im[fft_size];
  fft_head(
      [data](unsigned n, v4f &r, v4f &i) {
        r = v4f{data[n].re, data[n + 1].re, data[n + 2].re, data[n + 3].re};
        i = v4f{data[n].im, data[n + 1].im, data[n + 2].im, data[n + 3].im};
      },
      re, im, tw);
  fft_body(re, im, tw, fft_size / 2);
  for (unsigned i = 0; i < fft_size; ++i) {
    data[i] = {re[i], im[i]};
    if (inverse) {
      data[i].re *= 0.0009765625f;
      data[i].im *= 0.0009765625f;
    }
  }
}

} // namespace
