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

// Phase arithmetic of the coherent plugins.
constexpr float PI = 3.1415927f;
inline float wrap(float x) {
  if (x > PI)
    return x - 6.2831855f;
  if (x < -PI)
    return x + 6.2831855f;
  return x;
}

// One instance, driven like the plugin: connect ports, then run blocks. The
// aligned variant mixes the wet signal with the dry input of 1024 samples
// earlier and reports that latency on port 7. The coherent variant advances
// a held spectrum's phases by the drift each bin showed over the hop after
// the capture, and turns the bins of a frame by a quarter turn per bin of
// shift per hop.
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

  // Coherent variant only.
  float base[BINS] = {};   // held phases, the centres' quarter turns left out
  float drift[BINS] = {};  // per hop, beyond the centre's advance
  float offset[BINS] = {}; // captured phase against the peak's
  int peak[BINS] = {};
  int held = 0; // frames since the capture
  bool measured = false;
  int shift_turns = 0; // since the offset was last 0

  explicit Plugin(bool is_aligned = false, bool is_coherent = false)
      : aligned(is_aligned), coherent(is_coherent) {
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

  // Captures on the frame where the switch goes on; holds while it stays on.
  // Returns whether this frame captured.
  bool decide_freeze() {
    const float b = present(freeze) ? *freeze : 0.0f;
    bool captured = false;
    if (b >= 0.5f) {
      if (prev_freeze < 0.5f) {
        captured = true;
        for (int k = 0; k < BINS; ++k) {
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

  // The held phases of this frame, in phase[]; the bins' quarter turns in
  // turns[]. Each bin belongs to the peak it reaches going uphill over the
  // captured magnitudes; the peak's phase advances by its measured drift and
  // the centre of bin k turns k quarter turns per hop; every bin follows its
  // peak, at the phase distance that the capture found between them.
  void hold(bool captured, float phase[BINS], int turns[BINS]) {
    if (captured) {
      std::memcpy(base, frozen_phase, sizeof base);
      for (int k = 0; k < BINS; ++k) {
        phase[k] = frozen_phase[k];
        peak[k] = k;
      }
      held = 0;
      measured = false;
    } else {
      if (!measured) {
        const float quarter[4] = {0.0f, 1.5707964f, 3.1415927f, 4.712389f};
        for (int k = 0; k < BINS; ++k) {
          const float live = atan2f(spec[k].im, spec[k].re);
          const float d = wrap(wrap(live - frozen_phase[k]) - quarter[k % 4]);
          drift[k] = std::isfinite(d) ? d : 0.0f;
        }
        for (int k = 0; k < BINS; ++k) {
          int p = k;
          for (;;) {
            const float m = frozen_mag[p];
            const float left = p > 0 ? frozen_mag[p - 1] : m;
            const float right = p < BINS - 1 ? frozen_mag[p + 1] : m;
            if (right > m && right >= left)
              ++p;
            else if (left > m)
              --p;
            else
              break;
          }
          peak[k] = p;
          offset[k] = wrap(frozen_phase[k] - frozen_phase[p]);
        }
        measured = true;
      }
      for (int k = 0; k < BINS; ++k)
        base[k] = wrap(base[k] + drift[k]);
      for (int k = 0; k < BINS; ++k)
        phase[k] = wrap(base[peak[k]] + offset[k]);
      ++held;
    }
    for (int k = 0; k < BINS; ++k)
      turns[k] = (int)(((long long)(peak[k] % 4) * held) % 4);
  }

  void frame() {
    for (int i = 0; i < N; ++i)
      spec[i] = Cpx{in_ring[(pos + i) & (N - 1)] * window[i], 0.0f};
    fft(spec, 0);

    const bool captured = decide_freeze();

    float mag[BINS], phase[BINS];
    for (int k = 0; k < BINS; ++k) {
      if (frozen) {
        mag[k] = frozen_mag[k];
        phase[k] = frozen_phase[k];
      } else {
        mag[k] = sqrtf(spec[k].re * spec[k].re + spec[k].im * spec[k].im);
        phase[k] = atan2f(spec[k].im, spec[k].re);
      }
    }

    smooth(mag, blur);

    const int offset = bin_offset(shift);
    const float gate = peak_of(mag) * gate_fraction(threshold);

    int turns[BINS] = {};
    if (coherent) {
      if (frozen)
        hold(captured, phase, turns);
      shift_turns = offset == 0 ? 0 : ((shift_turns + offset) % 4 + 4) % 4;
      for (int k = 0; k < BINS; ++k)
        turns[k] = (turns[k] + shift_turns) % 4;
    }

    Cpx acc[BINS];
    accumulate(acc, mag, phase, offset, gate, coherent ? turns : nullptr);
    for (int k = 0; k < BINS; ++k)
      spec[k] = acc[k];
    for (int k = 1; k < BINS - 1; ++k)
      spec[N - k] = Cpx{spec[k].re, -spec[k].im};
    fft(spec, 1);

    for (int i = 0; i < N; ++i)
      out_ring[(pos + i) & (N - 1)] += (spec[i].re * window[i]) * 0.6666667f;
  }
};

// The frame of a stereo pair: each channel on its own.
inline void frame_pair(Plugin &left, Plugin &right) {
  left.frame();
  right.frame();
}

// A plugin of the library as a host sees it: one channel or a stereo pair in
// lockstep, its ports by the plugin's own indices (as the table of ports
// numbers them), and the host's bypass: toward the dry signal, one hop's
// worth of samples for the whole way, the frames going on meanwhile.
struct Pair {
  struct {
    bool latency, bypass;
    uint32_t channels, port_count;
    uint8_t ports[32]; // each port's role
  } info;
  Plugin ch[2];
  float *in[2] = {}, *out[2] = {};
  float *enabled = nullptr;
  float bypass = 0.0f; // 0 processing, 1 bypassed

  explicit Pair(const PluginInfo &p)
      : info{p.latency, p.bypass, p.channels, p.port_count, {}}, ch{Plugin(p.latency, p.coherent),
                                                                    Plugin(p.latency, p.coherent)} {
    for (uint32_t i = 0; i < p.port_count; ++i)
      info.ports[i] = static_cast<uint8_t>(p.ports[i]);
  }

  void connect(uint32_t port, float *data) {
    if (port >= info.port_count)
      return;
    switch (static_cast<Role>(info.ports[port])) {
    case Role::IN:
    case Role::IN_L: in[0] = data; break;
    case Role::IN_R: in[1] = data; break;
    case Role::OUT:
    case Role::OUT_L: out[0] = data; break;
    case Role::OUT_R: out[1] = data; break;
    case Role::FREEZE: ch[0].freeze = ch[1].freeze = data; break;
    case Role::MIX: ch[0].mix = ch[1].mix = data; break;
    case Role::BLUR: ch[0].blur = ch[1].blur = data; break;
    case Role::SHIFT: ch[0].shift = ch[1].shift = data; break;
    case Role::THRESHOLD: ch[0].threshold = ch[1].threshold = data; break;
    case Role::LATENCY: ch[0].latency = data; break;
    case Role::ENABLED: enabled = data; break;
    }
  }

  void run(uint32_t n) {
    if (info.latency && ch[0].latency)
      *ch[0].latency = 1024.0f;
    const float a = mix_amount(ch[0].mix);
    // Bypassed below 0.5; an absent switch is on.
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
