// One hop of processing: analyse the latest block, reshape its spectrum,
// resynthesise it and overlap-add it into the output ring.
#pragma once

#include <math.h>
#include <string.h>

#include "dsp/accumulate.hpp"
#include "dsp/blur.hpp"
#include "dsp/channel.hpp"
#include "dsp/coherence.hpp"
#include "dsp/common.hpp"
#include "dsp/fft.hpp"
#include "dsp/freeze.hpp"
#include "dsp/shift_gate.hpp"
#include "dsp/simd.hpp"

namespace {

// Four Hann-squared windows a hop apart sum to 1.5; this gain (the float
// nearest 2/3) makes the neutral path an exact-as-rounding delay.
constexpr float overlap_gain = 0.6666667f;
constexpr float inverse_scale = 0.0009765625f;

// dst[i] = ring[(pos + i) & 1023] * window[i], for the positions that
// analyse() cannot window as it reads (the sample loop never gives them):
// with pos a multiple of four the ring still splits into two runs of whole
// vectors; any other pos takes the scalar way.
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
// multiplication in that order: emit(i, v) receives out[i..i+7], what frame()
// adds to the ring.
template <class Emit>
QUORVANE_INLINE void inverse_tail(const float *re, const float *im, const Twiddles &inv,
                                  const float *window, const Emit &emit) {
  typedef v8f V;
  constexpr unsigned lanes = sizeof(V) / sizeof(float);
  const float *w1_re = inv.re + 255;
  const float *w1_im = inv.im + 255;
  const float *w2_re = inv.re + 511;
  const float *w2_im = inv.im + 511;
  auto finish = [&emit, window](unsigned i, const V &x) {
    emit(i, ((x * inverse_scale) * vload<V>(window + i)) * overlap_gain);
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

// Windowed block and its forward transform into re/im. The block is real:
// its imaginary parts are +0. The sample loop only ever calls the frame with
// pos a multiple of the hop, so a run of eight samples from the ring never
// wraps and the transform windows them as it reads them; any other pos
// windows the block into the scratch row tmp first.
QUORVANE_WIDE void analyse(const float *ring, const float *window, unsigned pos, float *tmp,
                           float *re, float *im, const Twiddles &fwd) {
#if defined(QUORVANE_SCALAR) // 32-bit Arm: windowed as read
  (void)tmp;
  if (pos % hop_size == 0) { // always, from the sample loop
    // Each quarter of the block is one run of the ring: one address each.
    const float *quarter[4];
    for (unsigned q = 0; q < 4; ++q) {
      quarter[q] = ring + ((pos + q * hop_size) & ring_mask);
    }
    fft_head8_real(
        [&quarter, window](unsigned r, unsigned o) {
          return quarter[o / hop_size][r + o % hop_size] * window[r + o];
        },
        re, im, fwd);
  } else {
    fft_head8_real(
        [ring, window, pos](unsigned r, unsigned o) {
          return ring[(pos + r + o) & ring_mask] * window[r + o];
        },
        re, im, fwd);
  }
  fft_body_scalar(re, im, fwd, true);
  return;
#endif
  if (pos % 8 == 0) {
    fft_head<v8f>(
        [ring, window, pos](unsigned n, v8f &r, v8f &i) {
          r = vload<v8f>(ring + ((pos + n) & ring_mask)) * vload<v8f>(window + n);
          i = v8f{};
        },
        re, im, fwd);
  } else {
    window_input(tmp, ring, window, pos);
    fft_head<v8f>(
        [tmp](unsigned n, v8f &r, v8f &i) {
          r = vload<v8f>(tmp + n);
          i = v8f{};
        },
        re, im, fwd);
  }
  fft_body(re, im, fwd, true);
}

// Inverse transform of the spectrum whose bins 0..512 are in spec_re/spec_im,
// completed on the way in: point n above 512 is the conjugate of bin
// 1024 - n (bins 0 and 512 keep any imaginary part they gained; only the
// real part of the inverse reaches the output). Through re/im, windowed and
// scaled, overlap-added into the ring at pos. With pos a multiple of eight
// (always, from the sample loop) each run of eight outputs is added to the
// ring where it lands; otherwise they go through spec_re (the head reads all
// of it before the tail writes there).
QUORVANE_WIDE void synthesise(float *spec_re, const float *spec_im, float *re, float *im,
                              const Twiddles &inv, const float *window, float *ring, unsigned pos) {
#if defined(QUORVANE_SCALAR) // 32-bit Arm: added to the ring as computed
  auto mirrored = [spec_re, spec_im](unsigned n, float &r, float &i) {
    if (n <= 512) {
      r = spec_re[n];
      i = spec_im[n];
    } else {
      r = spec_re[block_size - n];
      i = -spec_im[block_size - n];
    }
  };
  fft_head8(mirrored, re, im, inv);
  fft_body_scalar(re, im, inv, false);
  if (pos % hop_size == 0) { // always, from the sample loop
    float *quarter[4];
    for (unsigned q = 0; q < 4; ++q) {
      quarter[q] = ring + ((pos + q * hop_size) & ring_mask);
    }
    fft_tail_real(re, im, inv, [&quarter, window](unsigned k, unsigned q, float x) {
      quarter[q][k] += ((x * inverse_scale) * window[k + q * hop_size]) * overlap_gain;
    });
  } else {
    fft_tail_real(re, im, inv, [window, ring, pos](unsigned k, unsigned q, float x) {
      const unsigned i = k + q * hop_size;
      float *r = ring + ((pos + i) & ring_mask);
      *r += ((x * inverse_scale) * window[i]) * overlap_gain;
    });
  }
  return;
#endif
  fft_head<v8f>(
      [spec_re, spec_im](unsigned n, v8f &r, v8f &i) {
        if (n < 512) {
          r = vload<v8f>(spec_re + n);
          i = vload<v8f>(spec_im + n);
          return;
        }
        // Lane l is bin 1024 - n - l: eight bins read from below, reversed.
        const unsigned from = block_size - 7 - n;
        r = reversed(vload<v8f>(spec_re + from));
        i = -reversed(vload<v8f>(spec_im + from));
        if (n == 512) { // lane 0 is bin 512 itself
          i[0] = spec_im[512];
        }
      },
      re, im, inv);
  fft_body(re, im, inv, false);
  if (pos % 8 == 0) {
    inverse_tail(re, im, inv, window, [ring, pos](unsigned i, const v8f &v) {
      float *r = ring + ((pos + i) & ring_mask);
      vstore(r, vload<v8f>(r) + v);
    });
  } else {
    inverse_tail(re, im, inv, window,
                 [spec_re](unsigned i, const v8f &v) { vstore(spec_re + i, v); });
    overlap_add(ring, spec_re, pos);
  }
}

// Magnitudes of bins 0..512 of re/im, each square root of re*re + im*im.
#if defined(QUORVANE_AVX_ONLY)
QUORVANE_AVX_ONLY void magnitudes_avx(const float *re, const float *im, float *mag) {
  for (unsigned k = 0; k < bins - 1; k += 8) {
    const __m256 r = _mm256_loadu_ps(re + k);
    const __m256 i = _mm256_loadu_ps(im + k);
    _mm256_storeu_ps(mag + k,
                     _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(r, r), _mm256_mul_ps(i, i))));
  }
  mag[bins - 1] = sqrtf(re[bins - 1] * re[bins - 1] + im[bins - 1] * im[bins - 1]);
}
#endif

QUORVANE_INLINE void magnitudes(const float *re, const float *im, float *mag) {
#if defined(QUORVANE_AVX_ONLY)
  if (__builtin_cpu_supports("avx")) { // the same roundings, eight at a time
    magnitudes_avx(re, im, mag);
    return;
  }
#endif
  for (unsigned k = 0; k < bins - 1; k += 4) {
    const v4f r = load4(re + k);
    const v4f i = load4(im + k);
    store4(mag + k, sqrt4(r * r + i * i));
  }
  mag[bins - 1] = sqrtf(re[bins - 1] * re[bins - 1] + im[bins - 1] * im[bins - 1]);
}

// One hop of one channel, with this frame's controls. The coherent plugins
// differ only in the phases: a held partial advances at the drift measured
// at its peak, and a shifted spectrum is turned by the quarter turns its move
// needs (dsp/coherence.hpp).
template <bool coherent = false> void frame(Channel &ch, const Controls &ctl) {
  Scratch &s = ch.scratch;
  if (!s.ready) { // a channel that prepare() did not see
    prepare_tables(ch);
  }

  // Analysis, oldest sample first (pos is the oldest position in the ring),
  // into re/im (through acc_re when pos is not a multiple of eight).
  analyse(ch.in_ring, ch.window, ch.pos, s.acc_re, s.re, s.im, s.fwd);

  const FreezeDecision held = decide_freeze(ctl.freeze, ch.prev_freeze, ch.frozen);
  if (held.capture) {
    capture_spectrum(s.re, s.im, ch.frozen_mag, ch.frozen_phase);
  }
  ch.frozen = held.frozen;
  ch.prev_freeze = ctl.freeze;

  const int offset = bin_offset(ctl.shift);
  const float *phases = ch.frozen ? ch.frozen_phase : nullptr; // null: live
  const uint8_t *turns = nullptr;
  if constexpr (coherent) {
    Hold &c = ch.hold;
    CoherentScratch &f = ch.coherent;
    if (ch.frozen) {
      hold_phases(c, f, held.capture, s.re, s.im, ch.frozen_phase, ch.frozen_mag);
      phases = f.phase;
    }
    if (turn_bins(c, f, offset, ch.frozen != 0)) {
      turns = f.turn;
    }
  }

  if (ch.frozen) {
    memcpy(ch.mag, ch.frozen_mag, sizeof ch.mag);
  } else {
    magnitudes(s.re, s.im, ch.mag);
  }

  blur_magnitudes(ch.mag, ch.blur_tmp, ctl.blur);

  const float gate = gate_level(ch.mag, ctl.threshold);

  // The reshaped bins, straight into the rows that the inverse reads.
  accumulate(s.re, s.im, ch.mag, phases, offset, gate, s.rows, s.acc_re, s.acc_im, turns);

  // Inverse transform of bins 0..512 and their mirror images, windowed and
  // scaled, overlap-added into the ring.
  synthesise(s.acc_re, s.acc_im, s.re, s.im, s.inv, ch.window, ch.out_ring, ch.pos);
}

// One hop of a coherent stereo pair: each channel keeps its own spectrum,
// and what is held (frequencies, phase advances) is decided from both
// together, symmetrically in left and right, so that equal channels stay
// equal bit for bit.
inline void frame_pair(Channel &left, Channel &right, const Controls &ctl) {
  frame<true>(left, ctl);
  frame<true>(right, ctl);
}

} // namespace
