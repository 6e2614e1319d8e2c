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
#include "dsp/diffuse.hpp"
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
#if defined(QUORVANE_SCALAR) // one bin at a time: lanes only add copies without a vector unit
  for (unsigned k = 0; k < bins; ++k) {
    mag[k] = sqrt1(re[k] * re[k] + im[k] * im[k]);
  }
#else
  for (unsigned k = 0; k < bins - 1; k += 4) {
    const v4f r = load4(re + k);
    const v4f i = load4(im + k);
    store4(mag + k, sqrt4(r * r + i * i));
  }
  mag[bins - 1] = sqrtf(re[bins - 1] * re[bins - 1] + im[bins - 1] * im[bins - 1]);
#endif
}

// The blur's amount as the coherent plugins take it: 0 when off (absent,
// negative or at most 1e-4), else up to 1.
inline float blur_amount(float v) {
  v = v < 1.0f ? v : 1.0f;
  return v > 1e-4f ? v : 0.0f;
}

// The blurred bins' power against the unblurred ones' for the same level at
// the output: the blurred bins are drawn afresh every frame, so the four
// frames that overlap add up in power rather than in amplitude (through the
// synthesis window alone), where an unblurred partial's frames add up in
// amplitude through both windows.
constexpr float diffuse_power = 4.0f;

// How one channel's frame is blurred: the blur's magnitudes into ch.mag
// (from re/im, whose magnitudes ch.mag already holds when have_mag), how
// much of each bin is kept (keep) and the scale of the blurred part
// (spread), such that the frame's power stays as it was, the blurred
// magnitudes' power, and the channel's lean (its time within the frame,
// dsp/diffuse.hpp).
struct BlurPlan {
  float keep;
  float spread;
  double blurred;
  uint32_t lean;
};

inline BlurPlan plan_blur(Channel &ch, const float *re, const float *im, bool have_mag,
                          float blur) {
  const double power = sum_squares(re, im);
  if (!have_mag) {
    magnitudes(re, im, ch.mag);
  }
  const uint32_t lean = frame_lean(re, im, ch.mag);
  blur_magnitudes(ch.mag, ch.blur_tmp, blur);
  const double blurred = sum_squares(ch.mag, nullptr);
  const float share = blur_share(blur, power, blurred);
  return {sqrtf(1.0f - share),
          blurred > 0.0 ? static_cast<float>(sqrt(share * diffuse_power * power / blurred)) : 0.0f,
          blurred, lean};
}

// The coherent plugins' reshaping of a spectrum held as complex bins
// (re/im, source bins 0..512; changed in place) into the rows that the
// inverse reads: the blur (with a plan: each bin becomes keep of itself plus
// spread times the blurred magnitude at its angle in ch.co->scratch.turn,
// dsp/diffuse.hpp), the gate on the bins' magnitudes, and the shift, each
// moved bin turned by the shift's quarter turns.
inline void reshape_bins(Channel &ch, float *re, float *im, const BlurPlan *plan, float threshold,
                         int offset, float *acc_re, float *acc_im) {
  if (plan) {
    const uint8_t *angle = ch.co->scratch.turn;
    const HoldTables &t = *ch.co->tables;
    const float keep = plan->keep;
    const float spread = plan->spread;
    const v4f k4 = splat4(keep);
    const v4f s4 = splat4(spread);
    unsigned k = 0;
    for (; k + 4 <= bins; k += 4) {
      v4f c;
      v4f n;
      for (unsigned l = 0; l < 4; ++l) {
        c[l] = t.coarse_re[angle[k + l]];
        n[l] = t.coarse_im[angle[k + l]];
      }
      const v4f m = s4 * load4(ch.mag + k);
      store4(re + k, k4 * load4(re + k) + m * c);
      store4(im + k, k4 * load4(im + k) + m * n);
    }
    for (; k < bins; ++k) {
      const float m = spread * ch.mag[k];
      re[k] = keep * re[k] + m * t.coarse_re[angle[k]];
      im[k] = keep * im[k] + m * t.coarse_im[angle[k]];
    }
  }
  if (threshold > 0.0f) {
    magnitudes(re, im, ch.mag);
    const float gate = gate_level(ch.mag, threshold);
    const v4f level = splat4(gate);
    const v4f zero = splat4(0.0f);
    unsigned k = 0;
    for (; k + 4 <= bins; k += 4) {
      const v4i below = load4(ch.mag + k) < level;
      store4(re + k, below ? zero : load4(re + k));
      store4(im + k, below ? zero : load4(im + k));
    }
    for (; k < bins; ++k) {
      if (ch.mag[k] < gate) {
        re[k] = 0.0f;
        im[k] = 0.0f;
      }
    }
  }
  // The move, each bin turned by r quarter turns: 1 gives (-im, re), 2
  // (-re, -im), 3 (im, -re); negation flips the sign bit only.
  const int first = offset < 0 ? -offset : 0;
  const int last = offset > 0 ? static_cast<int>(bins) - 1 - offset : static_cast<int>(bins) - 1;
  memset(acc_re, 0, bins * sizeof(float));
  memset(acc_im, 0, bins * sizeof(float));
  const uint32_t r = ch.co->hold.shift_turns;
  const float *from_re = (r & 1) ? im : re;
  const float *from_im = (r & 1) ? re : im;
  const v4f sign_re = splat4(r == 1 || r == 2 ? -1.0f : 1.0f);
  const v4f sign_im = splat4(r >= 2 ? -1.0f : 1.0f);
  const v4i flip_re = reinterpret_cast<v4i>(sign_re) & splat4i(static_cast<int>(0x80000000u));
  const v4i flip_im = reinterpret_cast<v4i>(sign_im) & splat4i(static_cast<int>(0x80000000u));
  int k = first;
  for (; k + 3 <= last; k += 4) {
    const v4i x = reinterpret_cast<v4i>(load4(from_re + k)) ^ flip_re;
    const v4i y = reinterpret_cast<v4i>(load4(from_im + k)) ^ flip_im;
    store4(acc_re + k + offset, reinterpret_cast<v4f>(x));
    store4(acc_im + k + offset, reinterpret_cast<v4f>(y));
  }
  for (; k <= last; ++k) {
    const float x = re[k];
    const float y = im[k];
    acc_re[k + offset] = r == 0 ? x : r == 1 ? -y : r == 2 ? -x : y;
    acc_im[k + offset] = r == 0 ? y : r == 1 ? x : r == 2 ? -y : -x;
  }
}

// One hop of the coherent plugins for n channels (1, or 2 for a stereo
// pair) in step: the same controls, the same decisions, the hold's analysis
// made from all of them together and the blur's random angles those of
// the first channel's clock, so that equal channels stay equal bit for bit. Live, unblurred frames
// are the first plugin's, but for the shift's quarter turns.
inline void coherent_frames(Channel *const *chs, unsigned n, const Controls &ctl) {
  Analysis *a[2];
  Hold *h[2];
  Hold *next[2];
  bool capture = false;
  for (unsigned c = 0; c < n; ++c) {
    Channel &ch = *chs[c];
    if (!ch.scratch.ready) {
      prepare_tables(ch);
    }
    Scratch &s = ch.scratch;
    const FreezeDecision held = decide_freeze(ctl.freeze, ch.prev_freeze, ch.frozen);
    ch.frozen = held.frozen;
    ch.prev_freeze = ctl.freeze;
    capture = held.capture;
    Coherent &co = *ch.co;
    const HoldTables &t = *co.tables;
    push_history(co.analysis, t, ch.in_ring, ch.pos);
    ++co.analysis.strike_age;
    a[c] = &co.analysis;
    h[c] = &co.hold;
    next[c] = &co.next;
    if (capture || !ch.frozen) {
      co.hold.ready = 0;
      co.analysis.state = IDLE;
      co.analysis.refining = 0;
    }
    // Held: no live spectrum, nothing live is new.
    if (ch.frozen && co.hold.ready) {
      const unsigned slot = (co.analysis.at + t.long_hops - 1) & (t.long_hops - 1);
      co.analysis.risen[slot] = 0.0f;
      co.analysis.power_all[slot] = 0.0f;
    } else { // the live spectrum, its magnitudes, and how much of them is new
      analyse(ch.in_ring, ch.window, ch.pos, s.acc_re, s.re, s.im, s.fwd);
      magnitudes(s.re, s.im, ch.mag);
      note_rise(co.analysis, t, ch.mag);
    }
  }
  const HoldTables &t = *chs[0]->co->tables;
  if (capture) {
    start_analysis(a, n, t, 0);
  }
  const bool playing = chs[0]->frozen && h[0]->ready;
  if (chs[0]->frozen && !playing) {
    advance_analysis(a, h, n, t);
  } else if (playing && a[0]->refining == 1) {
    advance_analysis(a, next, n, t, h);
  } else if (playing && a[0]->refining == 2 && a[0]->state != WEIGHING) {
    // The window after the refinement's, taken while the fade goes on.
    advance_analysis(a, next, n, t);
  } else if (playing && a[0]->refining == 3) { // the window after the refinement's, a hop a part
    if (a[0]->state == WEIGHING) {
      weigh_partials(a, h, next, n, t);
    } else {
      advance_analysis(a, next, n, t);
    }
  }
  const bool fading = playing && (a[0]->refining == 2 || a[0]->refining == 4);
  if (fading && a[0]->fade == 0) {
    const uint32_t frames = fade_length(h, next, n, t);
    for (unsigned c = 0; c < n; ++c) {
      a[c]->fade_length = frames;
    }
  }

  const int offset = bin_offset(ctl.shift);
  const float blur = blur_amount(ctl.blur);
  const uint32_t clock = h[0]->noise;
  for (unsigned c = 0; c < n; ++c) {
    ++h[c]->noise;
  }
  BlurPlan plan[2];
  double blurred = 0.0;
  for (unsigned c = 0; c < n; ++c) {
    Channel &ch = *chs[c];
    Scratch &s = ch.scratch;
    Coherent &co = *ch.co;
    co.hold.shift_turns = shift_turns_after(co.hold.shift_turns, offset);
    if (playing) {
      RenderRows &rows = *reinterpret_cast<RenderRows *>(co.scratch.rows);
      render_hold(co.hold, t, rows, s.re, s.im);
      if (fading) {
        render_hold(co.next, t, rows, s.acc_re, s.acc_im);
        cross_fade(s.re, s.im, s.acc_re, s.acc_im, a[0]->fade + 1, a[0]->fade_length,
                   t.fade_frames);
      }
    }
    if (blur > 0.0f) {
      plan[c] = plan_blur(ch, s.re, s.im, !playing, blur);
      blurred += plan[c].blurred;
    }
  }
  // One sweep for all the channels, from their summed blurred power, each
  // channel leaning it by its own time: a pair's channels keep what differs
  // between them whatever they play.
  if (blur > 0.0f) {
    const float *const mags[2] = {chs[0]->mag, chs[n - 1]->mag};
    const uint32_t lean[2] = {plan[0].lean, plan[n - 1].lean};
    uint8_t *const angle[2] = {chs[0]->co->scratch.turn, chs[n - 1]->co->scratch.turn};
    sweep_angles(mags, n, clock, blurred > 0.0 ? 4294967295.0 / blurred : 0.0, lean, angle);
  }
  for (unsigned c = 0; c < n; ++c) {
    Channel &ch = *chs[c];
    Scratch &s = ch.scratch;
    Coherent &co = *ch.co;
    if (playing || blur > 0.0f) {
      reshape_bins(ch, s.re, s.im, blur > 0.0f ? &plan[c] : nullptr, ctl.threshold, offset,
                   s.acc_re, s.acc_im);
    } else {
      // The first plugin's live frame (its blur is off), the quarter turns
      // of the shift on top.
      const uint8_t *turns = nullptr;
      if (co.hold.shift_turns != 0) {
        memset(co.scratch.turn, static_cast<int>(co.hold.shift_turns), sizeof co.scratch.turn);
        turns = co.scratch.turn;
      }
      const float gate = gate_level(ch.mag, ctl.threshold);
      accumulate(s.re, s.im, ch.mag, nullptr, offset, gate, s.rows, s.acc_re, s.acc_im, turns);
    }
    synthesise(s.acc_re, s.acc_im, s.re, s.im, s.inv, ch.window, ch.out_ring, ch.pos);
  }
  if (fading && ++a[0]->fade == a[0]->fade_length) {    // the refinement is the hold from now on
    const uint32_t after = a[0]->refining == 2 ? 3 : 0; // then weighed, its window under way
    for (unsigned c = 0; c < n; ++c) {
      take_partials(*h[c], *next[c]);
      a[c]->refining = after;
    }
  }
}

// One hop of one channel, with this frame's controls. The coherent plugins
// hold a model of what was playing (dsp/hold.hpp) and turn a shifted
// spectrum by the quarter turns its move needs (dsp/coherence.hpp).
template <bool coherent = false> void frame(Channel &ch, const Controls &ctl) {
  if constexpr (coherent) {
    Channel *const chs[1] = {&ch};
    coherent_frames(chs, 1, ctl);
    return;
  }
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

  if (ch.frozen) {
    memcpy(ch.mag, ch.frozen_mag, sizeof ch.mag);
  } else {
    magnitudes(s.re, s.im, ch.mag);
  }

  blur_magnitudes(ch.mag, ch.blur_tmp, ctl.blur);

  const float gate = gate_level(ch.mag, ctl.threshold);

  // The reshaped bins, straight into the rows that the inverse reads.
  accumulate(s.re, s.im, ch.mag, phases, offset, gate, s.rows, s.acc_re, s.acc_im);

  // Inverse transform of bins 0..512 and their mirror images, windowed and
  // scaled, overlap-added into the ring.
  synthesise(s.acc_re, s.acc_im, s.re, s.im, s.inv, ch.window, ch.out_ring, ch.pos);
}

// One hop of a coherent stereo pair: each channel keeps its own spectrum;
// what is held (the partials' frequencies and phase advances) comes from
// both together, symmetrically in left and right, and the blur turns both
// by the same angles, so the stereo image is held and equal channels stay
// equal bit for bit.
// With freeze off, shift 0 and blur 0 each channel is frame<true>'s.
inline void frame_pair(Channel &left, Channel &right, const Controls &ctl) {
  Channel *const chs[2] = {&left, &right};
  coherent_frames(chs, 2, ctl);
}

} // namespace
