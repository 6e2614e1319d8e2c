// In-place 1024-point complex FFT, radix-2 decimation in time.
#pragma once

#include <math.h>

namespace {

// One complex value: real part, then imaginary part, stored interleaved.
struct Complex {
  float re;
  float im;
};

constexpr unsigned fft_size = 1024;

// Forward (inverse == 0): X[k] = sum x[n] e^(-2 pi i k n / 1024), unscaled.
// Inverse (inverse == 1): x[n] = 1/1024 sum X[k] e^(+2 pi i k n / 1024).
// Each stage derives its twiddles by rotating from (1, 0) with one sincosf, so
// the rounding of every intermediate is fixed by this code, not by a table.
void fft(Complex *data, int inverse) {
  // Bit reversal: j walks the indices in reversed bit order alongside i.
  unsigned j = 0;
  for (unsigned i = 1; i < fft_size; ++i) {
    unsigned bit = fft_size / 2;
    while (j & bit) {
      j &= ~bit;
      bit >>= 1;
    }
    j |= bit;
    if (j > i) {
      const Complex held = data[i];
      data[i] = data[j];
      data[j] = held;
    }
  }

  const float sign = inverse ? 2.0f : -2.0f;
  for (unsigned len = 2; len <= fft_size; len <<= 1) {
    const float theta = (sign * 3.1415927f) / static_cast<float>(len);
    float sn;
    float cs;
    sincosf(theta, &sn, &cs);
    const unsigned half = len / 2;
    for (unsigned start = 0; start < fft_size; start += len) {
      float w_re = 1.0f;
      float w_im = 0.0f;
      for (unsigned k = 0; k < half; ++k) {
        const Complex u = data[start + k];
        const Complex v = data[start + k + half];
        const float t_re = v.re * w_re - v.im * w_im;
        const float t_im = v.re * w_im + v.im * w_re;
        data[start + k] = {u.re + t_re, u.im + t_im};
        data[start + k + half] = {u.re - t_re, u.im - t_im};
        const float next_re = cs * w_re - sn * w_im;
        const float next_im = sn * w_re + cs * w_im;
        w_re = next_re;
        w_im = next_im;
      }
    }
  }

  if (inverse) {
    for (unsigned i = 0; i < fft_size; ++i) {
      data[i].re *= 0.0009765625f;
      data[i].im *= 0.0009765625f;
    }
  }
}

} // namespace
