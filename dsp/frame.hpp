// One hop of processing: analyse the latest block, reshape its spectrum,
// resynthesise it and overlap-add it into the output ring.
#pragma once

#include <math.h>
#include <string.h>

#include "dsp/blur.hpp"
#include "dsp/fft.hpp"
#include "dsp/freeze.hpp"
#include "dsp/shift_gate.hpp"
#include "dsp/simd.hpp"
#include "plugin/instance.hpp"

namespace {

// Four Hann-squared windows a hop apart sum to 1.5; this gain (the float
// nearest 2/3) makes the neutral path an exact-as-rounding delay.
constexpr float overlap_gain = 0.6666667f;
constexpr float inverse_scale = 0.0009765625f;

// dst[i] = ring[(pos + i) & 1023] * window[i]. The sample loop only ever
// calls the frame with pos a multiple of the hop, so the ring splits into
// two runs of whole vectors; any other pos takes the scalar way.
inline void window_input(float *dst, const float *ring, const float *window, unsigned pos) {
  if (pos % 4 == 0) {
    for (unsigned i = 0; i < block_size; i += 4) {
      store4(dst + i, load4(ring + ((pos + i) & ring_mask)) * load4(window + i));
    }
  } else {
    for (unsigned i = 0; i < block_size; ++i) {
      dst[i] = ring[(pos + i) & ring_mask] * window[i];
    }
  }
}

// ring[(pos + i) & 1023] += src[i].
inline void overlap_add(float *ring, const float *src, unsigned pos) {
  if (pos % 4 == 0) {
    for (unsigned i = 0; i < block_size; i += 4) {
      float *r = ring + ((pos + i) & ring_mask);
      store4(r, load4(r) + load4(src + i));
    }
  } else {
    for (unsigned i = 0; i < block_size; ++i) {
      ring[(pos + i) & ring_mask] += src[i];
    }
  }
}

void frame(Instance *self) {
  Instance::Scratch &s = self->scratch;
  if (!s.ready) {
    fill_twiddles(&s.fwd, 0);
    fill_twiddles(&s.inv, 1);
    s.ready = 1;
  }
  float *re = s.re;
  float *im = s.im;
  float *acc_re = s.acc_re;
  float *acc_im = s.acc_im;

  // Analysis, oldest sample first: pos is the oldest position in the ring.
  // The windowed block is real; its imaginary parts are +0.
  window_input(acc_re, self->in_ring, self->window, self->pos);
  fft_head(
      [acc_re](unsigned n, v4f &r, v4f &i) {
        r = load4(acc_re + n);
        i = splat4(0.0f);
      },
      re, im, s.fwd);
  fft_body(re, im, s.fwd, fft_size / 2);

  update_freeze(self, re, im);

  if (self->frozen) {
    memcpy(self->mag, self->frozen_mag, sizeof self->mag);
  } else {
    for (unsigned k = 0; k < bins - 1; k += 4) {
      const v4f r = load4(re + k);
      const v4f i = load4(im + k);
      store4(self->mag + k, sqrt4(r * r + i * i));
    }
    self->mag[bins - 1] = sqrtf(re[bins - 1] * re[bins - 1] + im[bins - 1] * im[bins - 1]);
  }

  blur_magnitudes(self->mag, self->blur_tmp, self->blur);

  const int offset = bin_offset(self->shift);
  const float gate = gate_level(self->mag, self->threshold);

  // Each source bin carries its own phase to its target bin: the phase is not
  // corrected for the new frequency, which is part of the shift's sound.
  // Every target receives at most one source, so its value is (+0, +0) plus
  // that source's (m cos, m sin). A zero magnitude makes both products zeros
  // of some sign, and +0 plus a zero of either sign is +0: such a bin leaves
  // its target at (+0, +0) whatever its phase, and needs neither atan2f nor
  // sincosf. That holds unless the phase is NaN (zero times NaN is NaN), and
  // a live phase is NaN exactly when the bin's re or im is.
  memset(acc_re, 0, bins * sizeof(float));
  memset(acc_im, 0, bins * sizeof(float));
  const int first = offset < 0 ? -offset : 0;
  const int last = offset > 0 ? static_cast<int>(bins) - 1 - offset : static_cast<int>(bins) - 1;
  const float *mag = self->mag;
  if (self->frozen) {
    const float *frozen_phase = self->frozen_phase;
    for (int k = first; k <= last; ++k) {
      float m = mag[k];
      if (m < gate) {
        m = 0.0f;
      }
      const float phase = frozen_phase[k];
      if (m == 0.0f && !isnan(phase)) {
        continue;
      }
      float sn;
      float cs;
      sincosf(phase, &sn, &cs);
      acc_re[k + offset] += m * cs;
      acc_im[k + offset] += m * sn;
    }
  } else {
    for (int k = first; k <= last; ++k) {
      float m = mag[k];
      if (m < gate) {
        m = 0.0f;
      }
      if (m == 0.0f && !isnan(re[k]) && !isnan(im[k])) {
        continue;
      }
      const float phase = atan2f(im[k], re[k]);
      float sn;
      float cs;
      sincosf(phase, &sn, &cs);
      acc_re[k + offset] += m * cs;
      acc_im[k + offset] += m * sn;
    }
  }

  // Conjugate-symmetric completion. Bins 0 and 512 keep any imaginary part
  // they gained; only the real part of the inverse reaches the output.
  unsigned k = 1;
  for (; k + 3 < bins - 1; k += 4) {
    const v4f r = load4(acc_re + k);
    const v4f i = load4(acc_im + k);
    store4(acc_re + block_size - k - 3, __builtin_shufflevector(r, r, 3, 2, 1, 0));
    store4(acc_im + block_size - k - 3, -__builtin_shufflevector(i, i, 3, 2, 1, 0));
  }
  for (; k < bins - 1; ++k) {
    acc_re[block_size - k] = acc_re[k];
    acc_im[block_size - k] = -acc_im[k];
  }

  // Inverse transform into re/im, all but its last stage.
  fft_head(
      [acc_re, acc_im](unsigned n, v4f &r, v4f &i) {
        r = load4(acc_re + n);
        i = load4(acc_im + n);
      },
      re, im, s.inv);
  fft_body(re, im, s.inv, fft_size / 4);

  // Last stage, real parts only, then the scaling, the synthesis window and
  // the overlap-add gain, each multiplication in that order.
  const float *window = self->window;
  const float *w_re = s.inv.re + fft_size / 2 - 1;
  const float *w_im = s.inv.im + fft_size / 2 - 1;
  float *out = acc_re;
  for (unsigned i = 0; i < fft_size / 2; i += 4) {
    const v4f v_re = load4(re + i + fft_size / 2);
    const v4f v_im = load4(im + i + fft_size / 2);
    const v4f t_re = v_re * load4(w_re + i) - v_im * load4(w_im + i);
    const v4f u_re = load4(re + i);
    const v4f lo = u_re + t_re;
    const v4f hi = u_re - t_re;
    store4(out + i, ((lo * inverse_scale) * load4(window + i)) * overlap_gain);
    store4(out + i + fft_size / 2,
           ((hi * inverse_scale) * load4(window + i + fft_size / 2)) * overlap_gain);
  }
  overlap_add(self->out_ring, out, self->pos);
}

} // namespace
