// A plain model of the whole plugin, written for reading rather than speed:
// the sample loop, the frame pipeline with freeze, blur, shift and gate, and
// a transform of its own. Tests hold the built plugin to this model sample for
// sample, so every float operation happens in the same order and precision
// as in the plugin. It shares no code with the plugin on purpose.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "quorvane_table.hpp"

namespace ref {

constexpr int N = 1024;   // frame length, ring length
constexpr int HOP = 256;  // samples between frames
constexpr int BINS = 513; // bins 0 (DC) to 512 (Nyquist)

struct Cpx {
  float re, im;
};

// A control counts only when it is connected and finite.
inline bool present(const float *port) {
  return port != nullptr && !std::isnan(*port) && std::fabs(*port) <= 3.4028235e38f;
}

// In-place radix-2 decimation-in-time transform of 1024 points; unscaled
// forward, 1/1024-scaled inverse. Twiddles by recurrence, restarted per block.
inline void fft(Cpx *d, int inverse) {
  unsigned j = 0;
  for (unsigned i = 1; i < N; ++i) {
    unsigned bit = N / 2;
    while (j & bit) {
      j &= ~bit;
      bit >>= 1;
    }
    j |= bit;
    if (j > i)
      std::swap(d[i], d[j]);
  }
  for (int len = 2; len <= N; len *= 2) {
    const float s = inverse ? 2.0f : -2.0f;
    const float theta = (s * 3.1415927f) / (float)len;
    float sn, cs;
    sincosf(theta, &sn, &cs);
    for (int b = 0; b < N; b += len) {
      Cpx w{1.0f, 0.0f};
      for (int k = 0; k < len / 2; ++k) {
        const Cpx u = d[b + k];
        const Cpx v = d[b + k + len / 2];
        const Cpx t{v.re * w.re - v.im * w.im, v.re * w.im + v.im * w.re};
        d[b + k] = Cpx{u.re + t.re, u.im + t.im};
        d[b + k + len / 2] = Cpx{u.re - t.re, u.im - t.im};
        w = Cpx{cs * w.re - sn * w.im, sn * w.re + cs * w.im};
      }
    }
  }
  if (inverse) {
    for (int i = 0; i < N; ++i) {
      d[i].re *= 0.0009765625f;
      d[i].im *= 0.0009765625f;
    }
  }
}

// Periodic Hann window of period 1024.
inline float hann(int i) {
  if (i == 0)
    return 0.0f;
  const float x = ((float)i * 6.2831855f) * 0.0009765625f;
  return 0.5f - cosf(x) * 0.5f;
}

// Wet proportion, read once per run call.
inline float mix_amount(const float *mix) {
  if (!present(mix))
    return 1.0f;
  if (*mix < 0.0f)
    return 0.0f;
  if (*mix > 1.0f)
    return 1.0f;
  return *mix;
}

// Each magnitude becomes the mean of its neighbours within the blur radius,
// summed in double over the bins that exist.
inline void smooth(float mag[BINS], const float *blur) {
  if (!present(blur) || *blur < 0.0f)
    return;
  const float v = std::min(*blur, 1.0f);
  if (!(v > 1e-4f))
    return;
  const int r = (int)(15.0f * v) + 1;
  float tmp[BINS];
  for (int k = 0; k < BINS; ++k) {
    double sum = 0.0;
    int count = 0;
    for (int l = k - r; l <= k + r; ++l) {
      if (l < 0 || l > BINS - 1)
        continue;
      sum += (double)mag[l];
      ++count;
    }
    tmp[k] = (float)(sum / (double)count);
  }
  std::memcpy(mag, tmp, sizeof tmp);
}

// Whole bins to move the spectrum by, -128..128, ties to even.
inline int bin_offset(const float *shift) {
  float g = 0.0f;
  if (present(shift))
    g = *shift < -1.0f ? -128.0f : 128.0f * std::min(*shift, 1.0f);
  return (int)lrintf(g);
}

// Gate level as a fraction of the peak, 0..1.
inline float gate_fraction(const float *threshold) {
  if (!present(threshold) || *threshold < 0.0f)
    return 0.0f;
  return std::min(*threshold, 1.0f);
}

inline float peak_of(const float mag[BINS]) {
  float p = 1e-20f;
  for (int k = 0; k < BINS; ++k)
    if (mag[k] > p)
      p = mag[k];
  return p;
}

// Rebuilds the bins from magnitude and phase: bins under the gate level are
// silenced, every bin moves by `offset`, and those pushed past either end are
// dropped. The coherent plugins give each source bin a number of quarter
// turns (`turns`), applied to its (cos, sin) before the magnitude.
inline void accumulate(Cpx acc[BINS], const float mag[BINS], const float phase[BINS], int offset,
                       float gate, const int *turns = nullptr) {
  for (int t = 0; t < BINS; ++t)
    acc[t] = Cpx{0.0f, 0.0f};
  for (int k = 0; k < BINS; ++k) {
    float m = mag[k];
    if (m < gate)
      m = 0.0f;
    const int t = k + offset;
    if (t < 0 || t > BINS - 1)
      continue;
    float sn, cs;
    sincosf(phase[k], &sn, &cs);
    for (int r = turns ? turns[k] : 0; r > 0; --r) { // times i, r times
      const float c = cs;
      cs = -sn;
      sn = c;
    }
    acc[t].re += m * cs;
    acc[t].im += m * sn;
  }
}

// The coherent plugins' hold, written out plainly. Lengths: the history
// and the long analysis 8192 samples at 44.1 and 48 kHz, twice as many at
// 88.2 and 96, four times at 176.4 and 192 (the same time); half as many
// after a strike.
constexpr int MAX_PARTIALS = 2048;

// The n-point transform of a periodic Hann window at x bins, in double:
// 0.5 S(x) - 0.25 S(x - 1) - 0.25 S(x + 1), S(y) the sum of e^(-2 pi i y m / n).
inline void hann_transform(double x, double n, double *re, double *im) {
  *re = 0.0;
  *im = 0.0;
  const double weight[3] = {0.5, -0.25, -0.25};
  const double at[3] = {x, x - 1.0, x + 1.0};
  for (int t = 0; t < 3; ++t) {
    const double y = at[t];
    double s_re, s_im;
    if (y == std::floor(y)) {
      s_re = std::fmod(y, n) == 0.0 ? n : 0.0;
      s_im = 0.0;
    } else {
      const double mag = std::sin(M_PI * y) / std::sin(M_PI * y / n);
      const double arg = -M_PI * y * (n - 1.0) / n;
      s_re = mag * std::cos(arg);
      s_im = mag * std::sin(arg);
    }
    *re += weight[t] * s_re;
    *im += weight[t] * s_im;
  }
}

// Everything the hold computes once, from the sample rate.
struct HoldTables {
  int scale = 1;                // the long window is 8192 times this
  int len[2] = {8192, 4096};    // the long window, the one after a strike
  float fall = 0.95f;           // a bin's recent peak falls by this each hop
  std::vector<float> window[2]; // periodic Hann of each length
  Cpx kernel[256][4] = {};      // frame window's transform at bins b-1..b+2, partial at b + f/256
  Cpx correct[2][257] = {};     // 1 / each window's transform at -q/256, q = -128..128
  Cpx coarse[256] = {}, fine[256] = {};
  float window_power[2] = {};
  std::vector<float> tail_power[2]; // the same from hop j on
  int max_wait = 0;
  int late_hops = 0; // in 100 ms

  // Hops the plugin spreads the transform of n points over.
  static int transform_hops(int n) { return n == 4096 ? 2 : n == 8192 ? 4 : n == 16384 ? 7 : 15; }

  // Hops it sums the power over.
  int power_hops() const { return scale == 1 ? 1 : scale == 2 ? 4 : 8; }

  explicit HoldTables(double rate) {
    if (!(rate >= 8000.0 && rate <= 1536000.0))
      rate = 48000.0;
    scale = rate < 48000.0 * std::sqrt(2.0) ? 1 : rate < 96000.0 * std::sqrt(2.0) ? 2 : 4;
    len[0] = 8192 * scale;
    len[1] = len[0] / 2;
    // 0.95 a hop at 48 kHz, the same fall in time at the others.
    fall = scale == 1 ? 0.95f : scale == 2 ? 0.97467943f : 0.98725851f;
    for (int w = 0; w < 2; ++w) {
      window[w].resize(len[w]);
      tail_power[w].resize(len[0] / HOP);
    }
    for (int w = 0; w < 2; ++w)
      for (int i = 0; i < len[w]; ++i)
        window[w][i] = (float)(0.5 - 0.5 * std::cos(2.0 * M_PI * i / len[w]));
    for (int f = 0; f < 256; ++f)
      for (int m = 0; m < 4; ++m) {
        double re, im;
        hann_transform((m - 1) - f / 256.0, N, &re, &im);
        kernel[f][m] = Cpx{(float)re, (float)im};
      }
    for (int w = 0; w < 2; ++w) {
      for (int q = -128; q <= 128; ++q) {
        double re, im;
        hann_transform(-q / 256.0, len[w], &re, &im);
        const double d = re * re + im * im;
        correct[w][q + 128] = Cpx{(float)(re / d), (float)(-im / d)};
      }
      double sum = 0.0;
      for (int i = 0; i < len[w]; ++i)
        sum += (double)window[w][i] * window[w][i];
      window_power[w] = (float)sum;
      for (int j = 0; j < len[0] / HOP; ++j) {
        double tail = 0.0;
        for (int i = j * HOP; i < len[w]; ++i)
          tail += (double)window[w][i] * window[w][i];
        tail_power[w][j] = (float)tail;
      }
    }
    for (int i = 0; i < 256; ++i) {
      coarse[i] =
          Cpx{(float)std::cos(2.0 * M_PI * i / 256.0), (float)std::sin(2.0 * M_PI * i / 256.0)};
      fine[i] =
          Cpx{(float)std::cos(2.0 * M_PI * i / 65536.0), (float)std::sin(2.0 * M_PI * i / 65536.0)};
    }
    // The hold begins within 100 ms of the press: seen up to 255 samples
    // late, then the hops to take the short window and transform it, and
    // more for the peaks (busy() below).
    const double hops = std::floor((0.1 * rate - 255.0) / HOP) - transform_hops(len[1]) -
                        (double)(power_hops() + 3 * scale);
    max_wait = (int)std::clamp(hops, 0.0, (double)(len[1] / HOP));
    late_hops = (int)std::floor(0.1 * rate / HOP);
  }

  // e^(2 pi i phase / 2^32), phase rounded to 16 bits of the turn.
  Cpx unit(uint32_t phase) const {
    const uint32_t n = (phase + 0x8000u) >> 16;
    const Cpx a = coarse[(n >> 8) & 255], b = fine[n & 255];
    return Cpx{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
  }
};

// Partials of a hold: complex amplitude at phase 0, phase and its advance
// per hop (2^32 a turn), frame bin and 256ths of a bin.
struct Partials {
  bool ready = false;
  int count = 0;
  Cpx amp[MAX_PARTIALS] = {};
  uint32_t phase[MAX_PARTIALS] = {}, step[MAX_PARTIALS] = {};
  int bin[MAX_PARTIALS] = {}, frac[MAX_PARTIALS] = {};
};

// One channel's held partials and the past input they are measured on.
struct HoldChannel {
  int hops;                   // of the history
  std::vector<float> history; // by hop slot
  std::vector<float> energy;
  std::vector<float> risen, power_all; // of the frame ending there
  float peak_mag[BINS] = {};           // each bin's recent peak, falling a little each hop
  int at = 0;                          // next hop slot
  // The analysis: its window, transformed whole on the frame it is due.
  std::vector<Cpx> spectrum;
  float mean_square = 0.0f;
  // The hold, and the one from a longer window that refines it.
  Partials now, next;
  int shift_turns = 0;

  explicit HoldChannel(int longest)
      : hops(longest / HOP), history(longest), energy(hops), risen(hops), power_all(hops),
        spectrum(longest) {}

  void push(const float *newest) {
    float lane[4] = {};
    for (int i = 0; i < HOP; ++i) {
      history[at * HOP + i] = newest[i];
      lane[i % 4] += newest[i] * newest[i];
    }
    energy[at] = (lane[0] + lane[1]) + (lane[2] + lane[3]);
    at = (at + 1) % hops;
  }

  // With the hop just pushed: the live frame's power in bins more than
  // twice their recent peak, and in all (four running sums, bin k in sum
  // k % 4 but bin 512 added last; the sums then added in pairs).
  void rise(const float mag[BINS], float fall) {
    float up[4] = {}, all[4] = {};
    for (int k = 0; k < BINS - 1; ++k) {
      const float sq = mag[k] * mag[k];
      up[k % 4] += mag[k] > peak_mag[k] * 2.0f ? sq : 0.0f;
      all[k % 4] += sq;
    }
    const int slot = (at + hops - 1) % hops;
    const float m = mag[BINS - 1], sq = m * m;
    risen[slot] = ((up[0] + up[1]) + (up[2] + up[3])) + (m > peak_mag[BINS - 1] * 2.0f ? sq : 0.0f);
    power_all[slot] = ((all[0] + all[1]) + (all[2] + all[3])) + sq;
    for (int k = 0; k < BINS; ++k)
      peak_mag[k] = mag[k] > peak_mag[k] * fall ? mag[k] : peak_mag[k] * fall;
  }

  void quiet() { // a held frame: nothing live is new
    const int slot = (at + hops - 1) % hops;
    risen[slot] = power_all[slot] = 0.0f;
  }
};

// The plain transform of `n` points (n a power of two), forward, by
// decimation in frequency: stages of half-length n/2 down to 1, each
// butterfly taking u, v to u + v and (u - v) e^(-i pi j / h), the twiddle
// in double, rounded; then the bins put back in order from bit-reversed.
inline void long_fft(Cpx *d, int n) {
  for (int h = n / 2; h >= 1; h /= 2)
    for (int b = 0; b < n; b += 2 * h)
      for (int j = 0; j < h; ++j) {
        const Cpx w{(float)std::cos(-M_PI * j / h), (float)std::sin(-M_PI * j / h)};
        const Cpx u = d[b + j], v = d[b + j + h];
        const Cpx diff{u.re - v.re, u.im - v.im};
        d[b + j] = Cpx{u.re + v.re, u.im + v.im};
        d[b + j + h] = Cpx{diff.re * w.re - diff.im * w.im, diff.re * w.im + diff.im * w.re};
      }
  std::vector<Cpx> out(n);
  for (int k = 0; k < n; ++k) {
    int r = 0;
    for (int bit = 1, to = n / 2; bit < n; bit *= 2, to /= 2)
      if (k & bit)
        r |= to;
    out[k] = d[r];
  }
  std::copy(out.begin(), out.end(), d);
}

// The analysis of n channels in step: on the frame where the switch goes on
// it decides the window (8192 samples, or after a strike 4096 from it on,
// waited for up to max_wait hops); when the window is due, it is taken; a
// number of hops later (the plugin spreads the transform over them) its
// peaks become the partials of every channel, from the next frame on.
struct HoldAnalysis {
  int state = 0; // 0 idle, 1 waiting for the window, 2 transforming, 3 waiting for a sound
  int wait = 0, length = 8192, since = 0;
  int elapsed = 0;     // hops since the press
  bool struck = false; // the window starts at a strike
  int skip[2] = {};    // each channel's hops of the window before the strike: not in its level
  int age = 0;         // hops since that strike
  int refining = 0;    // 1: waiting for the long window from the strike; 2: fading to its hold;
                       // 3: waiting for the window after that one; 4: fading to the weighed hold
  int fade = 0;        // frames of that fade done
  int fade_frames = 8; // and of all of it
  bool late = false;   // the refinement's window ends over 100 ms after the press

  // The latest strike among the history's hops of n channels together (0
  // the oldest), or -1. Two signs of one: a hop with more than 8 times the
  // energy of the loudest hop of the 85 ms before it (and more than 1e-9);
  // and the first frame of a run with at least 30 % of its power in bins
  // newly risen, which places the strike two hops before it (a frame's
  // window is low at its end). The later of the two.
  static int strike_of(HoldChannel *const *ch, int n, const HoldTables &t) {
    const int hops = ch[0]->hops;
    auto summed = [&](const std::vector<float> HoldChannel::*row, int h) {
      float x = 0.0f;
      for (int c = 0; c < n; ++c)
        x += (ch[c]->*row)[(ch[0]->at + h) % hops];
      return x;
    };
    auto risen_frame = [&](int h) {
      const float all = summed(&HoldChannel::power_all, h);
      return all > 1e-9f && summed(&HoldChannel::risen, h) >= 0.3f * all;
    };
    int loud = -1, rise = -1;
    for (int h = 2; h < hops; ++h) {
      float before = 0.0f;
      for (int j = std::max(h - 16 * t.scale, 0); j < h; ++j)
        before = std::max(before, summed(&HoldChannel::energy, j));
      const float e = summed(&HoldChannel::energy, h);
      if (e > 1e-9f && e > 8.0f * before)
        loud = h;
      if (risen_frame(h) && !risen_frame(h - 1))
        rise = h - 2;
    }
    return std::max(loud, rise);
  }

  // In a pair, a strike in either channel counts as much as one in both.
  static int find_strike(HoldChannel *const *ch, int n, const HoldTables &t) {
    int strike = strike_of(ch, n, t);
    if (n == 2)
      strike = std::max({strike, strike_of(ch, 1, t), strike_of(ch + 1, 1, t)});
    return strike;
  }

  // Whether hop slot `slot` of n channels together is louder than
  // silence (a mean square of 1e-10).
  static bool sounds(HoldChannel *const *ch, int n, int slot) {
    float e = 0.0f;
    for (int c = 0; c < n; ++c)
      e += ch[c]->energy[slot];
    return e > 2.56e-8f;
  }

  void start(HoldChannel *const *ch, int n, const HoldTables &t, int hops_since_press) {
    const int hops = ch[0]->hops, short_hops = t.len[1] / HOP;
    bool any = false;
    for (int h = 0; h < hops; ++h)
      any = any || sounds(ch, n, h);
    if (!any) { // nothing to hold: wait for a sound, then start as a press at it
      state = 3;
      return;
    }
    const int strike = find_strike(ch, n, t);
    length = t.len[0];
    wait = 0;
    int before_strike = 0;
    if (strike >= 0) {
      length = t.len[1];
      wait = std::min(std::max(short_hops - (hops - strike), 0),
                      std::max(t.max_wait - hops_since_press, 0));
      before_strike = std::max(strike - (hops + wait - short_hops), 0);
    }
    // Not in the level of a channel that was sounding through the other's strike.
    for (int c = 0; c < n; ++c) {
      const int own = n == 2 && before_strike > 0 ? strike_of(ch + c, 1, t) : strike;
      skip[c] = own >= 0 && own + 2 >= strike ? before_strike : 0;
    }
    elapsed = hops_since_press;
    struck = strike >= 0;
    age = strike >= 0 ? hops - 1 - strike : 0;
    refining = 0;
    state = 1;
  }

  // Hops from the window to the frame that makes the partials: the plugin
  // takes the window in `scale` hops (the first is the window's own), then
  // transforms it, then takes power_hops() for the power and twice
  // `scale` for the peaks. The window after the refinement's is only read:
  // the partials are weighed by it the hop after its transform.
  int busy(const HoldTables &t) const {
    if (refining == 3 || refining == 2)
      return t.scale + HoldTables::transform_hops(length);
    return (t.scale - 1) + HoldTables::transform_hops(length) + (refining == 1 ? 1 : 0) +
           t.power_hops() + 2 * t.scale;
  }

  void step(HoldChannel *const *ch, int n, const HoldTables &t) {
    if (state == 4) { // the weighing's window, transformed during the fade: weighed after it
      if (refining == 3) {
        weigh(ch, n, t);
        state = 0;
        refining = 4;
        fade = 0;
      }
      return;
    }
    if (state == 3) {
      if (!sounds(ch, n, (ch[0]->at + ch[0]->hops - 1) % ch[0]->hops))
        return;
      start(ch, n, t, 0);
    }
    // A strike seen within 27 ms (five hops at 48 kHz) of the press
    // replaces a window without one.
    if (elapsed > 0 && elapsed <= 5 * t.scale && !struck && find_strike(ch, n, t) >= 0)
      start(ch, n, t, elapsed);
    ++elapsed;
    if (state == 1) {
      if (wait > 0) {
        --wait;
        return;
      }
      const int w = length == t.len[0] ? 0 : 1;
      const int longest = t.len[0];
      for (int c = 0; c < n; ++c) {
        double sum[4] = {}; // sample i in sum i % 4
        const int first = ((ch[c]->at * HOP) - length + longest) % longest;
        // The refinement's window also ramped down from 1 to 0, as the
        // imaginary part: one transform for both.
        const float slope = 1.0f / (float)length;
        late = refining == 1 && elapsed > t.late_hops;
        std::vector<Cpx> &X = ch[c]->spectrum;
        for (int i = 0; i < length; ++i) {
          const float x = ch[c]->history[(first + i) % longest] * t.window[w][i];
          X[i] = Cpx{x, refining == 1 ? x * (1.0f - (float)i * slope) : 0.0f};
          sum[i % 4] += (double)x * x;
        }
        ch[c]->mean_square =
            (float)(((sum[0] + sum[1]) + (sum[2] + sum[3])) / (double)t.tail_power[w][skip[c]]);
        long_fft(X.data(), length);
        if (refining == 1) { // the plain window's bins below, the ramped one's above the middle
          for (int k = 1; k < length / 2; ++k) {
            const Cpx z = X[k], m = X[length - k];
            X[k] = Cpx{(z.re + m.re) * 0.5f, (z.im - m.im) * 0.5f};
            X[length - k] = Cpx{(z.im + m.im) * 0.5f, (m.re - z.re) * 0.5f};
          }
          X[0].im = 0.0f;
          X[length / 2].im = 0.0f;
        }
      }
      since = 0;
      state = 2;
      return;
    }
    if (state == 2 && ++since == busy(t) && refining == 2) { // the fade goes on: wait for it
      state = 4;
      return;
    }
    if (state == 2 && since == busy(t) && refining == 3) { // weighed: fade to that
      weigh(ch, n, t);
      state = 0;
      refining = 4;
      fade = 0;
      return;
    }
    if (state == 2 && since == busy(t)) {
      const bool made = partials(ch, n, t);
      state = 0;
      if (refining == 1) { // made: fade to it; else the first hold stays
        refining = made ? 2 : 0;
        fade = 0;
        // Meanwhile the window that follows its own (from three hops plus
        // two histories after the strike) is taken, to weigh the partials.
        if (made) {
          state = 1;
          length = t.len[0];
          skip[0] = skip[1] = 0;
          wait = std::max(2 * ch[0]->hops + 1 - age, 0);
        }
      } else if (struck && length == t.len[1]) {
        // Refined later by the long window that starts three hops after
        // the strike (its thump left out): taken on the frame where the
        // strike is three hops older than the history's oldest.
        const int hops = ch[0]->hops;
        state = 1;
        length = t.len[0];
        skip[0] = skip[1] = 0;
        wait = std::max(hops + 1 - age, 0);
        refining = 1;
      }
    }
  }

  // Each held partial against the window after the refinement's, read at
  // its bin nearest its frequency (in 256ths of a frame bin, so many times
  // finer a bin of this window) over the window's transform there: its
  // power then over its power held, against the same sums over all the
  // partials, is how much faster than the whole it dies away. Partials more
  // than 12 dB under the strongest are scaled by that ratio, never up; the
  // hold is kept whole when the window has 30 dB less than it.
  void weigh(HoldChannel *const *ch, int n, const HoldTables &t) {
    const int finer = t.len[0] / N;
    for (int c = 0; c < n; ++c) {
      Partials &now = ch[c]->now, &next = ch[c]->next;
      next = now;
      std::vector<float> later(now.count);
      double sum_now = 0.0, sum_later = 0.0;
      float top = 0.0f;
      for (int p = 0; p < now.count; ++p) {
        const int at = (now.bin[p] * 256 + now.frac[p]) * finer;
        const int k = (at + 128) / 256, q = at - k * 256;
        const Cpx x = ch[c]->spectrum[k], r = t.correct[0][q + 128];
        later[p] = (x.re * x.re + x.im * x.im) * (r.re * r.re + r.im * r.im);
        const float a2 = now.amp[p].re * now.amp[p].re + now.amp[p].im * now.amp[p].im;
        sum_now += a2;
        sum_later += later[p];
        top = std::max(top, a2);
      }
      const bool died = !(sum_later > sum_now * 1e-3);
      // A sound that grows as a whole weighs its partials only by their own fall.
      const float scale = died ? 0.0f : sum_later > sum_now ? 1.0f : (float)(sum_now / sum_later);
      for (int p = 0; p < now.count; ++p) {
        const float a2 = now.amp[p].re * now.amp[p].re + now.amp[p].im * now.amp[p].im;
        float g = 1.0f;
        if (!died && a2 > 0.0f && a2 * 16.0f < top) {
          // Down to (a2 / top)^3.5 * 1000 of the strongest (nothing at 12
          // dB, 24 dB from 16 dB under it), never further than 24 dB under.
          const float r = a2 / top;
          const float deepest = std::max(1000.0f * (r * r * r) * sqrtf(r), 0.0039810717f);
          g = std::min(std::max(later[p] * scale / a2, sqrtf(deepest / r)), 1.0f);
        }
        next.amp[p] = Cpx{now.amp[p].re * g, now.amp[p].im * g};
      }
      next.ready = true;
    }
  }

  // Peaks of the summed power; each peak's offset from its bin from the
  // larger neighbour's magnitude against its own (a Hann window's transform
  // of one partial has (1 + d) / (2 - d) there), its complex amplitude from
  // the bin over the window's transform at that offset. Then each channel's
  // partials scaled to the power of its windowed input, and their phases
  // set for the next frame.
  bool partials(HoldChannel *const *ch, int n, const HoldTables &t) {
    const int half = length / 2, w = length == t.len[0] ? 0 : 1;
    float all = 0.0f, held_down = 0.0f; // the refinement's peaks' power, and of those held down
    std::vector<float> power(half + 1);
    float top = 0.0f;
    for (int k = 0; k <= half; ++k) {
      float p = 0.0f;
      for (int c = 0; c < n; ++c)
        p += ch[c]->spectrum[k].re * ch[c]->spectrum[k].re +
             ch[c]->spectrum[k].im * ch[c]->spectrum[k].im;
      power[k] = p;
      top = std::max(top, p);
    }
    int count = 0; // the lowest MAX_PARTIALS peaks, should there be more
    for (int k = 1; k < half && count < MAX_PARTIALS; ++k) {
      if (!(power[k] > power[k - 1] && power[k] >= power[k + 1] && power[k] > top * 1e-12f))
        continue;
      const bool up = power[k + 1] >= power[k - 1];
      const float ratio = sqrtf(up ? power[k + 1] : power[k - 1]) / sqrtf(power[k]);
      float delta = (2.0f * ratio - 1.0f) / (ratio + 1.0f);
      delta = delta > 0.0f ? delta : 0.0f;
      delta = delta < 0.5f ? delta : 0.5f;
      const int q = (int)lrintf(delta * 256.0f) * (up ? 1 : -1);
      // k + q/256 bins of this window are (k + q/256) * 1024 / length frame
      // bins: in 256ths, rounded half up; a hop turns the phase by a
      // quarter of that, 2^32 a turn (mod 2^32).
      const uint64_t x = (uint64_t)(k * 256 + q);
      const uint32_t v = (uint32_t)((x * 1024 + (uint64_t)length / 2) / (uint64_t)length);
      const uint32_t step = (uint32_t)((x << 32) / (uint64_t)length);
      if (v >> 8 > BINS - 1)
        continue;
      // Where the refinement's window reaches over 100 ms past the press, a
      // partial that sounds only late in it (a note begun since) is held 40
      // dB down: under the ramp it keeps less than 0.62 of half its
      // amplitude; or less than 0.75, and the first hold had nothing within
      // a bin of its window (64 / scale 256ths of a frame bin) as strong,
      // against its strongest, as this against this one's, less 20 dB.
      float keep = 1.0f;
      if (refining == 1 && late) {
        float ramped = 0.0f;
        for (int c = 0; c < n; ++c) {
          const Cpx y = ch[c]->spectrum[length - k];
          ramped += y.re * y.re + y.im * y.im;
        }
        if (ramped < 0.0961f * power[k]) {
          keep = 0.01f;
        } else if (ramped < 0.140625f * power[k]) {
          float strongest = 0.0f, near = 0.0f;
          const Partials &first = ch[0]->now;
          for (int p = 0; p < first.count; ++p) {
            float x = 0.0f;
            for (int c = 0; c < n; ++c)
              x += ch[c]->now.amp[p].re * ch[c]->now.amp[p].re +
                   ch[c]->now.amp[p].im * ch[c]->now.amp[p].im;
            const int at = first.bin[p] * 256 + first.frac[p];
            strongest = std::max(strongest, x);
            if (std::abs(at - (int)v) <= 64 / t.scale)
              near = std::max(near, x);
          }
          if (!(near * 100.0f * top >= power[k] * strongest))
            keep = 0.01f;
        }
        all += power[k];
        held_down += keep < 1.0f ? power[k] : 0.0f;
      }
      for (int c = 0; c < n; ++c) {
        Partials &into = refining == 1 ? ch[c]->next : ch[c]->now;
        const Cpx *X = ch[c]->spectrum.data();
        const Cpx x = X[k], r = t.correct[w][q + 128];
        // In a pair, a channel's partial is where its own spectrum peaks
        // within a bin (bin 0 stands for bin -1).
        auto sq = [X](int j) {
          return X[std::max(j, 0)].re * X[std::max(j, 0)].re +
                 X[std::max(j, 0)].im * X[std::max(j, 0)].im;
        };
        bool own = n == 1;
        for (int j = k - 1; j <= k + 1; ++j)
          own = own || (sq(j) > sq(j - 1) && sq(j) >= sq(j + 1));
        into.amp[count] =
            own ? Cpx{(x.re * r.re - x.im * r.im) * keep, (x.re * r.im + x.im * r.re) * keep}
                : Cpx{0.0f, 0.0f};
        into.step[count] = step;
        into.bin[count] = (int)(v >> 8);
        into.frac[count] = (int)(v & 255);
      }
      ++count;
    }
    // A tenth of the refinement's power begun late: the sound changed
    // within its window (another chord), and the first hold stays.
    if (refining == 1 && held_down > 0.1f * all)
      return false;
    // From the window's first sample to the next frame's first.
    const uint32_t hops = (uint32_t)(since + 1 + (length - N) / HOP);
    for (int c = 0; c < n; ++c) {
      Partials &h = refining == 1 ? ch[c]->next : ch[c]->now;
      double sum = 0.0;
      for (int p = 0; p < count; ++p)
        sum += 2.0 * ((double)h.amp[p].re * h.amp[p].re + (double)h.amp[p].im * h.amp[p].im);
      const float gain = sum > 0.0 ? (float)std::sqrt(ch[c]->mean_square / sum) : 0.0f;
      for (int p = 0; p < count; ++p) {
        h.amp[p] = Cpx{h.amp[p].re * gain, h.amp[p].im * gain};
        h.phase[p] = h.step[p] * hops;
      }
      h.count = count;
      h.ready = true;
    }
    return true;
  }
};

// The held partials into bins 0..512 of a frame: each partial, at its
// phase, times the frame window's transform at its four nearest bins (and
// below two bins, its mirror image at negative frequency on bins 0 and 1).
// Partial p adds into row p % 4; the rows are added at the end,
// (row 0 + row 1) + (row 2 + row 3).
inline void render(Partials &h, const HoldTables &t, Cpx x[BINS]) {
  Cpx rows[4][BINS + 3] = {};
  for (int p = 0; p < h.count; ++p) {
    const Cpx e = t.unit(h.phase[p]);
    h.phase[p] += h.step[p];
    const Cpx z{h.amp[p].re * e.re - h.amp[p].im * e.im, h.amp[p].re * e.im + h.amp[p].im * e.re};
    const int b = h.bin[p];
    Cpx *acc = rows[p % 4];
    for (int m = 0; m < 4; ++m) {
      const Cpx k = t.kernel[h.frac[p]][m];
      if (b - 1 + m >= 0) {
        acc[b - 1 + m].re = acc[b - 1 + m].re + (z.re * k.re - z.im * k.im);
        acc[b - 1 + m].im = acc[b - 1 + m].im + (z.re * k.im + z.im * k.re);
      }
    }
    for (int m = 0; b + m <= 1; ++m) { // conj(z) times the kernel at bin + frequency
      const Cpx k = t.kernel[h.frac[p]][m];
      const int to = 1 - b - m;
      acc[to].re = acc[to].re + (z.re * k.re - z.im * k.im);
      acc[to].im = acc[to].im - (z.re * k.im + z.im * k.re);
    }
  }
  for (int k = 0; k < BINS; ++k)
    x[k] = Cpx{(rows[0][k].re + rows[1][k].re) + (rows[2][k].re + rows[3][k].re),
               (rows[0][k].im + rows[1][k].im) + (rows[2][k].im + rows[3][k].im)};
}

// The power of bins 0..512 in double: bin k < 512 in partial sum k % 4,
// the four added in pairs, then bin 512.
inline double power(const Cpx x[BINS]) {
  double lane[4] = {};
  for (int k = 0; k < BINS - 1; ++k)
    lane[k % 4] += (double)(x[k].re * x[k].re + x[k].im * x[k].im);
  return ((lane[0] + lane[1]) + (lane[2] + lane[3])) +
         (double)(x[BINS - 1].re * x[BINS - 1].re + x[BINS - 1].im * x[BINS - 1].im);
}

// The blur's sweep of one frame: its start (a random angle, 2^32 a turn)
// and slide (a random shift of 0..1023 samples, as a turn of bin k by
// k/1024 of a turn), both from an integer hash of the frame's number
// (counted from the instance's creation).
inline void sweep(uint32_t clock, uint32_t &start, uint32_t &slide) {
  uint32_t h = clock * 0x9e3779b1u;
  h = (h ^ (h >> 15)) * 0x2c1b3c6du;
  h = (h ^ (h >> 12)) * 0x297a2d39u;
  start = h ^ (h >> 15);
  slide = (start % 1024) * (1u << 22);
}

// A channel's time within the frame, as a lean of its bins' phases: 2^32
// a turn per bin. Peaks: bins 2 to 510 that are at least 1/32 of the largest
// magnitude of bins 0 to 511, at least their lower neighbour and more than
// their upper one; the partial is the first peak with the largest
// magnitude / (k * k) in float, its frequency k + delta, delta from the
// Hann window's spread ((2 above - at) / (at + above) if the upper
// neighbour is at least the lower, else -(2 below - at) / (below + at)),
// kept within +-1/2. The lean is the phase of its bin in turns (atan2f
// times 1/(2 pi) in float) over that frequency; above 8 bins, moved by
// whole turns over the frequency toward the lean that the best peak 4 or
// more bins from it gives with it (their phase difference within +-1/2
// over their difference of frequency). Times 2^32, as a 32-bit integer, or
// 0 when that is out of range or no bin is a peak.
inline uint32_t lean_of(const Cpx x[BINS], const float mag[BINS]) {
  float top = 0.0f;
  for (int k = 0; k < BINS - 1; ++k)
    if (mag[k] > top)
      top = mag[k];
  const float least = top * 0.03125f;
  auto peak = [&](int away) {
    int at = -1;
    float most = -1.0f;
    for (int k = 2; k <= BINS - 3; ++k) {
      if (std::abs(k - away) <= 3 || mag[k] < least || mag[k] < mag[k - 1] ||
          !(mag[k] > mag[k + 1]))
        continue;
      const float score = mag[k] / (float)(k * k);
      if (score > most)
        most = score, at = k;
    }
    return at;
  };
  auto hz = [&](int k) {
    const float lo = mag[k - 1], mid = mag[k], hi = mag[k + 1];
    const float delta =
        hi >= lo ? (2.0f * hi - mid) / (mid + hi) : -((2.0f * lo - mid) / (lo + mid));
    return (float)k + std::clamp(delta, -0.5f, 0.5f);
  };
  auto turns = [&](int k) { return atan2f(x[k].im, x[k].re) * 0.15915494f; };
  const int first = least > 0.0f ? peak(-100) : -1;
  if (first < 0)
    return 0;
  const float f = hz(first);
  float lean = turns(first) / f;
  const int second = f > 8.0f ? peak(first) : -1;
  if (second >= 0) {
    float apart = turns(second) - turns(first);
    apart -= floorf(apart + 0.5f);
    const float beat = apart / (hz(second) - f);
    lean += floorf((beat - lean) * f + 0.5f) / f;
  }
  lean *= 4294967296.0f;
  if (!(lean > -2147483648.0f && lean < 2147483648.0f))
    return 0;
  return (uint32_t)(int32_t)lean;
}

// The coherent plugins' blur of one channel's complex bins: the blurred
// magnitudes, sqrt(1 - b) of each bin to keep and the scale of the blurred
// part, so that the frame's power stays as it was (4 times over: drawn
// afresh every frame, the blurred bins add up in power through the
// synthesis window alone); b is twice the blur, up to 1, less where the
// energy is spread already.
struct Blurred {
  float mag[BINS];
  float keep = 1.0f, spread = 0.0f;
  double power = 0.0; // of the blurred magnitudes
  uint32_t lean = 0;  // the channel's time, from its unblurred bins
};

inline Blurred blurred_bins(const Cpx x[BINS], const float *blur) {
  Blurred r;
  const float b = std::min(*blur, 1.0f);
  // Sums in double: bin k < 512 in partial sum k % 4, the four added in
  // pairs, then bin 512.
  auto total = [](const float *p) {
    double lane[4] = {};
    for (int k = 0; k < BINS - 1; ++k)
      lane[k % 4] += (double)p[k];
    return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + (double)p[BINS - 1];
  };
  float sq[BINS];
  for (int k = 0; k < BINS; ++k) {
    sq[k] = x[k].re * x[k].re + x[k].im * x[k].im;
    r.mag[k] = sqrtf(x[k].re * x[k].re + x[k].im * x[k].im);
  }
  const double power = total(sq);
  r.lean = lean_of(x, r.mag);
  smooth(r.mag, blur);
  for (int k = 0; k < BINS; ++k)
    sq[k] = r.mag[k] * r.mag[k];
  r.power = total(sq);
  // Twice the blur, up to 1, where the energy stands in peaks; none where
  // the blurred power is three quarters of the frame's or more (noise);
  // straight in between from 0.55; all of it at radius 1.
  float share = std::min(b * 2.0f, 1.0f);
  const float ratio = power > 0.0 ? (float)(r.power / power) : 0.0f;
  if ((int)(15.0f * b) + 1 > 1)
    share = share * std::clamp((0.75f - ratio) * 5.0f, 0.0f, 1.0f);
  r.keep = sqrtf(1.0f - share);
  r.spread = r.power > 0.0 ? (float)std::sqrt(share * 4.0f * power / r.power) : 0.0f;
  return r;
}

// The frame's sweep for the channels that share it (a pair's from both):
// bin k's angle, in 256ths of a turn, falls by the share of the blurred
// power up to bin k (a running sum in double over the bins, each bin's
// channels in order, times (2^32 - 1) / the channels' blurred power, at
// most 2^32 - 1) and turns by the slide and by the lean of the channel
// whose angles these are.
inline void sweep_angles(const Blurred *const *b, int n, uint32_t clock, uint32_t lean,
                         int angle[BINS]) {
  uint32_t phase, slide;
  sweep(clock, phase, slide);
  double all = 0.0, below = 0.0;
  for (int c = 0; c < n; ++c)
    all += b[c]->power;
  const double scale = all > 0.0 ? 4294967295.0 / all : 0.0;
  for (int k = 0; k < BINS; ++k) {
    angle[k] = (int)(((phase + 0x800000u) >> 24) & 255);
    for (int c = 0; c < n; ++c)
      below += (double)(b[c]->mag[k] * b[c]->mag[k]);
    const double fall = below * scale; // NaN counts as past the top
    phase = phase + slide + lean - (uint32_t)(fall < 4294967295.0 ? fall : 4294967295.0);
  }
}

// The coherent plugins' reshaping of complex bins: with blur on (b), each
// bin keeps b->keep of itself and gains b->spread times its blurred
// magnitude at the sweep's angle. Then the gate on the magnitudes, then the shift, each bin
// turned by the shift's quarter turns.
inline void reshape(Cpx x[BINS], const HoldChannel &h, const HoldTables &t, const Blurred *b,
                    const int angle[BINS], const float *threshold, int offset, Cpx acc[BINS]) {
  if (b) {
    for (int k = 0; k < BINS; ++k) {
      const Cpx e = t.coarse[angle[k]];
      const float m = b->spread * b->mag[k];
      x[k] = Cpx{b->keep * x[k].re + m * e.re, b->keep * x[k].im + m * e.im};
    }
  }
  if (gate_fraction(threshold) > 0.0f) {
    float mag[BINS];
    for (int k = 0; k < BINS; ++k)
      mag[k] = sqrtf(x[k].re * x[k].re + x[k].im * x[k].im);
    const float gate = peak_of(mag) * gate_fraction(threshold);
    for (int k = 0; k < BINS; ++k)
      if (mag[k] < gate)
        x[k] = Cpx{0.0f, 0.0f};
  }
  for (int k = 0; k < BINS; ++k)
    acc[k] = Cpx{0.0f, 0.0f};
  for (int k = 0; k < BINS; ++k) {
    const int to = k + offset;
    if (to < 0 || to > BINS - 1)
      continue;
    Cpx y = x[k];
    for (int r = h.shift_turns; r > 0; --r) // times i
      y = Cpx{-y.im, y.re};
    acc[to] = y;
  }
}

// One instance, driven like the plugin: connect ports, then run blocks. The
// aligned variant mixes the wet signal with the dry input of 1024 samples
// earlier and reports that latency on port 7. The coherent variant holds
// partials measured on a long analysis of the past input (HoldAnalysis),
// blurs at random angles drawn by its frames' count, and turns the bins of a
// frame by a quarter turn per bin of shift per hop.
struct Plugin {
  bool aligned = false;
  bool coherent = false;
  float *latency = nullptr;
  float *in = nullptr;
  float *out = nullptr;
  float *freeze = nullptr;
  float *mix = nullptr;
  float *blur = nullptr;
  float *shift = nullptr;
  float *threshold = nullptr;

  float in_ring[N] = {};
  float out_ring[N] = {};
  float window[N] = {};
  float frozen_mag[BINS] = {};
  float frozen_phase[BINS] = {};
  Cpx spec[N] = {};
  uint32_t pos = 0; // next ring position to fill, also the oldest sample
  uint32_t hop = 0;
  float prev_freeze = 0.0f;
  int frozen = 0;
  uint32_t frames = 0; // frames run, for the coherent blur's angles

  // Coherent variant only.
  HoldTables tables;
  HoldChannel held;
  HoldAnalysis analysis;

  explicit Plugin(bool is_aligned = false, bool is_coherent = false, double rate = 48000.0)
      : aligned(is_aligned), coherent(is_coherent), tables(rate), held(tables.len[0]) {
    for (int i = 0; i < N; ++i)
      window[i] = hann(i);
  }

  void connect(uint32_t port, float *data) {
    float **slot[8] = {&in, &out, &freeze, &mix, &blur, &shift, &threshold, &latency};
    if (port < (aligned ? 8u : 7u))
      *slot[port] = data;
  }

  void run(uint32_t n) {
    if (aligned && latency)
      *latency = 1024.0f;
    const float a = mix_amount(mix);
    for (uint32_t i = 0; i < n; ++i) {
      const Taken t = take(in ? in[i] : 0.0f);
      if (out)
        out[i] = (1.0f - a) * t.dry + t.wet * a;
      if (t.frame_due)
        frame();
    }
  }

  // One sample x into the rings: the wet sample it meets, the dry sample of
  // that moment, and whether a frame is due now (after the output is written).
  struct Taken {
    float dry, wet;
    bool frame_due;
  };
  Taken take(float x) {
    if (!present(&x))
      x = 0.0f;
    // Deliberate behaviour, not a transcription of the frame arithmetic:
    // enormous finite input can overflow the transforms into infinity and
    // NaN, and a wet value that is not finite plays as silence, exactly as
    // a non-finite input sample does. Finite input never gives NaN or
    // infinity; every finite result is untouched.
    float wet = out_ring[pos];
    if (!present(&wet))
      wet = 0.0f;
    out_ring[pos] = 0.0f;
    const float dry = aligned ? in_ring[pos] : x;
    in_ring[pos] = x;
    pos = (pos + 1) % N;
    const bool due = ++hop == HOP;
    if (due)
      hop = 0;
    return {dry, wet, due};
  }

  // The windowed block into spec[], transformed.
  void analyse() {
    for (int i = 0; i < N; ++i)
      spec[i] = Cpx{in_ring[(pos + i) & (N - 1)] * window[i], 0.0f};
    fft(spec, 0);
  }

  // Captures on the frame where the switch goes on (the coherent plugins
  // hold otherwise, below); holds while it stays on. Returns whether this
  // frame captured.
  bool decide_freeze() {
    const float b = present(freeze) ? *freeze : 0.0f;
    bool captured = false;
    if (b >= 0.5f) {
      if (prev_freeze < 0.5f) {
        captured = true;
        for (int k = 0; k < BINS && !coherent; ++k) {
          frozen_mag[k] = sqrtf(spec[k].re * spec[k].re + spec[k].im * spec[k].im);
          frozen_phase[k] = atan2f(spec[k].im, spec[k].re);
        }
        frozen = 1;
      }
    } else {
      frozen = 0;
    }
    prev_freeze = b;
    return captured;
  }

  // acc[] (bins 0..512) completed, inverse-transformed, windowed and added.
  void synthesise(const Cpx acc[BINS]) {
    for (int k = 0; k < BINS; ++k)
      spec[k] = acc[k];
    for (int k = 1; k < BINS - 1; ++k)
      spec[N - k] = Cpx{spec[k].re, -spec[k].im};
    fft(spec, 1);
    for (int i = 0; i < N; ++i)
      out_ring[(pos + i) & (N - 1)] += (spec[i].re * window[i]) * 0.6666667f;
  }

  // The live bins through blur, gate and shift by magnitude and phase, each
  // source bin turned by turns[k] quarter turns when given.
  void live(const int *turns) {
    float mag[BINS], phase[BINS];
    for (int k = 0; k < BINS; ++k) {
      mag[k] = sqrtf(spec[k].re * spec[k].re + spec[k].im * spec[k].im);
      phase[k] = atan2f(spec[k].im, spec[k].re);
    }
    smooth(mag, blur);
    Cpx acc[BINS];
    accumulate(acc, mag, phase, bin_offset(shift), peak_of(mag) * gate_fraction(threshold), turns);
    synthesise(acc);
  }

  void frame() {
    if (coherent) {
      Plugin *const one[1] = {this};
      coherent_frame(one, 1);
    } else {
      plain_frame();
    }
  }

  void plain_frame() {
    analyse();
    decide_freeze();
    if (!frozen) {
      live(nullptr);
      return;
    }
    float mag[BINS];
    std::memcpy(mag, frozen_mag, sizeof mag);
    smooth(mag, blur);
    Cpx acc[BINS];
    accumulate(acc, mag, frozen_phase, bin_offset(shift), peak_of(mag) * gate_fraction(threshold));
    synthesise(acc);
  }

  // One hop of the coherent plugins for n channels in step (a stereo pair:
  // the same controls, read from the first); the hold's analysis is made
  // from all of them and the blur's angles come from the first one's clock.
  static void coherent_frame(Plugin *const *p, int n) {
    Plugin &lead = *p[0];
    HoldChannel *h[2];
    bool captured = false;
    for (int c = 0; c < n; ++c) {
      Plugin &q = *p[c];
      q.analyse();
      captured = q.decide_freeze();
      float newest[HOP];
      for (int i = 0; i < HOP; ++i)
        newest[i] = q.in_ring[(q.pos + N - HOP + i) & (N - 1)];
      q.held.push(newest);
      if (c == 0)
        ++lead.analysis.age;
      h[c] = &q.held;
      if (captured || !q.frozen) {
        q.held.now.ready = false;
        lead.analysis.state = 0;
        lead.analysis.refining = 0;
      }
      // Held frames need no live spectrum.
      if (q.frozen && q.held.now.ready) {
        q.held.quiet();
      } else {
        float mag[BINS];
        for (int k = 0; k < BINS; ++k)
          mag[k] = sqrtf(q.spec[k].re * q.spec[k].re + q.spec[k].im * q.spec[k].im);
        q.held.rise(mag, lead.tables.fall);
      }
    }
    HoldAnalysis &an = lead.analysis;
    const HoldTables &t = lead.tables;
    if (captured)
      an.start(h, n, t, 0);
    const bool playing = lead.frozen && lead.held.now.ready;
    if (lead.frozen && !playing)
      an.step(h, n, t);
    if (playing && (an.refining == 1 || an.refining == 2)) {
      an.step(h, n, t);
    } else if (playing && an.refining == 3) {
      an.step(h, n, t);
    }
    const bool fading = playing && (an.refining == 2 || an.refining == 4);
    if (fading && an.fade == 0) {
      // 43 ms, doubled for every doubling beyond 1 dB of the difference
      // between the two holds' power, to 8 times that from 4 dB on.
      double from = 0.0, to = 0.0;
      for (int c = 0; c < n; ++c) {
        for (int p = 0; p < h[c]->now.count; ++p)
          from += (double)h[c]->now.amp[p].re * h[c]->now.amp[p].re +
                  (double)h[c]->now.amp[p].im * h[c]->now.amp[p].im;
        for (int p = 0; p < h[c]->next.count; ++p)
          to += (double)h[c]->next.amp[p].re * h[c]->next.amp[p].re +
                (double)h[c]->next.amp[p].im * h[c]->next.amp[p].im;
      }
      an.fade_frames = 8 * t.scale;
      if (from > 0.0 && to > 0.0) {
        const double ratio = std::max(from / to, to / from);
        for (double db : {1.0, 2.0, 4.0})
          if (ratio > std::pow(10.0, db / 10.0))
            an.fade_frames *= 2;
      }
    }
    const float share = (float)(an.fade + 1) / (float)an.fade_frames;
    // The spectrum itself goes over in 43 ms, however long the level takes.
    const float mix =
        an.fade + 1 >= 8 * t.scale ? 1.0f : (float)(an.fade + 1) / (float)(8 * t.scale);

    const int offset = bin_offset(lead.shift);
    const bool blurred = present(lead.blur) && *lead.blur > 1e-4f;
    const uint32_t clock = lead.frames;
    for (int c = 0; c < n; ++c)
      ++p[c]->frames;
    Cpx x[2][BINS];
    Blurred b[2];
    const Blurred *all[2] = {&b[0], &b[1]};
    int angle[2][BINS];
    for (int c = 0; c < n; ++c) {
      Plugin &q = *p[c];
      q.held.shift_turns = offset == 0 ? 0 : ((q.held.shift_turns + offset) % 4 + 4) % 4;
      if (playing) {
        render(q.held.now, lead.tables, x[c]);
        if (fading) { // toward the refinement, at the power between the two
          Cpx y[BINS];
          render(q.held.next, lead.tables, y);
          const double from = power(x[c]), to = power(y);
          for (int k = 0; k < BINS; ++k)
            x[c][k] = Cpx{(1.0f - mix) * x[c][k].re + mix * y[k].re,
                          (1.0f - mix) * x[c][k].im + mix * y[k].im};
          // The power in between in dB: (to / from) to the fade's share,
          // its frames a power of two (linear where either is silent).
          double want = (1.0 - (double)share) * from + (double)share * to;
          if (from > 0.0 && to > 0.0) {
            double root = to / from;
            for (int f = an.fade_frames; f > 1; f /= 2)
              root = std::sqrt(root);
            double gain = 1.0; // root^(fade + 1), by its binary digits, lowest first
            double square = root;
            for (int e = an.fade + 1; e > 0; e /= 2) {
              if (e % 2 == 1)
                gain *= square;
              square *= square;
            }
            want = from * gain;
          }
          const double got = power(x[c]);
          const float g = got > 0.0 ? (float)std::sqrt(want / got) : 0.0f;
          for (int k = 0; k < BINS; ++k)
            x[c][k] = Cpx{x[c][k].re * g, x[c][k].im * g};
        }
      } else {
        std::memcpy(x[c], q.spec, sizeof x[c]);
      }
      if (blurred)
        b[c] = blurred_bins(x[c], lead.blur);
    }
    for (int c = 0; blurred && c < n; ++c)
      sweep_angles(all, n, clock, b[c].lean, angle[c]);
    for (int c = 0; c < n; ++c) {
      Plugin &q = *p[c];
      if (playing || blurred) {
        Cpx acc[BINS];
        reshape(x[c], q.held, lead.tables, blurred ? &b[c] : nullptr, angle[c], lead.threshold,
                offset, acc);
        q.synthesise(acc);
      } else {
        int turns[BINS];
        for (int k = 0; k < BINS; ++k)
          turns[k] = q.held.shift_turns;
        q.live(turns);
      }
    }
    if (fading && ++an.fade == an.fade_frames) {
      for (int c = 0; c < n; ++c) {
        Partials &now = h[c]->now, &next = h[c]->next;
        now.count = next.count;
        std::copy(next.amp, next.amp + next.count, now.amp);
        std::copy(next.phase, next.phase + next.count, now.phase);
        std::copy(next.step, next.step + next.count, now.step);
        std::copy(next.bin, next.bin + next.count, now.bin);
        std::copy(next.frac, next.frac + next.count, now.frac);
        next.ready = false;
      }
      an.refining = an.refining == 2 ? 3 : 0; // then the partials are weighed
    }
  }
};

// The frame of a stereo pair: the hold of both channels as one.
inline void frame_pair(Plugin &left, Plugin &right) {
  Plugin *const two[2] = {&left, &right};
  Plugin::coherent_frame(two, 2);
}

// A plugin of the library as a host sees it: one channel or a stereo pair in
// lockstep, its ports by the plugin's own indices (the table of ports gives
// each index its role), and the host's bypass: toward the dry signal, one
// hop's worth of samples for the whole way, the frames going on meanwhile.
struct Pair {
  PluginInfo info;
  Plugin ch[2];
  ByRole<float *> port = {};
  float bypass = 0.0f; // 0 processing, 1 bypassed

  Pair(const PluginInfo &p, double rate)
      : info(p), ch{Plugin(p.latency, p.coherent, rate), Plugin(p.latency, p.coherent, rate)} {}

  void connect(uint32_t index, float *data) {
    if (index < info.port_count)
      port[info.ports[index]] = data;
  }

  void run(uint32_t n) {
    const bool stereo = info.channels == 2;
    float *in[2] = {port[stereo ? Role::IN_L : Role::IN], port[Role::IN_R]};
    float *out[2] = {port[stereo ? Role::OUT_L : Role::OUT], port[Role::OUT_R]};
    for (Plugin &c : ch) {
      c.freeze = port[Role::FREEZE];
      c.blur = port[Role::BLUR];
      c.shift = port[Role::SHIFT];
      c.threshold = port[Role::THRESHOLD];
    }
    if (info.latency && port[Role::LATENCY])
      *port[Role::LATENCY] = 1024.0f;
    const float a = mix_amount(port[Role::MIX]);
    // Bypassed below 0.5; an absent switch is on.
    const float *enabled = port[Role::ENABLED];
    const float target = info.bypass && present(enabled) && *enabled < 0.5f ? 1.0f : 0.0f;
    for (uint32_t i = 0; i < n; ++i) {
      if (bypass < target)
        bypass = std::min(bypass + 1.0f / HOP, target);
      else if (bypass > target)
        bypass = std::max(bypass - 1.0f / HOP, target);
      bool due = false;
      for (uint32_t c = 0; c < info.channels; ++c) {
        const Plugin::Taken t = ch[c].take(in[c] ? in[c][i] : 0.0f);
        const float mixed = (1.0f - a) * t.dry + t.wet * a;
        if (out[c])
          out[c][i] = bypass == 0.0f   ? mixed
                      : bypass == 1.0f ? t.dry
                                       : mixed * (1.0f - bypass) + t.dry * bypass;
        due = t.frame_due;
      }
      if (due) {
        if (info.channels == 2)
          frame_pair(ch[0], ch[1]);
        else
          ch[0].frame();
      }
    }
  }
};

} // namespace ref
