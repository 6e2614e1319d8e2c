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

// The analysis spans the same time at every sample rate: 8192 samples at
// 44.1 and 48 kHz, 16384 at 88.2 and 96, 32768 at 176.4 and 192 (the long
// window, and the history kept), half as many after a fresh strike. The
// arrays of those lengths are sized at instantiation (hold_bytes()).
constexpr unsigned max_long_hops = 32768 / hop_size;
constexpr unsigned max_partials = 2048; // peaks of 4096 bins, never adjacent (more: the lowest)
constexpr unsigned kernel_steps = 256;  // fractional positions of a partial in its bin
constexpr unsigned strike_rise = 8;     // a hop this many times louder than those before
// A hop quieter than this (mean square 1e-10, -100 dBFS) is silence: a hold
// is never made of silence alone.
constexpr float sounding_energy = 2.56e-8f;

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

// Tables of an instance, filled by prepare_hold(); the arrays of the
// window's length follow in the same allocation.
struct HoldTables {
  uint32_t long_size;   // samples of the long window and the history
  uint32_t short_size;  // of the window after a strike
  uint32_t long_hops;   // hops of the history
  uint32_t octaves;     // 0, 1, 2: long_size is 8192 << octaves
  uint32_t before;      // hops before a hop that it must outdo to be a strike (85 ms)
  uint32_t watch;       // hops after a press in which a strike still counts (27 ms)
  float peak_fall;      // a bin's recent peak falls by this a hop (0.95 in 5.3 ms)
  uint32_t fade_frames; // of the fade from a hold to its refinement (43 ms)
  float *long_window;   // periodic Hann of long_size, and of short_size
  float *short_window;
  float *tw_re; // e^(-i pi j / h) of the stage with half-length h at h - 1 + j
  float *tw_im;
  uint16_t *reverse;                // i with its bits reversed (log2 long_size of them)
  float kernel_re[kernel_steps][4]; // the frame window's transform at bins b-1..b+2 of a
  float kernel_im[kernel_steps][4]; // partial at b + frac/256, per unit complex amplitude
  float correct_re[2][257];         // 1 / the long window's transform at -q/256 bins
  float correct_im[2][257];         // ([0] 8192, [1] 4096), q = -128..128
  float coarse_re[256];             // e^(2 pi i n / 256)
  float coarse_im[256];
  float fine_re[256]; // e^(2 pi i n / 65536)
  float fine_im[256];
  float window_power[2];              // sum of the squared window, long and short
  float tail_power[2][max_long_hops]; // the same from hop j of the window on
  uint32_t max_wait;                  // hops a strike may be waited for, from the sample rate
};

// The past input and the analysis under way (nothing a hold needs once made).
// Its arrays of the window's length follow in the same allocation.
struct Analysis {
  float *history; // the last long_size samples, hop by hop
  float *re;      // the window, then its transform
  float *im;
  float *power;                   // squared magnitudes (of both channels of a pair), to half
  float energy[max_long_hops];    // sum of squares of each hop in history
  float risen[max_long_hops];     // power of the frame ending with that hop in bins that rose 6 dB,
  float power_all[max_long_hops]; // and in all its bins
  float peak_mag[bins];           // each bin's recent peak, falling a little each hop
  float mean_square;              // the windowed input's, against the window's
  uint32_t at;                    // hop slot of the next hop in history
  uint32_t state;                 // what the next frame does (below)
  uint32_t wait;                  // hops still to wait before the window ends
  uint32_t length;                // of the window: long_size or short_size
  uint32_t since;                 // hops since the window ended
  uint32_t stage;                 // slices of the transform done
  uint32_t elapsed;               // hops since the press
  uint32_t found;                 // partials found so far
  uint32_t skip;                  // hops of the window before the strike
  float top;                      // the largest summed power
  uint32_t struck;                // the window starts at a strike
  uint32_t strike_age;            // hops since that strike
  uint32_t refining;              // 1: the long window from the strike is awaited; 2: fading to it
  uint32_t fade;                  // frames of the fade done
  uint32_t first;                 // the window's oldest sample in history
  uint32_t part;                  // parts of the taking or of the peaks done
  double sums[4];                 // the window's sum of squares so far, sample i in sums[i % 4]
};

enum AnalysisState : uint32_t {
  IDLE = 0,
  WAITING = 1,
  TRANSFORM = 2,
  PEAKS = 3,
  LISTENING = 6, // freeze is on but nothing has sounded: waiting for a sound
  TAKING = 7     // the window being taken, a part a hop
};

// Hops of the work on a window that grows with its length: taking it and
// the summed power (one each at 44.1 and 48 kHz; the power's bins are read
// in bit-reversed order, which costs more the larger the window), and the
// peaks (two).
inline unsigned take_parts(const HoldTables &t) { return 1u << t.octaves; }
inline unsigned power_parts(const HoldTables &t) { return 1u << (2 * t.octaves); }
inline unsigned peak_parts(const HoldTables &t) { return 2u << t.octaves; }

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

// The stages of each hop of the transform of n points: about 16384
// butterflies a hop (the last stages, which go one at a time, fewer).
inline unsigned stage_end(unsigned n, unsigned slice) {
  static const uint8_t plan_4096[2] = {6, 12};
  static const uint8_t plan_8192[4] = {4, 8, 11, 13};
  static const uint8_t plan_16384[7] = {2, 4, 6, 8, 10, 12, 14};
  return n == 4096    ? plan_4096[slice]
         : n == 8192  ? plan_8192[slice]
         : n == 16384 ? plan_16384[slice]
                      : slice + 1; // 32768: a stage a hop
}
inline unsigned stage_slices(unsigned n) {
  return n == 4096 ? 2 : n == 8192 ? 4 : n == 16384 ? 7 : 15;
}

// The octaves above 8192 samples of the long window at a sample rate (an
// absent or absurd rate counts as 48 kHz): the nearest power of two to
// 8192 samples at 48 kHz, in time.
inline uint32_t hold_octaves(double rate) {
  if (!(rate >= 8000.0 && rate <= 1536000.0)) {
    rate = 48000.0;
  }
  return rate < 48000.0 * M_SQRT2 ? 0u : rate < 96000.0 * M_SQRT2 ? 1u : 2u;
}

// Bytes of the arrays of the window's length: the tables' (one set an
// instance) and an analysis's (one a channel).
// Arrays read side by side are a cache line and a bit further apart than
// their power-of-two lengths, or the transform's rows would meet in the
// same cache sets.
constexpr size_t array_gap = 20; // floats
inline size_t table_array_bytes(uint32_t octaves) {
  const size_t n = size_t{8192} << octaves;
  return (n + n / 2 + 2 * n + 3 * array_gap) * sizeof(float) + n * sizeof(uint16_t);
}
inline size_t analysis_array_bytes(uint32_t octaves) {
  const size_t n = size_t{8192} << octaves;
  return (3 * n + n / 2 + 4 + 3 * array_gap) * sizeof(float);
}

// The analysis's arrays from `mem` (zero-filled, analysis_array_bytes()).
inline void place_analysis(Analysis &a, float *mem, uint32_t octaves) {
  const size_t n = size_t{8192} << octaves;
  a.history = mem;
  a.re = a.history + n + array_gap;
  a.im = a.re + n + array_gap;
  a.power = a.im + n + array_gap;
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
  t.max_wait = hops < 0.0    ? 0u
               : hops > most ? static_cast<uint32_t>(most)
                             : static_cast<uint32_t>(hops);
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

// e^(2 pi i phase / 2^32) to 8 bits of the turn, four phases at a time.
QUORVANE_INLINE void coarse_unit4(const HoldTables &t, const uint32_t *phase, v4f *re, v4f *im) {
  for (unsigned l = 0; l < 4; ++l) {
    const unsigned n = ((phase[l] + 0x800000u) >> 24) & 255;
    (*re)[l] = t.coarse_re[n];
    (*im)[l] = t.coarse_im[n];
  }
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
  a.at = (a.at + 1) % t.long_hops;
}

// How much of this live frame is new: its power in bins more than twice
// as strong (6 dB) as their recent peak, and its power in all, stored with
// the hop just pushed (four partial sums side by side, then added in
// pairs). A recent peak rather than the last frame: close partials beat,
// and their bins rise and fall from frame to frame while nothing is new.
inline void note_rise(Analysis &a, const HoldTables &t, const float *mag) {
  const unsigned long_hops = t.long_hops;
  const v4f fall = splat4(t.peak_fall);
  v4f up = splat4(0.0f);
  v4f all = splat4(0.0f);
  const v4f zero = splat4(0.0f);
  for (unsigned k = 0; k + 4 <= bins; k += 4) {
    const v4f m = load4(mag + k);
    const v4f sq = m * m;
    const v4f peak = load4(a.peak_mag + k);
    up = up + (m > peak * 2.0f ? sq : zero);
    all = all + sq;
    const v4f fallen = peak * fall;
    store4(a.peak_mag + k, m > fallen ? m : fallen);
  }
  const float m = mag[bins - 1];
  const float sq = m * m;
  const float peak = a.peak_mag[bins - 1];
  const unsigned slot = (a.at + long_hops - 1) % long_hops;
  a.risen[slot] = ((up[0] + up[1]) + (up[2] + up[3])) + (m > peak * 2.0f ? sq : 0.0f);
  a.power_all[slot] = ((all[0] + all[1]) + (all[2] + all[3])) + sq;
  a.peak_mag[bins - 1] = m > peak * t.peak_fall ? m : peak * t.peak_fall;
}

// The hop of the latest strike in the history of n channels (0 the
// oldest), or -1: a hop 8 times as loud as each of those of the 85 ms
// before it, or the first of frames with 30 % of their power newly risen,
// which see a strike about two hops after it came (the frame's window is
// low at its end).
inline int strike_in(Analysis *const *a, unsigned n, const HoldTables &t) {
  const unsigned long_hops = t.long_hops;
  float e[max_long_hops];
  float up[max_long_hops];
  float all[max_long_hops];
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
    for (unsigned j = h >= t.before ? h - t.before : 0; j < h; ++j) {
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

// The latest strike of a pair is the latest in either channel or in both
// together: a note struck in one channel over a sustained one in the other
// is a strike.
inline int find_strike(Analysis *const *a, unsigned n, const HoldTables &t) {
  int strike = strike_in(a, n, t);
  for (unsigned c = 0; n > 1 && c < n; ++c) {
    const int own = strike_in(a + c, 1, t);
    strike = own > strike ? own : strike;
  }
  return strike;
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
  const unsigned chunk = n / take_parts(t);
  if (p == 0) {
    a.first = (a.at * hop_size + long_size - n) % long_size; // oldest sample, whole hops
    a.sums[0] = a.sums[1] = a.sums[2] = a.sums[3] = 0.0;
  }
  v4d sum = {a.sums[0], a.sums[1], a.sums[2], a.sums[3]};
  for (unsigned i = p * chunk; i < (p + 1) * chunk; i += 4) {
    const v4f x = load4(a.history + (a.first + i) % long_size) * load4(w + i);
    store4(a.re + i, x);
    store4(a.im + i, splat4(0.0f));
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

// Stages `from` to `to` - 1 of the transform of re/im in place, by
// decimation in frequency (the bins come out in bit-reversed order): stage
// s has half-length n / 2^(s+1), and its butterfly takes u, v to u + v and
// (u - v) e^(-i pi j / h). Four butterflies at a time from half-length 4
// on, each lane doing what the scalar loop does.
inline void long_stages(float *re, float *im, unsigned n, unsigned from, unsigned to,
                        const HoldTables &t) {
  for (unsigned s = from; s < to; ++s) {
    const unsigned h = n >> (s + 1);
    const float *wr = t.tw_re + h - 1;
    const float *wi = t.tw_im + h - 1;
    if (h <= 2) { // eight points at a time, the pairs gathered into lanes
      const v4f w_re = h == 2 ? v4f{wr[0], wr[1], wr[0], wr[1]} : splat4(wr[0]);
      const v4f w_im = h == 2 ? v4f{wi[0], wi[1], wi[0], wi[1]} : splat4(wi[0]);
      for (unsigned b = 0; b < n; b += 8) {
        const v4f a_re = load4(re + b);
        const v4f b_re = load4(re + b + 4);
        const v4f a_im = load4(im + b);
        const v4f b_im = load4(im + b + 4);
        v4f u_re, u_im, v_re, v_im;
        if (h == 2) {
          u_re = __builtin_shufflevector(a_re, b_re, 0, 1, 4, 5);
          v_re = __builtin_shufflevector(a_re, b_re, 2, 3, 6, 7);
          u_im = __builtin_shufflevector(a_im, b_im, 0, 1, 4, 5);
          v_im = __builtin_shufflevector(a_im, b_im, 2, 3, 6, 7);
        } else {
          u_re = __builtin_shufflevector(a_re, b_re, 0, 2, 4, 6);
          v_re = __builtin_shufflevector(a_re, b_re, 1, 3, 5, 7);
          u_im = __builtin_shufflevector(a_im, b_im, 0, 2, 4, 6);
          v_im = __builtin_shufflevector(a_im, b_im, 1, 3, 5, 7);
        }
        const v4f d_re = u_re - v_re;
        const v4f d_im = u_im - v_im;
        const v4f s_re = u_re + v_re;
        const v4f s_im = u_im + v_im;
        const v4f e_re = d_re * w_re - d_im * w_im;
        const v4f e_im = d_re * w_im + d_im * w_re;
        if (h == 2) {
          store4(re + b, __builtin_shufflevector(s_re, e_re, 0, 1, 4, 5));
          store4(re + b + 4, __builtin_shufflevector(s_re, e_re, 2, 3, 6, 7));
          store4(im + b, __builtin_shufflevector(s_im, e_im, 0, 1, 4, 5));
          store4(im + b + 4, __builtin_shufflevector(s_im, e_im, 2, 3, 6, 7));
        } else {
          store4(re + b, __builtin_shufflevector(s_re, e_re, 0, 4, 1, 5));
          store4(re + b + 4, __builtin_shufflevector(s_re, e_re, 2, 6, 3, 7));
          store4(im + b, __builtin_shufflevector(s_im, e_im, 0, 4, 1, 5));
          store4(im + b + 4, __builtin_shufflevector(s_im, e_im, 2, 6, 3, 7));
        }
      }
      continue;
    }
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
          const v4f d_re = u_re - v_re;
          const v4f d_im = u_im - v_im;
          store4(re + b + j, u_re + v_re);
          store4(im + b + j, u_im + v_im);
          store4(re + b + j + h, d_re * w_re - d_im * w_im);
          store4(im + b + j + h, d_re * w_im + d_im * w_re);
        }
      }
      for (; j < h; ++j) {
        const float u_re = re[b + j];
        const float u_im = im[b + j];
        const float v_re = re[b + j + h];
        const float v_im = im[b + j + h];
        const float d_re = u_re - v_re;
        const float d_im = u_im - v_im;
        re[b + j] = u_re + v_re;
        im[b + j] = u_im + v_im;
        re[b + j + h] = d_re * wr[j] - d_im * wi[j];
        im[b + j + h] = d_re * wi[j] + d_im * wr[j];
      }
    }
  }
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
                          unsigned part) {
  const unsigned size = a[0]->length;
  const unsigned half = size / 2;
  const unsigned drop = size == t.long_size ? 0 : 1; // one bit fewer reversed: shifted down
  const int w = size == t.long_size ? 0 : 1;
  const unsigned bits = 13 + t.octaves - drop; // log2 of the window's length
  float *power = a[0]->power;
  const unsigned powers = power_parts(t);
  if (part < powers) { // bins of this part: the last takes the rest, up to half
    const unsigned end = part + 1 == powers ? half + 1 : (part + 1) * (half / powers);
    float top = part == 0 ? 0.0f : a[0]->top;
    for (unsigned k = part * (half / powers); k < end; ++k) {
      const unsigned at = t.reverse[k] >> drop;
      float p = 0.0f;
      for (unsigned c = 0; c < n; ++c) {
        p += a[c]->re[at] * a[c]->re[at] + a[c]->im[at] * a[c]->im[at];
      }
      power[k] = p;
      top = p > top ? p : top;
    }
    a[0]->top = top;
    return;
  }
  const float floor_power = a[0]->top * 1e-12f;
  unsigned count = a[0]->found;
  const unsigned q = part - powers; // of the peaks' parts
  const unsigned from = q == 0 ? 1 : q * (half / peak_parts(t));
  const unsigned to = q + 1 == peak_parts(t) ? half : (q + 1) * (half / peak_parts(t));
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
    unsigned near[5]; // bins k - 2 .. k + 2 (k - 1 for k - 2 at k = 1)
    for (unsigned j = 0; j < 5; ++j) {
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
      float own[5];
      for (unsigned j = 0; j < 5; ++j) {
        own[j] = re[near[j]] * re[near[j]] + im[near[j]] * im[near[j]];
      }
      bool peak = n == 1;
      for (unsigned j = 1; j < 4; ++j) {
        peak = peak || (own[j] > own[j - 1] && own[j] >= own[j + 1]);
      }
      h.amp_re[count] = peak ? x_re * c_re - x_im * c_im : 0.0f;
      h.amp_im[count] = peak ? x_re * c_im + x_im * c_re : 0.0f;
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
  if (lead.state == LISTENING) { // the first sound since the press is one
    const unsigned newest = (lead.at + t.long_hops - 1) % t.long_hops;
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
      const unsigned to = stage_end(x.length, x.stage);
      long_stages(x.re, x.im, x.length, x.stage == 0 ? 0 : stage_end(x.length, x.stage - 1), to, t);
      ++x.stage;
      ++x.since;
      if (x.stage == stage_slices(x.length)) {
        x.state = PEAKS;
        x.part = 0;
      }
    }
    return;
  case PEAKS:
    for (unsigned c = 0; c < n; ++c) {
      ++a[c]->since;
    }
    make_partials(a, hold, n, t, lead.part);
    for (unsigned c = 0; c < n; ++c) {
      ++a[c]->part;
      a[c]->state = a[c]->part == power_parts(t) + peak_parts(t) ? IDLE : PEAKS;
    }
    if (lead.state == IDLE && lead.refining == 1) { // the refinement is made: fade to it
      for (unsigned c = 0; c < n; ++c) {
        a[c]->refining = 2;
        a[c]->fade = 0;
      }
    } else if (lead.state == IDLE && lead.struck && lead.length == t.short_size) {
      // A hold from the short window after a strike is refined by the
      // long one from three hops (16 ms at 48 kHz) after the strike, past
      // a hammer's or a pluck's thump, once the note has sounded that long.
      const uint32_t last = t.long_hops + 1;
      const uint32_t wait = lead.strike_age < last ? last - lead.strike_age : 0;
      for (unsigned c = 0; c < n; ++c) {
        a[c]->state = WAITING;
        a[c]->length = t.long_size;
        a[c]->skip = 0;
        a[c]->wait = wait;
        a[c]->refining = 1;
      }
    }
    return;
  default: return;
  }
}

// While a refinement is awaited: a new note would get into the long
// window, so the hold stays as it is. A note coming into the frames raises
// bins 6 dB over their recent peak in two frames running: a little in the
// first (0.01 % of the power), more in the next (1 %); a bowed or sung
// attack's own partials do so in single frames.
inline void watch_refinement(Analysis *const *a, unsigned n, const HoldTables &t) {
  Analysis &lead = *a[0];
  const unsigned slot = (lead.at + t.long_hops - 1) % t.long_hops;
  const unsigned before = (lead.at + t.long_hops - 2) % t.long_hops;
  float up = 0.0f;
  float all = 0.0f;
  float was_up = 0.0f;
  float was_all = 0.0f;
  for (unsigned c = 0; c < n; ++c) {
    up += a[c]->risen[slot];
    all += a[c]->power_all[slot];
    was_up += a[c]->risen[before];
    was_all += a[c]->power_all[before];
  }
  if (lead.state == WAITING && lead.strike_age >= 6 && all > 1e-9f && up > 0.01f * all &&
      was_up > 0.0001f * was_all) {
    for (unsigned c = 0; c < n; ++c) {
      a[c]->state = IDLE;
      a[c]->refining = 0;
    }
  }
}

// The held partials of `from` in place of those of `to` (which keeps its
// other fields): the refinement after its fade.
inline void take_partials(Hold &to, Hold &from) {
  const uint32_t n = from.count;
  memcpy(to.amp_re, from.amp_re, n * sizeof to.amp_re[0]);
  memcpy(to.amp_im, from.amp_im, n * sizeof to.amp_im[0]);
  memcpy(to.phase, from.phase, n * sizeof to.phase[0]);
  memcpy(to.step, from.step, n * sizeof to.step[0]);
  memcpy(to.bin, from.bin, n * sizeof to.bin[0]);
  memcpy(to.frac, from.frac, n * sizeof to.frac[0]);
  to.count = n;
  from.ready = 0;
}

// Frame bins re/im (0..512) a share x of the way to n_re/n_im, the
// frame's power x of the way from the one's to the other's: the two holds
// are the same notes but need not be in phase.
inline void cross_fade(float *re, float *im, const float *n_re, const float *n_im, float x) {
  const double from = sum_squares(re, im);
  const double to = sum_squares(n_re, n_im);
  const v4f keep = splat4(1.0f - x);
  const v4f share = splat4(x);
  for (unsigned k = 0; k < 516; k += 4) {
    store4(re + k, keep * load4(re + k) + share * load4(n_re + k));
    store4(im + k, keep * load4(im + k) + share * load4(n_im + k));
  }
  const double mixed = sum_squares(re, im);
  const double want = (1.0 - static_cast<double>(x)) * from + static_cast<double>(x) * to;
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
