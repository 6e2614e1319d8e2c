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
// Blur on these plugins spreads energy in frequency: the blurred magnitudes
// get phases of their own, each bin advancing at its centre frequency with a
// small random walk, so that a tone turns into a band of noise-like partials
// (dsp/frame.hpp mixes them with the unblurred bins).
#pragma once

#include <math.h>
#include <stdint.h>
#include <string.h>

#include "dsp/common.hpp"
#include "dsp/simd.hpp"

namespace {

constexpr unsigned long_size = 8192;  // longest analysis, and the history kept
constexpr unsigned short_size = 4096; // the analysis after a fresh strike
constexpr unsigned long_hops = long_size / hop_size;
constexpr unsigned max_partials = long_size / 4; // peaks of 4096 bins, never adjacent
constexpr unsigned kernel_steps = 256;           // fractional positions of a partial in its bin
constexpr unsigned strike_rise = 8;              // a hop this many times louder than those before
constexpr unsigned watch_hops = 5; // after a press, hops in which a strike still counts

// Everything a held sound needs to go on, in plain fixed-layout data (no
// pointers, nothing wider than 32 bits), so that its bytes mean the same on
// every processor and a saved hold can be restored (check it with
// hold_valid() first).
struct Hold {
  uint32_t ready;             // 1: the partials are the held sound
  uint32_t count;             // partials in use
  uint32_t shift_turns;       // the shift's quarter turns since its offset was last 0, mod 4
  uint32_t noise;             // state of the blur's random walk (xorshift)
  float amp_re[max_partials]; // half the amplitude, at the partial's phase 0
  float amp_im[max_partials];
  uint32_t phase[max_partials]; // at the next frame's first sample, 2^32 a turn
  uint32_t step[max_partials];  // advance per hop: frequency in frame bins times 2^30
  uint16_t bin[max_partials];   // frame bin at or below the frequency
  uint8_t frac[max_partials];   // the rest, in 256ths of a bin
  uint32_t diffuse[bins];       // the blur's phases, 2^32 a turn
};

// Tables of an instance, filled by prepare_hold().
struct HoldTables {
  float long_window[long_size]; // periodic Hann of 8192, and of 4096
  float short_window[short_size];
  float tw_re[long_size - 1]; // e^(-i pi j / h) of the stage with half-length h at h - 1 + j
  float tw_im[long_size - 1];
  float kernel_re[kernel_steps][4]; // the frame window's transform at bins b-1..b+2 of a
  float kernel_im[kernel_steps][4]; // partial at b + frac/256, per unit complex amplitude
  float correct_re[2][257];         // 1 / the long window's transform at -q/256 bins
  float correct_im[2][257];         // ([0] 8192, [1] 4096), q = -128..128
  float coarse_re[256];             // e^(2 pi i n / 256)
  float coarse_im[256];
  float fine_re[256]; // e^(2 pi i n / 65536)
  float fine_im[256];
  float window_power[2];       // sum of the squared window, 8192 and 4096
  uint16_t reverse[long_size]; // i with its 13 bits reversed
  uint32_t max_wait;           // hops a strike may be waited for, from the sample rate
  uint32_t pad;
};

// The past input and the analysis under way (nothing a hold needs once made).
struct Analysis {
  float history[long_size];   // the last 8192 samples, hop by hop
  float energy[long_hops];    // sum of squares of each hop in history
  float risen[long_hops];     // power of the frame ending with that hop in bins that rose 6 dB,
  float power_all[long_hops]; // and in all its bins
  float peak_mag[bins];       // each bin's recent peak, falling by 0.95 a hop
  float re[long_size];        // the window, then its transform
  float im[long_size];
  float power[long_size / 2 + 1]; // squared magnitudes (of both channels of a pair)
  float mean_square;              // the windowed input's, against the window's
  uint32_t at;                    // hop slot of the next hop in history
  uint32_t state;                 // what the next frame does (below)
  uint32_t wait;                  // hops still to wait before the window ends
  uint32_t length;                // of the window: 8192 or 4096
  uint32_t since;                 // hops since the window ended
  uint32_t stage;                 // next stage of the transform
  uint32_t elapsed;               // hops since the press
  uint32_t struck;                // the window starts at a strike
};

enum AnalysisState : uint32_t { IDLE = 0, WAITING = 1, TRANSFORM = 2, PEAKS = 3 };

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

// The tables of the hold, and how many hops a strike may be waited for: the
// hold must begin within 100 ms of the press (a press is seen up to 255
// samples late, and the analysis of 4096 samples takes four hops more).
inline void prepare_hold(HoldTables &t, double rate) {
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
  }
  for (unsigned i = 0; i < long_size; ++i) {
    unsigned r = 0;
    for (unsigned b = 0; b < 13; ++b) {
      r |= ((i >> b) & 1u) << (12 - b);
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
  const double hops = floor((0.1 * rate - 255.0) / hop_size) - 4.0;
  t.max_wait = hops < 0.0 ? 0u : hops > 16.0 ? 16u : static_cast<uint32_t>(hops);
}

// Whether a hold from elsewhere (a saved state) can be played: every value
// finite, every index and counter in range, so that no corrupt hold can give
// a NaN or reach outside an array.
inline bool hold_valid(const Hold &h) {
  if (h.ready > 1 || h.count > max_partials || h.shift_turns > 3) {
    return false;
  }
  for (unsigned p = 0; p < h.count; ++p) {
    if (!(fabsf(h.amp_re[p]) <= 1e15f) || !(fabsf(h.amp_im[p]) <= 1e15f) || h.bin[p] >= bins) {
      return false;
    }
  }
  return true;
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

// The next hop of input into the history, and its energy (four partial sums
// side by side, then added in pairs).
inline void push_history(Analysis &a, const float *in_ring, uint32_t pos) {
  float *dst = a.history + a.at * hop_size;
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
  a.at = (a.at + 1) % long_hops;
}

// How much of this live frame is new: its power in bins more than twice
// as strong (6 dB) as their recent peak, and its power in all, stored with
// the hop just pushed (four partial sums side by side, then added in
// pairs). A recent peak rather than the last frame: close partials beat,
// and their bins rise and fall from frame to frame while nothing is new.
inline void note_rise(Analysis &a, const float *mag) {
  v4f up = splat4(0.0f);
  v4f all = splat4(0.0f);
  const v4f zero = splat4(0.0f);
  for (unsigned k = 0; k + 4 <= bins; k += 4) {
    const v4f m = load4(mag + k);
    const v4f sq = m * m;
    const v4f peak = load4(a.peak_mag + k);
    up = up + (m > peak * 2.0f ? sq : zero);
    all = all + sq;
    const v4f fallen = peak * 0.95f;
    store4(a.peak_mag + k, m > fallen ? m : fallen);
  }
  const float m = mag[bins - 1];
  const float sq = m * m;
  const float peak = a.peak_mag[bins - 1];
  const unsigned slot = (a.at + long_hops - 1) % long_hops;
  a.risen[slot] = ((up[0] + up[1]) + (up[2] + up[3])) + (m > peak * 2.0f ? sq : 0.0f);
  a.power_all[slot] = ((all[0] + all[1]) + (all[2] + all[3])) + sq;
  a.peak_mag[bins - 1] = m > peak * 0.95f ? m : peak * 0.95f;
}

// The hop of the latest strike in the history of n channels (0 the
// oldest), or -1: a hop 8 times as loud as each of the sixteen before it, or
// the first of frames with 30 % of their power newly risen, which see a
// strike about two hops after it came (the frame's window is low at its
// end).
inline int find_strike(Analysis *const *a, unsigned n) {
  float e[long_hops];
  float up[long_hops];
  float all[long_hops];
  for (unsigned h = 0; h < long_hops; ++h) { // oldest first
    const unsigned slot = (a[0]->at + h) % long_hops;
    e[h] = 0.0f;
    up[h] = 0.0f;
    all[h] = 0.0f;
    for (unsigned c = 0; c < n; ++c) {
      e[h] += a[c]->energy[slot];
      up[h] += a[c]->risen[slot];
      all[h] += a[c]->power_all[slot];
    }
  }
  int strike = -1;
  for (unsigned h = 2; h < long_hops; ++h) {
    float before = 0.0f;
    for (unsigned j = h >= 16 ? h - 16 : 0; j < h; ++j) {
      before = e[j] > before ? e[j] : before;
    }
    if (e[h] > 1e-9f && e[h] > static_cast<float>(strike_rise) * before) {
      strike = static_cast<int>(h);
    }
    const bool rising = all[h] > 1e-9f && up[h] >= 0.3f * all[h];
    const bool was = all[h - 1] > 1e-9f && up[h - 1] >= 0.3f * all[h - 1];
    if (rising && !was && static_cast<int>(h) - 2 > strike) {
      strike = static_cast<int>(h) - 2;
    }
  }
  return strike;
}

// Starts the analysis: without a strike in the last 8192 samples, those
// are analysed at once; with one, the 4096 samples from it on, waited for
// as long as the hold can still begin within 100 ms of the press
// (`elapsed` hops ago).
inline void start_analysis(Analysis *const *a, unsigned n, const HoldTables &t, uint32_t elapsed) {
  const int strike = find_strike(a, n);
  uint32_t length = long_size;
  uint32_t wait = 0;
  if (strike >= 0) {
    length = short_size;
    const uint32_t after = long_hops - static_cast<uint32_t>(strike); // hops from the strike on
    const uint32_t most = t.max_wait > elapsed ? t.max_wait - elapsed : 0;
    if (after < short_size / hop_size) {
      wait = short_size / hop_size - after;
      wait = wait < most ? wait : most;
    }
  }
  for (unsigned c = 0; c < n; ++c) {
    a[c]->state = WAITING;
    a[c]->wait = wait;
    a[c]->length = length;
    a[c]->elapsed = elapsed;
    a[c]->struck = strike >= 0 ? 1 : 0;
  }
}

// The window's samples, windowed and in bit-reversed order, into re/im, and
// its mean square against the window's.
inline void take_window(Analysis &a, const HoldTables &t) {
  const unsigned n = a.length;
  const float *w = n == long_size ? t.long_window : t.short_window;
  const unsigned drop = n == long_size ? 0 : 1; // 12 bits reversed are 13 shifted down
  const unsigned first = (a.at * hop_size + long_size - n) % long_size; // oldest sample
  double sum = 0.0;
  for (unsigned i = 0; i < n; ++i) {
    const float x = a.history[(first + i) % long_size] * w[i];
    const unsigned r = t.reverse[i] >> drop;
    a.re[r] = x;
    a.im[r] = 0.0f;
    sum += static_cast<double>(x) * x;
  }
  a.mean_square = static_cast<float>(sum / t.window_power[n == long_size ? 0 : 1]);
  a.stage = 0;
}

// Stages `from` to `to` - 1 of the transform of the bit-reversed rows
// re/im, in place; stage s has half-length 2^s. Four butterflies at a time
// from half-length 4 on, each lane doing what the scalar loop does.
inline void long_stages(float *re, float *im, unsigned n, unsigned from, unsigned to,
                        const HoldTables &t) {
  for (unsigned s = from; s < to; ++s) {
    const unsigned h = 1u << s;
    const float *wr = t.tw_re + h - 1;
    const float *wi = t.tw_im + h - 1;
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
          const v4f t_re = v_re * w_re - v_im * w_im;
          const v4f t_im = v_re * w_im + v_im * w_re;
          store4(re + b + j, u_re + t_re);
          store4(im + b + j, u_im + t_im);
          store4(re + b + j + h, u_re - t_re);
          store4(im + b + j + h, u_im - t_im);
        }
      }
      for (; j < h; ++j) {
        const float v_re = re[b + j + h];
        const float v_im = im[b + j + h];
        const float t_re = v_re * wr[j] - v_im * wi[j];
        const float t_im = v_re * wi[j] + v_im * wr[j];
        const float u_re = re[b + j];
        const float u_im = im[b + j];
        re[b + j] = u_re + t_re;
        im[b + j] = u_im + t_im;
        re[b + j + h] = u_re - t_re;
        im[b + j + h] = u_im - t_im;
      }
    }
  }
}

// Stages per hop: about 16384 butterflies, so that no hop carries much more
// than a live frame's work.
inline unsigned stages_per_hop(unsigned n) { return n == long_size ? 4 : 6; }
inline unsigned stage_count(unsigned n) { return n == long_size ? 13 : 12; }

// The partials of the transforms of n channels (a pair shares its peaks,
// frequencies and phase advances; each channel keeps its own amplitudes and
// phases), into their holds, ready from the next frame on. A peak is a bin
// of the summed power above both neighbours (ties go to the lower bin); its
// offset from the bin comes from the larger neighbour's magnitude against
// its own, as a Hann window's transform of one partial has them; the
// complex amplitude is the bin's value over the window's transform at that
// offset. The amplitudes are then scaled together so that the partials'
// power is the windowed input's.
inline void make_partials(Analysis *const *a, Hold *const *hold, unsigned n, const HoldTables &t) {
  const unsigned size = a[0]->length;
  const unsigned half = size / 2;
  const int w = size == long_size ? 0 : 1;
  const uint32_t scale = long_size / size; // long bins per bin of this window
  float *power = a[0]->power;
  for (unsigned k = 0; k <= half; ++k) {
    float p = 0.0f;
    for (unsigned c = 0; c < n; ++c) {
      p += a[c]->re[k] * a[c]->re[k] + a[c]->im[k] * a[c]->im[k];
    }
    power[k] = p;
  }
  float top = 0.0f;
  for (unsigned k = 0; k <= half; ++k) {
    top = power[k] > top ? power[k] : top;
  }
  const float floor_power = top * 1e-12f;
  unsigned count = 0;
  for (unsigned k = 1; k < half; ++k) {
    if (!(power[k] > power[k - 1] && power[k] >= power[k + 1] && power[k] > floor_power)) {
      continue;
    }
    const bool up = power[k + 1] >= power[k - 1];
    const float ratio = sqrtf(up ? power[k + 1] : power[k - 1]) / sqrtf(power[k]);
    float delta = (2.0f * ratio - 1.0f) / (ratio + 1.0f);
    delta = delta > 0.0f ? delta : 0.0f;
    delta = delta < 0.5f ? delta : 0.5f;
    const int q = static_cast<int>(lrintf(delta * 256.0f)) * (up ? 1 : -1);
    // Frequency in 2048ths of a frame bin.
    const uint32_t u = (static_cast<uint32_t>(k) * 256u + static_cast<uint32_t>(q)) * scale;
    const uint32_t v = (u + 4u) >> 3; // in 256ths
    const uint32_t bin = v >> 8;
    if (bin >= bins) {
      continue;
    }
    const float c_re = t.correct_re[w][q + 128];
    const float c_im = t.correct_im[w][q + 128];
    for (unsigned c = 0; c < n; ++c) {
      Hold &h = *hold[c];
      const float x_re = a[c]->re[k];
      const float x_im = a[c]->im[k];
      h.amp_re[count] = x_re * c_re - x_im * c_im;
      h.amp_im[count] = x_re * c_im + x_im * c_re;
      h.step[count] = u << 19;
      h.bin[count] = static_cast<uint16_t>(bin);
      h.frac[count] = static_cast<uint8_t>(v & 255u);
    }
    ++count;
  }
  // The partials' power (twice each squared half amplitude) against the
  // input's, per channel; and their phase at the first held frame's first
  // sample, counted from the window's first.
  const uint32_t hops = a[0]->since + 1 + (size - block_size) / hop_size;
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

// One hop of the analysis under way, for n channels in step.
inline void advance_analysis(Analysis *const *a, Hold *const *hold, unsigned n,
                             const HoldTables &t) {
  Analysis &lead = *a[0];
  // A strike just after a press (or seen late) replaces a window without one.
  if (lead.elapsed > 0 && lead.elapsed <= watch_hops && !lead.struck && find_strike(a, n) >= 0) {
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
      take_window(*a[c], t);
      a[c]->since = 0;
      a[c]->state = TRANSFORM;
    }
    return;
  case TRANSFORM: {
    const unsigned last = stage_count(lead.length);
    unsigned to = lead.stage + stages_per_hop(lead.length);
    to = to < last ? to : last;
    for (unsigned c = 0; c < n; ++c) {
      long_stages(a[c]->re, a[c]->im, a[c]->length, a[c]->stage, to, t);
      a[c]->stage = to;
      ++a[c]->since;
      if (to == last) {
        a[c]->state = PEAKS;
      }
    }
    return;
  }
  case PEAKS:
    for (unsigned c = 0; c < n; ++c) {
      ++a[c]->since;
    }
    make_partials(a, hold, n, t);
    for (unsigned c = 0; c < n; ++c) {
      a[c]->state = IDLE;
    }
    return;
  default: return;
  }
}

// The held partials into the frame's bins 0..512 (xr/xi, cleared first),
// each through the frame window's kernel at its four nearest bins; below
// two bins a partial's mirror image at negative frequency reaches bins 0
// and 1 too. Then every phase moves on by its step.
inline void render_hold(Hold &h, const HoldTables &t, float *xr, float *xi) {
  memset(xr, 0, (bins + 3) * sizeof(float));
  memset(xi, 0, (bins + 3) * sizeof(float));
  for (unsigned p = 0; p < h.count; ++p) {
    float e_re;
    float e_im;
    unit(t, h.phase[p], &e_re, &e_im);
    h.phase[p] += h.step[p];
    const float z_re = h.amp_re[p] * e_re - h.amp_im[p] * e_im;
    const float z_im = h.amp_re[p] * e_im + h.amp_im[p] * e_re;
    const unsigned b = h.bin[p];
    const float *k_re = t.kernel_re[h.frac[p]];
    const float *k_im = t.kernel_im[h.frac[p]];
    if (b >= 1) { // bins b-1..b+2; the rows run three past 512 for this
      const v4f kr = load4(k_re);
      const v4f ki = load4(k_im);
      const v4f zr = splat4(z_re);
      const v4f zi = splat4(z_im);
      store4(xr + b - 1, load4(xr + b - 1) + (zr * kr - zi * ki));
      store4(xi + b - 1, load4(xi + b - 1) + (zr * ki + zi * kr));
    } else {
      for (unsigned m = 1; m < 4; ++m) {
        xr[m - 1] = xr[m - 1] + (z_re * k_re[m] - z_im * k_im[m]);
        xi[m - 1] = xi[m - 1] + (z_re * k_im[m] + z_im * k_re[m]);
      }
    }
    // The mirror image, conj(z) times the kernel at t + f, which is the
    // conjugate of z times the kernel at -(t + f).
    for (unsigned m = 0; b + m <= 1; ++m) { // bin 1 - b - m
      const unsigned to = 1 - b - m;
      xr[to] = xr[to] + (z_re * k_re[m] - z_im * k_im[m]);
      xi[to] = xi[to] - (z_re * k_im[m] + z_im * k_re[m]);
    }
  }
}

// The blur's phases: each bin advances by its centre's k quarter turns per
// hop and a random step of up to an eighth of a turn either way.
inline void advance_diffuse(Hold &h) {
  uint32_t r = h.noise == 0 ? 0x9e3779b9u : h.noise;
  for (unsigned k = 0; k < bins; ++k) {
    r ^= r << 13;
    r ^= r >> 17;
    r ^= r << 5;
    const uint32_t jitter = static_cast<uint32_t>(static_cast<int32_t>(r) >> 2);
    h.diffuse[k] += (static_cast<uint32_t>(k) << 30) + jitter;
  }
  h.noise = r;
}

} // namespace
