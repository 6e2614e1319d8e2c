// What the plugin shows of itself: a reduced spectrum (128 bands on a log
// frequency axis) of the input, of the output and of what is held, for the
// plugin window (ui/) and for Ardour's inline display in the mixer strip.
//
// The window listens through the `control` atom port: it sends a Listen
// message when it opens and every second while it is open, and Unlisten when
// it closes. For three seconds after each Listen the plugin sends a Spectrum
// message on `notify` every `every` frames (about 30 a second). With nobody
// listening nothing is computed for the window; only a host that offers the
// inline display's queue_draw gets, twice as rarely, the output spectrum and
// the hold (no extra transform). All of it reads the frame's results after
// the frame and changes nothing the audio depends on.
//
// Real-time: the bands are maxima over fixed bin ranges, the input spectrum
// one forward transform into buffers of the display's own, the message
// written by the atom forge into the host's buffer; nothing is allocated,
// locked or called. The inline display's picture is drawn (by the host's GUI
// thread) into pixels that are part of the instance's one allocation, from a
// copy of the latest bands taken under a sequence count, as state.hpp does.
#pragma once

#include <stdint.h>
#include <string.h>

#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>

#include "dsp/channel.hpp"
#include "dsp/frame.hpp"
#include "dsp/shift_gate.hpp"
#include "plugin/instance.hpp"
#include "plugin/spectrum_message.hpp"

namespace {

struct Showing {
  SpectrumUrids urid;
  uint32_t mapped;                                 // 1: the URIDs are there, the atom ports usable
  uint32_t every;                                  // frames between two messages
  uint32_t frames;                                 // frames since the last one
  uint32_t listen_span;                            // samples a Listen lasts
  uint32_t listening;                              // samples still to send for
  InlineDisplay host;                              // queue_draw, when the host offers it
  uint16_t lo[spectrum_bands], hi[spectrum_bands]; // each band's bins
  float rate;
  LV2_Atom_Forge forge;
  LV2_Atom_Forge_Frame sequence;    // the run's, on `notify`: the forge points to it
  alignas(16) float re[block_size]; // the input's transform
  alignas(16) float im[block_size];
  alignas(16) float tmp[block_size];
  Bands work;     // being made
  Bands shown[2]; // the latest, in shown[seq / 2 & 1] (seq even when complete)
  uint32_t seq;
  Bands copy; // the render's own copy
  InlineSurface surface;
  uint32_t pixels[display_width * display_height];
};

// Where the display lies: at `display_at`, after the record, its channels
// and whatever else the plugin has (inst()).
constexpr size_t display_offset(size_t before) {
  return (before + alignof(Showing) - 1) / alignof(Showing) * alignof(Showing);
}
inline Showing &display_of(Instance *self) {
  return *reinterpret_cast<Showing *>(reinterpret_cast<char *>(self) + self->display_at);
}

// x (at least 0) to the nearest whole number.
inline uint32_t nearest(double x) {
  const auto n = static_cast<uint32_t>(x);
  return x - n >= 0.5 ? n + 1 : n;
}

inline void prepare_display(Showing &d, double rate, const LV2_Feature *const *features) {
  const LV2_URID_Map *map = nullptr;
  for (; features && *features; ++features) {
    if (!strcmp((*features)->URI, LV2_URID__map)) {
      map = static_cast<const LV2_URID_Map *>((*features)->data);
    } else if (!strcmp((*features)->URI, QUORVANE_INLINE_DISPLAY "#queue_draw") &&
               (*features)->data) {
      d.host = *static_cast<const InlineDisplay *>((*features)->data);
    }
  }
  if (map && map_spectrum_urids(d.urid, map)) {
    d.mapped = 1;
    lv2_atom_forge_init(&d.forge, const_cast<LV2_URID_Map *>(map));
  }
  const double per_second = rate / hop_size;
  const double every = per_second / 30.0 + 0.5;
  d.every = !(every >= 1.0) ? 1 : every > 1e6 ? 1000000u : static_cast<uint32_t>(every);
  const double span = rate * 3.0; // (a NaN rate gives 1 and 1)
  d.listen_span = !(span >= 1.0) ? 1 : span > 4e9 ? 4000000000u : static_cast<uint32_t>(span);
  d.rate = static_cast<float>(rate);
  for (uint32_t b = 0; b < spectrum_bands; ++b) {
    const uint32_t lo = nearest(band_edge(b));
    const uint32_t next = nearest(band_edge(b + 1));
    d.lo[b] = static_cast<uint16_t>(lo);
    d.hi[b] = static_cast<uint16_t>(b + 1 == spectrum_bands ? bins - 1 : next > lo ? next - 1 : lo);
  }
  d.surface.data = reinterpret_cast<unsigned char *>(d.pixels);
}

// The start of a run: an empty sequence on `notify`, and the window's
// messages on `control` (Listen, Unlisten) taken in.
inline void display_begin(Showing &d, const void *control, void *notify, uint32_t sample_count) {
  if (!d.mapped) {
    return;
  }
  d.listening = d.listening > sample_count ? d.listening - sample_count : 0;
  if (control) {
    const auto *seq = static_cast<const LV2_Atom_Sequence *>(control);
    if (seq->atom.type == d.urid.sequence) {
      LV2_ATOM_SEQUENCE_FOREACH(seq, ev) {
        if (ev->body.type != d.urid.object) {
          continue;
        }
        const auto *obj = reinterpret_cast<const LV2_Atom_Object *>(&ev->body);
        if (obj->body.otype == d.urid.listen) {
          d.listening = d.listen_span;
        } else if (obj->body.otype == d.urid.unlisten) {
          d.listening = 0;
        }
      }
    }
  }
  if (notify) {
    auto *out = static_cast<LV2_Atom_Sequence *>(notify);
    const uint32_t capacity = out->atom.size;
    lv2_atom_forge_set_buffer(&d.forge, static_cast<uint8_t *>(notify), capacity);
    if (!lv2_atom_forge_sequence_head(&d.forge, &d.sequence, 0)) {
      d.forge.buf = nullptr; // too small even for that: nothing is sent
    }
  } else {
    d.forge.buf = nullptr;
  }
}

// Each band's largest value of row[k] (k a bin), through the band table.
inline void reduce(const Showing &d, const float *row, float scale, float *to, bool keep_max) {
  for (uint32_t b = 0; b < spectrum_bands; ++b) {
    float m = 0.0f;
    for (uint32_t k = d.lo[b]; k <= d.hi[b]; ++k) {
      m = row[k] > m ? row[k] : m;
    }
    m *= scale;
    to[b] = keep_max && to[b] > m ? to[b] : m;
  }
}

// Magnitudes of bins 0..512 of re/im into mag (the display's own rows).
inline void bin_magnitudes(const float *re, const float *im, float *mag) {
  for (uint32_t k = 0; k < bins; ++k) {
    mag[k] = sqrtf(re[k] * re[k] + im[k] * im[k]);
  }
}

// A sine of amplitude A reads A * 256 in a Hann-windowed 1024-point transform.
constexpr float bin_to_sine = 1.0f / 256.0f;

// One channel's share of the bands, after its frame: `with_input` adds a
// transform of the same input block the frame saw.
inline void gather(Showing &d, Channel &ch, const Controls &ctl, bool coherent, bool first,
                   bool with_input) {
  Bands &w = d.work;
  float *mag = d.tmp; // 513 of its floats
  if (with_input) {
    analyse(ch.in_ring, ch.window, ch.pos, d.tmp, d.re, d.im, ch.scratch.fwd);
    bin_magnitudes(d.re, d.im, mag);
    reduce(d, mag, bin_to_sine, w.input, !first);
  } else if (first) {
    memset(w.input, 0, sizeof w.input);
  }
  // The reshaped bins the frame resynthesised are still in acc_re/acc_im.
  bin_magnitudes(ch.scratch.acc_re, ch.scratch.acc_im, mag);
  reduce(d, mag, bin_to_sine, w.output, !first);
  // The gate's level: the threshold against the peak of what it gated.
  const float gate = ctl.threshold > 0.0f ? gate_level(ch.mag, ctl.threshold) * bin_to_sine : 0.0f;
  w.gate = first || gate > w.gate ? gate : w.gate;
  if (first) {
    memset(w.held_level, 0, sizeof w.held_level);
    memset(w.held_bin, 0, sizeof w.held_bin);
    w.held = 0;
  }
  if (coherent) {
    const Hold &h = ch.co->hold;
    if (!(ch.frozen && h.ready)) {
      return;
    }
    w.held = 1;
    // Partials come in order of frequency: each band's strongest, by a walk
    // through the bands alongside.
    uint32_t b = 0;
    for (uint32_t p = 0; p < h.count && p < max_partials; ++p) {
      const uint32_t k = h.bin[p];
      while (b + 1 < spectrum_bands && k > d.hi[b]) {
        ++b;
      }
      const float level = 2.0f * sqrtf(h.amp_re[p] * h.amp_re[p] + h.amp_im[p] * h.amp_im[p]);
      // The lowest bands are narrower than a bin: each band that has bin k.
      for (uint32_t c = b; c < spectrum_bands && d.lo[c] <= k; ++c) {
        if (k <= d.hi[c] && level > w.held_level[c]) {
          w.held_level[c] = level;
          w.held_bin[c] = static_cast<float>(k) + static_cast<float>(h.frac[p]) * (1.0f / 256.0f);
        }
      }
    }
  } else if (ch.frozen) {
    w.held = 1;
    for (uint32_t b = 0; b < spectrum_bands; ++b) {
      for (uint32_t k = d.lo[b]; k <= d.hi[b]; ++k) {
        const float level = ch.frozen_mag[k] * bin_to_sine;
        if (level > w.held_level[b]) {
          w.held_level[b] = level;
          w.held_bin[b] = static_cast<float>(k);
        }
      }
    }
  }
}

inline void forge_vector(LV2_Atom_Forge &f, LV2_URID key, LV2_URID floats, const float *v) {
  lv2_atom_forge_key(&f, key);
  lv2_atom_forge_vector(&f, sizeof(float), floats, spectrum_bands, v);
}

// After a frame at sample `at` of the run: the bands, when they are due,
// sent to a listening window and handed to the inline display.
template <uint32_t channels, bool coherent>
inline void display_frame(Showing &d, Channel *const *chs, const Controls &ctl, uint32_t at) {
  const bool listening = d.mapped && d.listening > 0 && d.forge.buf;
  if (!listening && !d.host.queue_draw) {
    return;
  }
  // The window gets about 30 a second; the strip alone half that.
  if (++d.frames < (listening ? d.every : 2 * d.every)) {
    return;
  }
  d.frames = 0;
  for (uint32_t c = 0; c < channels; ++c) {
    gather(d, *chs[c], ctl, coherent, c == 0, listening);
  }
  if (listening && d.forge.size - d.forge.offset >= spectrum_message_bytes) {
    const Bands &w = d.work;
    LV2_Atom_Forge &f = d.forge;
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_frame_time(&f, at);
    lv2_atom_forge_object(&f, &frame, 0, d.urid.spectrum);
    lv2_atom_forge_key(&f, d.urid.rate);
    lv2_atom_forge_float(&f, d.rate);
    lv2_atom_forge_key(&f, d.urid.gate);
    lv2_atom_forge_float(&f, w.gate);
    lv2_atom_forge_key(&f, d.urid.held);
    lv2_atom_forge_int(&f, w.held);
    forge_vector(f, d.urid.input, d.urid.floats, w.input);
    forge_vector(f, d.urid.output, d.urid.floats, w.output);
    forge_vector(f, d.urid.level, d.urid.floats, w.held_level);
    forge_vector(f, d.urid.at, d.urid.floats, w.held_bin);
    lv2_atom_forge_pop(&f, &frame);
  }
  if (d.host.queue_draw) {
    const uint32_t seq = d.seq;
    __atomic_store_n(&d.seq, seq + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    d.shown[((seq + 2) >> 1) & 1] = d.work;
    __atomic_store_n(&d.seq, seq + 2, __ATOMIC_RELEASE);
    d.host.queue_draw(d.host.handle);
  }
}

// --- The inline display's picture ------------------------------------------

// Level to a row: -90 dB at the bottom, 0 dB at the top.
inline int level_row(float level, int h) {
  // 20 log10(level) without the math library: log2 from the float's bits.
  if (!(level > 1e-9f)) {
    return h;
  }
  union {
    float f;
    uint32_t u;
  } v = {level};
  const float e = static_cast<float>(static_cast<int>((v.u >> 23) & 255) - 127);
  v.u = (v.u & 0x007fffffu) | 0x3f800000u; // mantissa in [1, 2)
  const float m = v.f;
  const float log2 =
      e - 1.7417939f + (2.8212026f + (-1.4699568f + (0.44717955f - 0.056570851f * m) * m) * m) * m;
  const float db = log2 * 6.0206f;
  const float y = -db / 90.0f * static_cast<float>(h);
  return y < 0.0f ? 0 : y > static_cast<float>(h) ? h : static_cast<int>(y);
}

inline void fill_column(uint32_t *px, int stride, int x, int y0, int y1, uint32_t argb) {
  for (int y = y0; y < y1; ++y) {
    px[y * stride + x] = argb;
  }
}

// The mixer strip's picture: the output spectrum as bars, the held
// partials as bright lines, the gate as a line across.
inline InlineSurface *render_display(Showing &d, uint32_t w, uint32_t max_h) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const uint32_t before = __atomic_load_n(&d.seq, __ATOMIC_ACQUIRE);
    if (before & 1) {
      continue;
    }
    memcpy(&d.copy, &d.shown[(before >> 1) & 1], sizeof d.copy);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(&d.seq, __ATOMIC_RELAXED) == before) {
      break;
    }
  }
  const int width = static_cast<int>(w < 8 ? 8 : w > display_width ? display_width : w);
  int height = width * 3 / 8;
  height = height < 16 ? 16 : height;
  height = height > static_cast<int>(max_h) ? static_cast<int>(max_h) : height;
  height = height > static_cast<int>(display_height) ? static_cast<int>(display_height) : height;
  height = height < 1 ? 1 : height;
  uint32_t *px = d.pixels;
  for (int i = 0; i < width * height; ++i) {
    px[i] = 0xff101418u;
  }
  const Bands &s = d.copy;
  // Bands per column by a float (32-bit Arm has no integer division).
  const float per_column = static_cast<float>(spectrum_bands) / static_cast<float>(width);
  for (int x = 0; x < width; ++x) {
    auto b = static_cast<uint32_t>(static_cast<float>(x) * per_column);
    b = b < spectrum_bands ? b : spectrum_bands - 1;
    fill_column(px, width, x, level_row(s.output[b], height), height, 0xff2f7fb0u);
    if (s.held && s.held_level[b] > 0.0f) {
      const int y = level_row(s.held_level[b], height);
      fill_column(px, width, x, y, y + 2 < height ? y + 2 : height, 0xfff0c040u);
    }
  }
  if (s.gate > 0.0f) {
    const int y = level_row(s.gate, height);
    for (int x = 0; x < width && y < height; x += 2) {
      px[y * width + x] = 0xffe04040u;
    }
  }
  d.surface = {reinterpret_cast<unsigned char *>(px), width, height, width * 4};
  return &d.surface;
}

} // namespace
