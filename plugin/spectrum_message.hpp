// What the plugin and its window say to each other (plugin/spectrum.hpp
// sends, ui/ shows), and the inline display's types: no processing here, so
// that the window and the tests include it alone.
#pragma once

#include <stdint.h>

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

#define QUORVANE_UI_URI "http://quorvane.audio/lv2/ui#"
#define QUORVANE_INLINE_DISPLAY "http://harrisonconsoles.com/lv2/inlinedisplay"

namespace {

constexpr uint32_t spectrum_bands = 128;

// Band b covers the bins from its lower edge up to the next band's, edges
// at 2^(9 b / 128): bin 1 to bin 512, the same fraction of an octave each.
// The lowest bands are narrower than a bin and repeat it.
inline double band_edge(uint32_t b) {
  double e = 1.0;
  for (uint32_t i = 0; i < b; ++i) {
    e *= 1.0499166947732136; // 2^(9/128)
  }
  return e;
}

// The message's keys, mapped at instantiation (by the window too).
struct SpectrumUrids {
  LV2_URID listen, unlisten, spectrum;             // message types
  LV2_URID rate, gate, held, input, output, level, // properties
      at;
  LV2_URID object, sequence, vector, floats, integer;
};

inline bool map_spectrum_urids(SpectrumUrids &u, const LV2_URID_Map *map) {
  struct {
    LV2_URID *to;
    const char *uri;
  } names[] = {
      {&u.listen, QUORVANE_UI_URI "Listen"},
      {&u.unlisten, QUORVANE_UI_URI "Unlisten"},
      {&u.spectrum, QUORVANE_UI_URI "Spectrum"},
      {&u.rate, QUORVANE_UI_URI "rate"},
      {&u.gate, QUORVANE_UI_URI "gate"},
      {&u.held, QUORVANE_UI_URI "held"},
      {&u.input, QUORVANE_UI_URI "input"},
      {&u.output, QUORVANE_UI_URI "output"},
      {&u.level, QUORVANE_UI_URI "heldLevel"},
      {&u.at, QUORVANE_UI_URI "heldBin"},
      {&u.object, LV2_ATOM__Object},
      {&u.sequence, LV2_ATOM__Sequence},
      {&u.vector, LV2_ATOM__Vector},
      {&u.floats, LV2_ATOM__Float},
      {&u.integer, LV2_ATOM__Int},
  };
  for (auto &n : names) {
    *n.to = map->map(map->handle, n.uri);
    if (*n.to == 0) {
      return false;
    }
  }
  return true;
}

// One picture's worth: levels as amplitudes of a sine (1 is a full-scale
// sine), each band's strongest bin; the hold as each band's strongest held
// partial, its level and where it lies in bins (fractions for the coherent
// plugins' partials).
struct Bands {
  float input[spectrum_bands];
  float output[spectrum_bands];
  float held_level[spectrum_bands];
  float held_bin[spectrum_bands];
  float gate; // the gate's level, 0 when it is off
  int32_t held;
};

// The Spectrum message's size in bytes, sequence header and event included.
constexpr uint32_t spectrum_vector_bytes = uint32_t{sizeof(LV2_Atom_Property_Body)} +
                                           uint32_t{sizeof(LV2_Atom_Vector_Body)} +
                                           spectrum_bands * uint32_t{sizeof(float)};
constexpr uint32_t spectrum_message_bytes =
    uint32_t{sizeof(LV2_Atom_Event)} + uint32_t{sizeof(LV2_Atom_Object)} +
    4 * spectrum_vector_bytes + 3 * (uint32_t{sizeof(LV2_Atom_Property_Body)} + 8);

// The picture on Ardour's strip is at most this size.
constexpr uint32_t display_width = 256;
constexpr uint32_t display_height = 128;

// The inline display extension's types (Ardour's ABI).
struct InlineSurface {
  unsigned char *data;
  int width;
  int height;
  int stride;
};
struct InlineDisplay {
  void *handle;
  void (*queue_draw)(void *handle);
};
struct InlineDisplayInterface {
  InlineSurface *(*render)(LV2_Handle instance, uint32_t w, uint32_t max_h);
};

} // namespace
