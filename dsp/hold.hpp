// The coherent plugins' hold: a model of what was playing, measured on a
// long stretch of past input, played back partial by partial.
//
// A 1024-sample frame cannot tell apart partials closer than about two of
// its bins (94 Hz at 48 kHz), so the hold is not taken from it. Each channel
// keeps the last 8192 samples; when the switch goes on, a Hann-windowed
// transform of 8192 samples (5.9 Hz bins; 4096 after a fresh strike) is
// taken over the next few hops, its peaks become partials (frequency,
// amplitude and phase, each peak's offset from its bin read from its
// neighbours' magnitudes), and every held frame renders each partial into the
// frame's bins through the frame window's own kernel. Phases are 32-bit
// turns advanced by whole numbers each hop: exact, the same after an hour as
// in the first second, and the same bytes on every processor.
//
// A strike just before the press (a sudden rise of the input's level) would
// put the silence or the previous sound before it into the long window; then
// the analysis waits for up to 4096 samples after the strike, as long as the
// hold still begins within 100 ms of the press, and the frames meanwhile
// play the live input.
//
// The rooms: the data in dsp/hold_state.hpp, the long transform in
// dsp/long_transform.hpp, the strike detector in dsp/strike.hpp; here the
// analysis's course, the partials, the refinement and the rendering.
#pragma once

#include <math.h>
#include <stdint.h>
#include <string.h>

#include "dsp/common.hpp"
#include "dsp/hold_state.hpp"
#include "dsp/long_transform.hpp"
#include "dsp/simd.hpp"
#include "dsp/strike.hpp"

namespace {

// Complex value of the transform of a periodic Hann window of length n
// (n-point DFT, unnormalised) at x bins, in double.
inline void hann_transform(double x, double n, double *re, double *im) {
  *re = 0.0;
  *im = 0.0;
  const double weight[3] = {0.5, -0.25, -0.25};
  const double at[3] = {x, x - 1.0, x + 1.0};
  for (int t = 0; t < 3; ++t) {
    const double y = at[t];
    double s_re;
    double s_im;
    if (y == floor(y)) { // sum of e^(-2 pi i y m / n) over m: n or 0
      s_re = fmod(y, n) == 0.0 ? n : 0.0;
      s_im = 0.0;
    } else {
      const double mag = sin(M_PI * y) / sin(M_PI * y / n);
      const double arg = -M_PI * y * (n - 1.0) / n;
      s_re = mag * cos(arg);
      s_im = mag * sin(arg);
    }
    *re += weight[t] * s_re;
    *im += weight[t] * s_im;
  }
}

// The tables of the hold in `t`, their arrays in `mem` (table_array_bytes()),
// and how many hops a strike may be waited for: the hold must begin within
// 100 ms of the press (a press is seen up to 255 samples late; the short
// window is then taken, transformed over a few hops and its peaks found in
// three more).
inline void prepare_hold(HoldTables &t, float *mem, double rate) {
  t.octaves = hold_octaves(rate);
  t.long_size = 8192u << t.octaves;
  t.short_size = t.long_size / 2;
  t.long_hops = t.long_size / hop_size;
  t.before = 16u << t.octaves;
  t.watch = 5u << t.octaves;
  t.fade_frames = 8u << t.octaves;
  static const float fall[3] = {0.95f, 0.97467943f, 0.98725851f}; // 0.95 in 1024 samples at 48 kHz
  t.peak_fall = fall[t.octaves];
  const unsigned long_size = t.long_size;
  const unsigned short_size = t.short_size;
  t.long_window = mem;
  t.short_window = mem + long_size;
  t.tw_re = t.short_window + short_size + array_gap;
  t.tw_im = t.tw_re + long_size + array_gap;
  t.reverse = reinterpret_cast<uint16_t *>(t.tw_im + long_size + array_gap);
  for (unsigned i = 0; i < long_size; ++i) {
    t.long_window[i] = static_cast<float>(0.5 - 0.5 * cos(2.0 * M_PI * i / long_size));
  }
  for (unsigned i = 0; i < short_size; ++i) {
    t.short_window[i] = static_cast<float>(0.5 - 0.5 * cos(2.0 * M_PI * i / short_size));
  }
  for (unsigned h = 1; h < long_size; h <<= 1) {
    for (unsigned j = 0; j < h; ++j) {
      t.tw_re[h - 1 + j] = static_cast<float>(cos(-M_PI * j / h));
      t.tw_im[h - 1 + j] = static_cast<float>(sin(-M_PI * j / h));
    }
  }
  for (unsigned f = 0; f < kernel_steps; ++f) {
    for (int m = 0; m < 4; ++m) {
      double re;
      double im;
      hann_transform((m - 1) - f / static_cast<double>(kernel_steps), block_size, &re, &im);
      t.kernel_re[f][m] = static_cast<float>(re);
      t.kernel_im[f][m] = static_cast<float>(im);
    }
  }
  for (int w = 0; w < 2; ++w) {
    const double n = w == 0 ? long_size : short_size;
    for (int q = -128; q <= 128; ++q) {
      double re;
      double im;
      hann_transform(-q / 256.0, n, &re, &im);
      const double d = re * re + im * im;
      t.correct_re[w][q + 128] = static_cast<float>(re / d);
      t.correct_im[w][q + 128] = static_cast<float>(-im / d);
    }
    double sum = 0.0;
    const float *win = w == 0 ? t.long_window : t.short_window;
    for (unsigned i = 0; i < n; ++i) {
      sum += static_cast<double>(win[i]) * win[i];
    }
    t.window_power[w] = static_cast<float>(sum);
    for (unsigned j = 0; j < t.long_hops; ++j) {
      double tail = 0.0;
      for (unsigned i = j * hop_size; i < n; ++i) {
        tail += static_cast<double>(win[i]) * win[i];
      }
      t.tail_power[w][j] = static_cast<float>(tail);
    }
  }
  const unsigned bits = 13 + t.octaves;
  for (unsigned i = 0; i < long_size; ++i) {
    unsigned r = 0;
    for (unsigned b = 0; b < bits; ++b) {
      r |= ((i >> b) & 1u) << (bits - 1 - b);
    }
    t.reverse[i] = static_cast<uint16_t>(r);
  }
  for (unsigned i = 0; i < 256; ++i) {
    t.coarse_re[i] = static_cast<float>(cos(2.0 * M_PI * i / 256.0));
    t.coarse_im[i] = static_cast<float>(sin(2.0 * M_PI * i / 256.0));
    t.fine_re[i] = static_cast<float>(cos(2.0 * M_PI * i / 65536.0));
    t.fine_im[i] = static_cast<float>(sin(2.0 * M_PI * i / 65536.0));
  }
  if (!(rate >= 8000.0 && rate <= 1536000.0)) {
    rate = 48000.0;
  }
  const unsigned short_hops = short_size / hop_size;
  const double most = short_hops;
  const double busy =
      (take_parts(t) - 1) + stage_slices(short_size) + power_parts(t) + peak_parts(t);
  const double hops = floor((0.1 * rate - 255.0) / hop_size) - (busy + 1.0);
  t.late_hops = static_cast<uint32_t>(floor(0.1 * rate / hop_size));
  t.max_wait = hops < 0.0    ? 0u
               : hops > most ? static_cast<uint32_t>(most)
                             : static_cast<uint32_t>(hops);
}

// e^(2 pi i phase / 2^32), to 16 bits of the turn: two table entries and
// one complex product.
QUORVANE_INLINE void unit(const HoldTables &t, uint32_t phase, float *re, float *im) {
  const uint32_t n = (phase + 0x8000u) >> 16;
  const unsigned hi = (n >> 8) & 255;
  const unsigned lo = n & 255;
  *re = t.coarse_re[hi] * t.fine_re[lo] - t.coarse_im[hi] * t.fine_im[lo];
  *im = t.coarse_re[hi] * t.fine_im[lo] + t.coarse_im[hi] * t.fine_re[lo];
}

// unit() of four phases, lane by lane.
QUORVANE_INLINE void unit4(const HoldTables &t, const uint32_t *phase, v4f *re, v4f *im) {
  v4f c_re;
  v4f c_im;
  v4f f_re;
  v4f f_im;
  for (unsigned l = 0; l < 4; ++l) {
    const uint32_t n = (phase[l] + 0x8000u) >> 16;
    c_re[l] = t.coarse_re[(n >> 8) & 255];
    c_im[l] = t.coarse_im[(n >> 8) & 255];
    f_re[l] = t.fine_re[n & 255];
    f_im[l] = t.fine_im[n & 255];
  }
  *re = c_re * f_re - c_im * f_im;
  *im = c_re * f_im + c_im * f_re;
}

// The sum in double of re[k]^2 + im[k]^2 (im null: re[k]^2 alone) over
// bins 0..512: bin k < 512 in partial sum k % 4, the four added in pairs,
// then bin 512.
inline double sum_squares(const float *re, const float *im) {
  v4d sum = {0.0, 0.0, 0.0, 0.0};
  for (unsigned k = 0; k + 4 <= bins - 1; k += 4) {
    const v4f r = load4(re + k);
    const v4f p = im ? r * r + load4(im + k) * load4(im + k) : r * r;
    sum = sum + __builtin_convertvector(p, v4d);
  }
  const float r = re[bins - 1];
  const float p = im ? r * r + im[bins - 1] * im[bins - 1] : r * r;
  return ((sum[0] + sum[1]) + (sum[2] + sum[3])) + static_cast<double>(p);
}

// The next hop of input into the history, and its energy (four partial sums
// side by side, then added in pairs).
inline void push_history(Analysis &a, const HoldTables &t, const float *in_ring, uint32_t pos) {
  float *dst = a.history + static_cast<size_t>(a.at) * hop_size;
  const uint32_t from = (pos + block_size - hop_size) & ring_mask; // the newest hop
  v4f sum = splat4(0.0f);
  for (unsigned i = 0; i < hop_size; i += 4) {
    v4f x;
    if (((from + i) & ring_mask) + 4 <= block_size) {
      x = load4(in_ring + ((from + i) & ring_mask));
    } else {
      x = v4f{in_ring[(from + i) & ring_mask], in_ring[(from + i + 1) & ring_mask],
              in_ring[(from + i + 2) & ring_mask], in_ring[(from + i + 3) & ring_mask]};
    }
    store4(dst + i, x);
    sum = sum + x * x;
  }
  a.energy[a.at] = (sum[0] + sum[1]) + (sum[2] + sum[3]);
  a.at = (a.at + 1) & (t.long_hops - 1);
}

// Starts the analysis: without a strike in the last 8192 samples, those
// are analysed at once; with one, the 4096 samples from it on, waited for
// as long as the hold can still begin within 100 ms of the press
// (`elapsed` hops ago). With nothing but silence in the history it listens
// instead, and the first hop that sounds starts it as a press would.
inline void start_analysis(Analysis *const *a, unsigned n, const HoldTables &t, uint32_t elapsed) {
  const uint32_t long_hops = t.long_hops;
  const uint32_t short_hops = t.short_size / hop_size;
  bool sounded = false;
  for (unsigned h = 0; h < long_hops; ++h) {
    float e = 0.0f;
    for (unsigned c = 0; c < n; ++c) {
      e += a[c]->energy[h];
    }
    sounded = sounded || e > sounding_energy;
  }
  if (!sounded) { // nothing to hold yet: the first sound will be held from its strike
    for (unsigned c = 0; c < n; ++c) {
      a[c]->state = LISTENING;
    }
    return;
  }
  const int strike = find_strike(a, n, t);
  uint32_t length = t.long_size;
  uint32_t wait = 0;
  uint32_t skip = 0;
  if (strike >= 0) {
    length = t.short_size;
    const uint32_t after = long_hops - static_cast<uint32_t>(strike); // hops from the strike on
    const uint32_t most = t.max_wait > elapsed ? t.max_wait - elapsed : 0;
    if (after < short_hops) {
      wait = short_hops - after;
      wait = wait < most ? wait : most;
    }
    // What of the window comes before the strike does not count in its level.
    const uint32_t start = long_hops + wait - short_hops;
    skip = static_cast<uint32_t>(strike) > start ? static_cast<uint32_t>(strike) - start : 0;
  }
  for (unsigned c = 0; c < n; ++c) {
    a[c]->strike_age = strike >= 0 ? long_hops - 1 - static_cast<uint32_t>(strike) : 0;
    a[c]->refining = 0;
    a[c]->state = WAITING;
    a[c]->wait = wait;
    a[c]->length = length;
    a[c]->elapsed = elapsed;
    a[c]->struck = strike >= 0 ? 1 : 0;
    // A channel that sounded on through the other's strike keeps the
    // window's start in its level.
    const int own = n > 1 && skip > 0 ? strike_in(a + c, 1, t) : strike;
    a[c]->skip = own >= 0 && own + 2 >= strike ? skip : 0;
  }
}

// Part `p` of the window's samples, windowed, into re/im in their own
// order, and at the last part its mean square against the window's from
// the strike on (four partial sums in double side by side, sample i in sum
// i % 4, then added in pairs). The window ends with the hop of part 0; the
// parts go oldest first, so the history overwrites only what is taken.
inline void take_window(Analysis &a, const HoldTables &t, unsigned p) {
  const unsigned n = a.length;
  const unsigned long_size = t.long_size;
  const float *w = n == long_size ? t.long_window : t.short_window;
  const unsigned chunk = n >> t.octaves; // n / take_parts(t)
  if (p == 0) {
    a.first = (a.at * hop_size + long_size - n) & (long_size - 1); // oldest sample, whole hops
    a.late = a.refining == 1 && a.elapsed > t.late_hops ? 1 : 0;
    a.sums[0] = a.sums[1] = a.sums[2] = a.sums[3] = 0.0;
  }
  v4d sum = {a.sums[0], a.sums[1], a.sums[2], a.sums[3]};
  // The refinement's window goes in as the real part; the same window
  // ramped down from 1 to 0 over its length as the imaginary part, parted
  // after the transform (see split_transform).
  const bool ramp = a.refining == 1;
  const float slope = 1.0f / static_cast<float>(n);
  for (unsigned i = p * chunk; i < (p + 1) * chunk; i += 4) {
    const v4f x = load4(a.history + ((a.first + i) & (long_size - 1))) * load4(w + i);
    store4(a.re + i, x);
    const v4f at = {static_cast<float>(i), static_cast<float>(i + 1), static_cast<float>(i + 2),
                    static_cast<float>(i + 3)};
    store4(a.im + i, ramp ? x * (splat4(1.0f) - at * splat4(slope)) : splat4(0.0f));
    const v4d d = __builtin_convertvector(x, v4d);
    sum = sum + d * d;
  }
  for (unsigned l = 0; l < 4; ++l) {
    a.sums[l] = sum[l];
  }
  if (p + 1 == take_parts(t)) {
    a.mean_square =
        static_cast<float>(((sum[0] + sum[1]) + (sum[2] + sum[3])) /
                           static_cast<double>(t.tail_power[n == long_size ? 0 : 1][a.skip]));
    a.stage = 0;
    a.found = 0;
  }
}

// The transform Z of the refinement's window x (real part) and of x
// ramped down (imaginary part) parted into the two: X[k] = (Z[k] +
// conj Z[n-k]) / 2 in bin k's place, the ramped one's (Z[k] - conj Z[n-k])
// / 2i in bin n-k's (not needed for a real window). Bins 0 and n/2 keep
// their real parts.
inline void split_transform(Analysis &a, const HoldTables &t) {
  const unsigned n = a.length;
  const unsigned half = n / 2;
  for (unsigned k = 1; k < half; ++k) {
    const unsigned i = t.reverse[k];
    const unsigned j = t.reverse[n - k];
    const float z_re = a.re[i];
    const float z_im = a.im[i];
    const float m_re = a.re[j];
    const float m_im = a.im[j];
    a.re[i] = (z_re + m_re) * 0.5f;
    a.im[i] = (z_im - m_im) * 0.5f;
    a.re[j] = (z_im + m_im) * 0.5f;
    a.im[j] = (m_re - z_re) * 0.5f;
  }
  a.im[0] = 0.0f;
  a.im[1] = 0.0f; // bin n/2
}

// The summed power of partial p of n channels' holds.
inline float partial_power(Hold *const *h, unsigned n, unsigned p) {
  float x = 0.0f;
  for (unsigned c = 0; c < n; ++c) {
    x += h[c]->amp_re[p] * h[c]->amp_re[p] + h[c]->amp_im[p] * h[c]->amp_im[p];
  }
  return x;
}

// Whether the first hold of n channels (its partials in rising frequency,
// the strongest's power `strongest`) has one within a bin of its window of
// frequency v (in 256ths of a frame bin) no more than 20 dB weaker against
// the strongest than `power` against `top`.
inline bool had_partial(Hold *const *first, unsigned n, const HoldTables &t, uint32_t v,
                        float power, float top, float strongest) {
  const Hold &h = *first[0];
  const uint32_t reach = 64u >> t.octaves;
  unsigned lo = 0; // the first partial not below v - reach
  unsigned hi = h.count;
  while (lo < hi) {
    const unsigned mid = (lo + hi) >> 1;
    const uint32_t u = (static_cast<uint32_t>(h.bin[mid]) << 8) | h.frac[mid];
    if (u + reach < v) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  float near = 0.0f;
  for (unsigned p = lo;
       p < h.count && ((static_cast<uint32_t>(h.bin[p]) << 8) | h.frac[p]) <= v + reach; ++p) {
    const float x = partial_power(first, n, p);
    near = x > near ? x : near;
  }
  return near * 100.0f * top >= power * strongest;
}

// The partials of the transforms of n channels (a pair shares its peaks,
// frequencies and phase advances; each channel keeps its own amplitudes and
// phases), into their holds, over three hops: the summed power (`part` 0),
// the peaks of the lower half of the bins (1), then those of the upper half
// and the rest (2), after which the hold is ready from the next frame on. A peak is a bin of
// the summed power above both neighbours (ties go to the lower bin); its
// offset from the bin comes from the larger neighbour's magnitude against
// its own, as a Hann window's transform of one partial has them; the
// complex amplitude is the bin's value over the window's transform at that
// offset. The amplitudes are then scaled together so that the partials'
// power is the windowed input's.
inline void make_partials(Analysis *const *a, Hold *const *hold, unsigned n, const HoldTables &t,
                          unsigned part, Hold *const *first) {
  const unsigned size = a[0]->length;
  const unsigned half = size / 2;
  const unsigned drop = size == t.long_size ? 0 : 1; // one bit fewer reversed: shifted down
  const int w = size == t.long_size ? 0 : 1;
  const unsigned bits = 13 + t.octaves - drop; // log2 of the window's length
  float *power = a[0]->power;
  const unsigned powers = power_parts(t);
  if (part < powers) {
    // The transform's order read straight through, each power written to
    // its bin: bins below half sit at the even places, half at place 1.
    // Reading the places in bin order instead would jump about arrays too
    // large for the caches.
    const unsigned chunk = size >> power_bits(t);
    float top = part == 0 ? 0.0f : a[0]->top;
    for (unsigned at = part * chunk; at < (part + 1) * chunk; at += 2) {
      float p = 0.0f;
      for (unsigned c = 0; c < n; ++c) {
        p += a[c]->re[at] * a[c]->re[at] + a[c]->im[at] * a[c]->im[at];
      }
      power[t.reverse[at] >> drop] = p;
      top = p > top ? p : top;
    }
    if (part + 1 == powers) {
      float p = 0.0f;
      for (unsigned c = 0; c < n; ++c) {
        p += a[c]->re[1] * a[c]->re[1] + a[c]->im[1] * a[c]->im[1];
      }
      power[half] = p;
      top = p > top ? p : top;
    }
    a[0]->top = top;
    return;
  }
  const float floor_power = a[0]->top * 1e-12f;
  unsigned count = a[0]->found;
  // The refinement is weighed against the first hold where its window
  // reaches 100 ms past the press (below).
  const bool gate = a[0]->refining == 1 && a[0]->late && first != nullptr;
  if (part == powers) {
    a[0]->peaks_power = 0.0f;
    a[0]->late_power = 0.0f;
    a[0]->first_top = 0.0f;
    for (unsigned p = 0; gate && p < first[0]->count; ++p) {
      const float x = partial_power(first, n, p);
      a[0]->first_top = x > a[0]->first_top ? x : a[0]->first_top;
    }
  }
  const unsigned q = part - powers; // of the peaks' parts
  const unsigned from = q == 0 ? 1 : q * (half >> (t.octaves + 1));
  const unsigned to = q + 1 == peak_parts(t) ? half : (q + 1) * (half >> (t.octaves + 1));
  for (unsigned k = from; k < to && count < max_partials; ++k) {
    if (!(power[k] > power[k - 1] && power[k] >= power[k + 1] && power[k] > floor_power)) {
      continue;
    }
    const bool up = power[k + 1] >= power[k - 1];
    const float ratio = sqrtf(up ? power[k + 1] : power[k - 1]) / sqrtf(power[k]);
    float delta = (2.0f * ratio - 1.0f) / (ratio + 1.0f);
    delta = delta > 0.0f ? delta : 0.0f;
    delta = delta < 0.5f ? delta : 0.5f;
    const int q = static_cast<int>(lrintf(delta * 256.0f)) * (up ? 1 : -1);
    // Frequency in 256ths of a bin of this window; a frame bin is 2^(bits - 10)
    // of them, and a hop advances a partial by its frequency in frame bins
    // over four turns.
    const uint32_t u = static_cast<uint32_t>(k) * 256u + static_cast<uint32_t>(q);
    const uint32_t v = (u + (1u << (bits - 11))) >> (bits - 10); // in 256ths of a frame bin
    const uint32_t bin = v >> 8;
    if (bin >= bins) {
      continue;
    }
    const float c_re = t.correct_re[w][q + 128];
    const float c_im = t.correct_im[w][q + 128];
    const unsigned at = t.reverse[k] >> drop;
    // In the refinement, a partial that sounds only late in the window (a
    // note begun since the first hold) is held 40 dB down: its power under
    // the ramped window is under 0.0961 of its own (0.62 squared of a
    // quarter: a steady partial's is a quarter, a growing or dying one's
    // near it, and one that begins halfway through the window about 0.1).
    // Under 0.14 (0.75 squared of a quarter: a note begun near the window's
    // middle, or a swell's partial), the first hold must have had it: a
    // partial within a bin of its window no more than 20 dB weaker, against
    // the strongest of each hold. Only where the window reaches 100 ms past
    // the press: what began before is the sound pressed on.
    float keep = 1.0f;
    if (gate) {
      const unsigned late = t.reverse[size - k];
      float ramped = 0.0f;
      for (unsigned c = 0; c < n; ++c) {
        ramped += a[c]->re[late] * a[c]->re[late] + a[c]->im[late] * a[c]->im[late];
      }
      if (ramped < 0.0961f * power[k]) {
        keep = 0.01f;
      } else if (ramped < 0.140625f * power[k]) {
        keep = had_partial(first, n, t, v, power[k], a[0]->top, a[0]->first_top) ? 1.0f : 0.01f;
      }
      a[0]->peaks_power += power[k];
      a[0]->late_power += keep < 1.0f ? power[k] : 0.0f;
    }
    unsigned near[5] = {}; // bins k - 2 .. k + 2 (k - 1 for k - 2 at k = 1), for a pair
    for (unsigned j = 0; n > 1 && j < 5; ++j) {
      near[j] = t.reverse[k + j >= 3 ? k + j - 2 : 0] >> drop;
    }
    for (unsigned c = 0; c < n; ++c) {
      Hold &h = *hold[c];
      const float *re = a[c]->re;
      const float *im = a[c]->im;
      const float x_re = re[at];
      const float x_im = im[at];
      // In a pair, a channel holds a partial only where its own spectrum
      // peaks too, within a bin: elsewhere the bin holds the skirt of the
      // other channel's note in this one, not a note of its own.
      bool peak = n == 1;
      if (!peak) {
        float own[5];
        for (unsigned j = 0; j < 5; ++j) {
          own[j] = re[near[j]] * re[near[j]] + im[near[j]] * im[near[j]];
        }
        for (unsigned j = 1; j < 4; ++j) {
          peak = peak || (own[j] > own[j - 1] && own[j] >= own[j + 1]);
        }
      }
      h.amp_re[count] = peak ? (x_re * c_re - x_im * c_im) * keep : 0.0f;
      h.amp_im[count] = peak ? (x_re * c_im + x_im * c_re) * keep : 0.0f;
      h.step[count] = u << (32 - bits);
      h.bin[count] = static_cast<uint16_t>(bin);
      h.frac[count] = static_cast<uint8_t>(v & 255u);
    }
    ++count;
  }
  a[0]->found = count;
  if (q + 1 < peak_parts(t)) {
    return;
  }
  // The partials' power (twice each squared half amplitude) against the
  // input's, per channel; and their phase at the first held frame's first
  // sample, counted from the window's first.
  const uint32_t hops = a[0]->since + 1 + (size - block_size) / hop_size;
  // A sound that changed within the refinement's window (a tenth of its
  // peaks' power begun late: another chord) keeps the first hold.
  if (a[0]->refining == 1 && a[0]->late_power > 0.1f * a[0]->peaks_power) {
    for (unsigned c = 0; c < n; ++c) {
      a[c]->refining = 0;
    }
    return;
  }
  for (unsigned c = 0; c < n; ++c) {
    Hold &h = *hold[c];
    double sum = 0.0;
    for (unsigned p = 0; p < count; ++p) {
      sum += 2.0 * (static_cast<double>(h.amp_re[p]) * h.amp_re[p] +
                    static_cast<double>(h.amp_im[p]) * h.amp_im[p]);
    }
    const float gain = sum > 0.0 ? static_cast<float>(sqrt(a[c]->mean_square / sum)) : 0.0f;
    for (unsigned p = 0; p < count; ++p) {
      h.amp_re[p] = h.amp_re[p] * gain;
      h.amp_im[p] = h.amp_im[p] * gain;
      h.phase[p] = h.step[p] * hops;
    }
    h.count = count;
    h.ready = 1;
  }
}

// The long window that ends `last` hops after the strike (or the newest,
// if that has passed) awaited by n channels, for the refinement's step
// `refining`.
inline void await_long_window(Analysis *const *a, unsigned n, const HoldTables &t, uint32_t last,
                              uint32_t refining) {
  const uint32_t age = a[0]->strike_age;
  const uint32_t wait = age < last ? last - age : 0;
  for (unsigned c = 0; c < n; ++c) {
    a[c]->state = WAITING;
    a[c]->length = t.long_size;
    a[c]->skip = 0;
    a[c]->wait = wait;
    a[c]->refining = refining;
  }
}

// One hop of the analysis under way, for n channels in step.
inline void advance_analysis(Analysis *const *a, Hold *const *hold, unsigned n, const HoldTables &t,
                             Hold *const *first = nullptr) {
  Analysis &lead = *a[0];
  if (lead.state == LISTENING) { // the first sound since the press is one
    const unsigned newest = (lead.at + t.long_hops - 1) & (t.long_hops - 1);
    float e = 0.0f;
    for (unsigned c = 0; c < n; ++c) {
      e += a[c]->energy[newest];
    }
    if (!(e > sounding_energy)) {
      return;
    }
    start_analysis(a, n, t, 0);
  }
  // A strike just after a press (or seen late) replaces a window without one.
  if (lead.elapsed > 0 && lead.elapsed <= t.watch && !lead.struck && find_strike(a, n, t) >= 0) {
    start_analysis(a, n, t, lead.elapsed);
  }
  for (unsigned c = 0; c < n; ++c) {
    ++a[c]->elapsed;
  }
  switch (lead.state) {
  case WAITING:
    if (lead.wait > 0) {
      for (unsigned c = 0; c < n; ++c) {
        --a[c]->wait;
      }
      return;
    }
    for (unsigned c = 0; c < n; ++c) {
      take_window(*a[c], t, 0);
      a[c]->since = 0;
      a[c]->part = 1;
      a[c]->state = take_parts(t) > 1 ? TAKING : TRANSFORM;
    }
    return;
  case TAKING:
    for (unsigned c = 0; c < n; ++c) {
      take_window(*a[c], t, a[c]->part);
      ++a[c]->since;
      ++a[c]->part;
      a[c]->state = a[c]->part == take_parts(t) ? TRANSFORM : TAKING;
    }
    return;
  case TRANSFORM:
    for (unsigned c = 0; c < n; ++c) {
      Analysis &x = *a[c];
      long_slice(x.re, x.im, x.length, x.stage, t);
      ++x.stage;
      ++x.since;
      if (x.stage == stage_slices(x.length)) {
        x.state = x.refining == 3 || x.refining == 2 ? WEIGHING : x.refining == 1 ? SPLIT : PEAKS;
        x.part = 0;
      }
    }
    return;
  case SPLIT:
    for (unsigned c = 0; c < n; ++c) {
      split_transform(*a[c], t);
      ++a[c]->since;
      a[c]->state = PEAKS;
    }
    return;
  case PEAKS:
    for (unsigned c = 0; c < n; ++c) {
      ++a[c]->since;
    }
    make_partials(a, hold, n, t, lead.part, first);
    for (unsigned c = 0; c < n; ++c) {
      ++a[c]->part;
      a[c]->state = a[c]->part == power_parts(t) + peak_parts(t) ? IDLE : PEAKS;
    }
    if (lead.state == IDLE && lead.refining == 1) { // the refinement is made: fade to it
      // Meanwhile the long window that follows its window (from 187 ms
      // after the strike at 48 kHz) is taken on time and transformed, to
      // weigh the partials by how they go on once the fade is done: taken
      // later, it could hold what is played over the hold.
      await_long_window(a, n, t, 2 * t.long_hops + 1, 2);
      for (unsigned c = 0; c < n; ++c) {
        a[c]->fade = 0;
      }
    } else if (lead.state == IDLE && lead.struck && lead.length == t.short_size) {
      // A hold from the short window after a strike is refined by the
      // long one from three hops (16 ms at 48 kHz) after the strike, past
      // a hammer's or a pluck's thump, once the note has sounded that long.
      await_long_window(a, n, t, t.long_hops + 1, 1);
    }
    return;
  default: return;
  }
}

// What belongs to the attack only (a hammer's thump, a pluck's noise, the
// quickly dying upper partials) is not held as loud as what the note keeps.
// Each partial's power in the window after the refinement's (read at its
// frequency, as the peaks were) against its held power, over the same for
// all the partials together (or 1 where the sound grows), is how much
// faster than the sound it dies away; its amplitude is scaled by that ratio
// of powers, which holds it about where it will be half a second on.
// Partials within 12 dB of the strongest are kept as they are (they carry
// the notes, and beating partials dip and swell); below that, a partial may
// go down by 3.5 dB for each dB it lies further down (a fundamental a
// little under its second partial may die faster than the chord: it keeps
// most of its level), and to 24 dB under the strongest at most.
// Nothing is raised, and a sound that has died away (30 dB down) is held as
// it was. Into `next` with the hold's phases, to fade to.
inline void weigh_partials(Analysis *const *a, Hold *const *hold, Hold *const *next, unsigned n,
                           const HoldTables &t) {
  const unsigned up = 3 + t.octaves; // a frame bin is 2^up bins of the long window
  for (unsigned c = 0; c < n; ++c) {
    Analysis &x = *a[c];
    const Hold &h = *hold[c];
    Hold &w = *next[c];
    copy_partial_arrays(w, h, h.count);
    w.count = h.count;
    double held = 0.0;
    double later = 0.0;
    float top = 0.0f;
    for (unsigned p = 0; p < h.count; ++p) {
      const uint32_t u = ((static_cast<uint32_t>(h.bin[p]) << 8) | h.frac[p]) << up;
      const uint32_t k = (u + 128u) >> 8; // the nearest bin, and the offset from it
      const int q = static_cast<int>(u) - static_cast<int>(k << 8);
      const unsigned at = t.reverse[k];
      const float c_re = t.correct_re[0][q + 128];
      const float c_im = t.correct_im[0][q + 128];
      const float l2 = (x.re[at] * x.re[at] + x.im[at] * x.im[at]) * (c_re * c_re + c_im * c_im);
      const float a2 = h.amp_re[p] * h.amp_re[p] + h.amp_im[p] * h.amp_im[p];
      x.power[p] = l2;
      held += static_cast<double>(a2);
      later += static_cast<double>(l2);
      top = a2 > top ? a2 : top;
    }
    const bool died = !(later > held * 1e-3);
    const float scale = died ? 0.0f : later > held ? 1.0f : static_cast<float>(held / later);
    for (unsigned p = 0; p < h.count; ++p) {
      const float a2 = h.amp_re[p] * h.amp_re[p] + h.amp_im[p] * h.amp_im[p];
      float g = 1.0f;
      if (!died && a2 > 0.0f && a2 * 16.0f < top) {
        const float fall = x.power[p] * scale / a2;
        const float r = a2 / top; // the deepest it may go, against the strongest: r^3.5 * 1000
        float deepest = 1000.0f * (r * r * r) * sqrtf(r);
        deepest = deepest > 0.0039810717f ? deepest : 0.0039810717f;
        const float least = sqrtf(deepest / r);
        g = fall > least ? fall : least;
        g = g < 1.0f ? g : 1.0f;
      }
      w.amp_re[p] = h.amp_re[p] * g;
      w.amp_im[p] = h.amp_im[p] * g;
    }
    w.ready = 1;
    x.state = IDLE;
    x.refining = 4;
    x.fade = 0;
  }
}

// The held partials of `from` in place of those of `to` (which keeps its
// other fields): the refinement after its fade.
inline void take_partials(Hold &to, Hold &from) {
  copy_partial_arrays(to, from, from.count);
  to.count = from.count;
  from.ready = 0;
}

// Frames of the fade from the holds `from` to `to` of n channels: 43 ms
// where their power is within 1 dB, twice as long for each doubling of the
// difference in dB beyond that, up to 341 ms (from 4 dB; a slow attack
// first held quiet, then from more of its sound, can differ by 8 dB).
// Longer fades would move the level more gently, but the weighing waits
// for the fade's end, and a first hold's ghosts in the other channel of a
// pair would linger as long.
inline uint32_t fade_length(Hold *const *from, Hold *const *to, unsigned n, const HoldTables &t) {
  double a = 0.0;
  double b = 0.0;
  for (unsigned c = 0; c < n; ++c) {
    for (unsigned p = 0; p < from[c]->count; ++p) {
      a += static_cast<double>(from[c]->amp_re[p]) * from[c]->amp_re[p] +
           static_cast<double>(from[c]->amp_im[p]) * from[c]->amp_im[p];
    }
    for (unsigned p = 0; p < to[c]->count; ++p) {
      b += static_cast<double>(to[c]->amp_re[p]) * to[c]->amp_re[p] +
           static_cast<double>(to[c]->amp_im[p]) * to[c]->amp_im[p];
    }
  }
  uint32_t frames = t.fade_frames;
  if (a > 0.0 && b > 0.0) {
    const double ratio = a > b ? a / b : b / a;
    static const double most[3] = {1.2589254117941673, 1.5848931924611136, 2.5118864315095806};
    for (unsigned i = 0; i < 3 && ratio > most[i]; ++i) {
      frames <<= 1;
    }
  }
  return frames;
}

// Frame bins re/im (0..512) the share done / mix of the way to n_re/n_im
// (all of it from `mix` frames on), and the frame's power done / frames of
// the way from the one's to the other's in dB (linearly where either is
// silent): the two holds are the same notes but need not be in phase. What
// is held changes within `mix` frames (a first hold's wrong partials do not
// linger through a long fade); its level moves over all of them. `frames`
// is a power of two.
inline void cross_fade(float *re, float *im, const float *n_re, const float *n_im, uint32_t done,
                       uint32_t frames, uint32_t mix) {
  const float x = static_cast<float>(done) / static_cast<float>(frames);
  const float m = done >= mix ? 1.0f : static_cast<float>(done) / static_cast<float>(mix);
  const double from = sum_squares(re, im);
  const double to = sum_squares(n_re, n_im);
  const v4f keep = splat4(1.0f - m);
  const v4f share = splat4(m);
  for (unsigned k = 0; k < 516; k += 4) {
    store4(re + k, keep * load4(re + k) + share * load4(n_re + k));
    store4(im + k, keep * load4(im + k) + share * load4(n_im + k));
  }
  const double mixed = sum_squares(re, im);
  double want = (1.0 - static_cast<double>(x)) * from + static_cast<double>(x) * to;
  if (from > 0.0 && to > 0.0) {
    double step = to / from; // to the power 1 / frames, then to the power `done`
    for (uint32_t f = frames; f > 1; f >>= 1) {
      step = sqrt(step);
    }
    // By squaring (a fade may be 2048 frames at 192 kHz): the factors of
    // the bits of `done` from the lowest up, each the one before squared.
    double gain = 1.0;
    for (uint32_t d = done; d != 0; d >>= 1) {
      if ((d & 1u) != 0) {
        gain = gain * step;
      }
      step = step * step;
    }
    want = from * gain;
  }
  const v4f gain = splat4(mixed > 0.0 ? static_cast<float>(sqrt(want / mixed)) : 0.0f);
  for (unsigned k = 0; k < 516; k += 4) {
    store4(re + k, load4(re + k) * gain);
    store4(im + k, load4(im + k) * gain);
  }
}

// Rows of the rendering: partial p adds into row p % 4, so that partials
// next to each other never wait on each other's sums; bins 0..515.
struct RenderRows {
  float re[4][520];
  float im[4][520];
};

// The held partials into the frame's bins 0..512 (xr/xi), each through the
// frame window's kernel at its four nearest bins; below two bins a
// partial's mirror image at negative frequency reaches bins 0 and 1 too.
// Partial p goes into row p % 4, in order; the rows are then added,
// (row 0 + row 1) + (row 2 + row 3). Every phase then moves on by its step.
inline void render_hold(Hold &h, const HoldTables &t, RenderRows &rows, float *xr, float *xi) {
  memset(&rows, 0, sizeof rows);
  float z_re[4];
  float z_im[4];
  for (unsigned p0 = 0; p0 < h.count; p0 += 4) {
    // Four partials' values at this frame, side by side (past the last,
    // whatever the rows hold, never used).
    v4f e_re;
    v4f e_im;
    unit4(t, h.phase + p0, &e_re, &e_im);
    const v4f a_re = load4(h.amp_re + p0);
    const v4f a_im = load4(h.amp_im + p0);
    store4(z_re, a_re * e_re - a_im * e_im);
    store4(z_im, a_re * e_im + a_im * e_re);
    const unsigned end = h.count - p0 < 4 ? h.count - p0 : 4;
    if (end == 4) {
      typedef uint32_t v4u __attribute__((vector_size(16)));
      v4u ph;
      v4u st;
      memcpy(&ph, h.phase + p0, sizeof ph);
      memcpy(&st, h.step + p0, sizeof st);
      ph += st;
      memcpy(h.phase + p0, &ph, sizeof ph);
    } else {
      for (unsigned l = 0; l < end; ++l) {
        h.phase[p0 + l] += h.step[p0 + l];
      }
    }
#pragma GCC unroll 4
    for (unsigned l = 0; l < 4; ++l) {
      if (l >= end) {
        break;
      }
      const unsigned p = p0 + l;
      float *rr = rows.re[l];
      float *ri = rows.im[l];
      const unsigned b = h.bin[p];
      const float *k_re = t.kernel_re[h.frac[p]];
      const float *k_im = t.kernel_im[h.frac[p]];
      if (b >= 1) { // bins b-1..b+2
        const v4f kr = load4(k_re);
        const v4f ki = load4(k_im);
        const v4f zr = splat4(z_re[l]);
        const v4f zi = splat4(z_im[l]);
        store4(rr + b - 1, load4(rr + b - 1) + (zr * kr - zi * ki));
        store4(ri + b - 1, load4(ri + b - 1) + (zr * ki + zi * kr));
      } else {
        for (unsigned m = 1; m < 4; ++m) {
          rr[m - 1] = rr[m - 1] + (z_re[l] * k_re[m] - z_im[l] * k_im[m]);
          ri[m - 1] = ri[m - 1] + (z_re[l] * k_im[m] + z_im[l] * k_re[m]);
        }
      }
      // The mirror image, conj(z) times the kernel at t + f, which is the
      // conjugate of z times the kernel at -(t + f).
      for (unsigned m = 0; b + m <= 1; ++m) { // bin 1 - b - m
        const unsigned to = 1 - b - m;
        rr[to] = rr[to] + (z_re[l] * k_re[m] - z_im[l] * k_im[m]);
        ri[to] = ri[to] - (z_re[l] * k_im[m] + z_im[l] * k_re[m]);
      }
    }
  }
  for (unsigned k = 0; k < 516; k += 4) {
    store4(xr + k, (load4(rows.re[0] + k) + load4(rows.re[1] + k)) +
                       (load4(rows.re[2] + k) + load4(rows.re[3] + k)));
    store4(xi + k, (load4(rows.im[0] + k) + load4(rows.im[1] + k)) +
                       (load4(rows.im[2] + k) + load4(rows.im[3] + k)));
  }
}

} // namespace
