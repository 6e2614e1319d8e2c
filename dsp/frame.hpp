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

// The twiddle tables, by the transforms' own recurrence.
void prepare_tables(Instance *self) {
  fill_twiddles(&self->scratch.fwd, 0);
  fill_twiddles(&self->scratch.inv, 1);
  self->scratch.ready = 1;
}

// dst[i] = ring[(pos + i) & 1023] * window[i]. The sample loop only ever
// calls the frame with pos a multiple of the hop, so the ring splits into
// two runs of whole vectors; any other pos takes the scalar way.
QUORVANE_INLINE void window_input(float *dst, const float *ring, const float *window,
                                  unsigned pos) {
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
QUORVANE_INLINE void overlap_add(float *ring, const float *src, unsigned pos) {
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

// The inverse's last two stages in one pass, the last one for real parts
// only, then the scaling, the synthesis window and the overlap-add gain, each
// multiplication in that order: out[i] is what frame() adds to the ring.
QUORVANE_INLINE void inverse_tail(const float *re, const float *im, const Twiddles &inv,
                                  const float *window, float *out) {
  typedef v8f V;
  constexpr unsigned lanes = sizeof(V) / sizeof(float);
  const float *w1_re = inv.re + 255;
  const float *w1_im = inv.im + 255;
  const float *w2_re = inv.re + 511;
  const float *w2_im = inv.im + 511;
  auto finish = [out, window](unsigned i, const V &x) {
    vstore(out + i, ((x * inverse_scale) * vload<V>(window + i)) * overlap_gain);
  };
  for (unsigned k = 0; k < 256; k += lanes) {
    V a_re = vload<V>(re + k);
    V a_im = vload<V>(im + k);
    V b_re = vload<V>(re + k + 256);
    V b_im = vload<V>(im + k + 256);
    V c_re = vload<V>(re + k + 512);
    V c_im = vload<V>(im + k + 512);
    V d_re = vload<V>(re + k + 768);
    V d_im = vload<V>(im + k + 768);
    const V w_re = vload<V>(w1_re + k);
    const V w_im = vload<V>(w1_im + k);
    butterfly(a_re, a_im, b_re, b_im, w_re, w_im);
    butterfly(c_re, c_im, d_re, d_im, w_re, w_im);
    const V t_ac = c_re * vload<V>(w2_re + k) - c_im * vload<V>(w2_im + k);
    const V t_bd = d_re * vload<V>(w2_re + k + 256) - d_im * vload<V>(w2_im + k + 256);
    finish(k, a_re + t_ac);
    finish(k + 512, a_re - t_ac);
    finish(k + 256, b_re + t_bd);
    finish(k + 768, b_re - t_bd);
  }
}

// Windowed block (through the scratch row tmp) and its forward transform
// into re/im. The block is real: its imaginary parts are +0.
QUORVANE_WIDE void analyse(const float *ring, const float *window, unsigned pos, float *tmp,
                           float *re, float *im, const Twiddles &fwd) {
  window_input(tmp, ring, window, pos);
  fft_head<v8f>(
      [tmp](unsigned n, v8f &r, v8f &i) {
        r = vload<v8f>(tmp + n);
        i = v8f{};
      },
      re, im, fwd);
  fft_body(re, im, fwd, true);
}

// Inverse transform of the completed spectrum in spec_re/spec_im, through
// re/im, windowed and scaled for the overlap-add into out (which may be
// spec_re: the head reads all of it before anything is written there).
QUORVANE_WIDE void synthesise(const float *spec_re, const float *spec_im, float *re, float *im,
                              const Twiddles &inv, const float *window, float *out) {
  fft_head<v8f>(
      [spec_re, spec_im](unsigned n, v8f &r, v8f &i) {
        r = vload<v8f>(spec_re + n);
        i = vload<v8f>(spec_im + n);
      },
      re, im, inv);
  fft_body(re, im, inv, false);
  inverse_tail(re, im, inv, window, out);
}

void frame(Instance *self) {
  Instance::Scratch &s = self->scratch;
  if (!s.ready) { // a record that inst() did not prepare
    prepare_tables(self);
  }
  float *re = s.re;
  float *im = s.im;
  float *acc_re = s.acc_re;
  float *acc_im = s.acc_im;

  // Analysis, oldest sample first: pos is the oldest position in the ring.
  analyse(self->in_ring, self->window, self->pos, acc_re, re, im, s.fwd);

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
  // sincosf. That needs a phase that is not NaN (zero times NaN is NaN),
  // which a zero magnitude guarantees: a bin whose re or im is NaN has a NaN
  // magnitude (live or captured alike), the blur's mean over it includes it,
  // and the gate leaves a NaN alone.
  const int first = offset < 0 ? -offset : 0;
  const int last = offset > 0 ? static_cast<int>(bins) - 1 - offset : static_cast<int>(bins) - 1;
  const float *mag = self->mag;

  // Gated magnitudes by source bin, and whether any is zero.
  float *gated = s.gated;
  bool any_zero = false;
  {
    const v4f g = splat4(gate);
    const v4f zero = splat4(0.0f);
    typedef int v4i __attribute__((vector_size(16)));
    v4i zeros = {0, 0, 0, 0}; // lanes that met a zero: all bits set
    unsigned k = 0;
    for (; k + 4 <= bins; k += 4) {
      const v4f m = load4(mag + k);
      const v4f kept = m < g ? zero : m;
      zeros |= kept == zero;
      store4(gated + k, kept);
    }
    for (unsigned lane = 0; lane < 4; ++lane) {
      any_zero = any_zero || zeros[lane] != 0;
    }
    for (; k < bins; ++k) {
      gated[k] = mag[k] < gate ? 0.0f : mag[k];
      any_zero = any_zero || gated[k] == 0.0f;
    }
  }

  // Sines and cosines by source bin; a bin without a phase keeps (+0, +0)
  // there, and m * +0 is a zero that leaves its target at +0 as it must.
  // The calls run back to back, each independent of the others, which lets
  // the processor overlap them.
  float *sn = s.sn;
  float *cs = s.cs;
  float *phase = s.phase;
  if (!any_zero) {
    // Every bin in range needs its phase (the usual live frame).
    const float *phases = phase;
    if (self->frozen) {
      phases = self->frozen_phase;
    } else {
      for (int k = first; k <= last; ++k) {
        phase[k] = atan2f(im[k], re[k]);
      }
    }
    for (int k = first; k <= last; ++k) {
      sincosf(phases[k], sn + k, cs + k);
    }
  } else {
    // Only the listed bins, in increasing order.
    uint16_t *list = s.list;
    unsigned n = 0;
    for (int k = first; k <= last; ++k) {
      list[n] = static_cast<uint16_t>(k);
      n += gated[k] != 0.0f; // NaN included
    }
    if (self->frozen) {
      for (unsigned j = 0; j < n; ++j) {
        phase[j] = self->frozen_phase[list[j]];
      }
    } else {
      for (unsigned j = 0; j < n; ++j) {
        phase[j] = atan2f(im[list[j]], re[list[j]]);
      }
    }
    memset(sn, 0, sizeof s.sn);
    memset(cs, 0, sizeof s.cs);
    for (unsigned j = 0; j < n; ++j) {
      sincosf(phase[j], sn + list[j], cs + list[j]);
    }
  }
  // Each kept source k lands on k + offset: (+0, +0) + (m cos, m sin), four
  // bins at a time; the targets no source reaches stay (+0, +0).
  memset(acc_re, 0, bins * sizeof(float));
  memset(acc_im, 0, bins * sizeof(float));
  {
    const v4f zero = splat4(0.0f);
    int k = first;
    for (; k + 3 <= last; k += 4) {
      const v4f m = load4(gated + k);
      store4(acc_re + k + offset, zero + m * load4(cs + k));
      store4(acc_im + k + offset, zero + m * load4(sn + k));
    }
    for (; k <= last; ++k) {
      acc_re[k + offset] = 0.0f + gated[k] * cs[k];
      acc_im[k + offset] = 0.0f + gated[k] * sn[k];
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

  // Inverse transform, windowed and scaled, into acc_re.
  float *out = acc_re;
  synthesise(acc_re, acc_im, re, im, s.inv, self->window, out);
  overlap_add(self->out_ring, out, self->pos);
}

} // namespace
