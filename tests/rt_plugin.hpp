// Deterministic automated streams that move every control, played through
// instances of the built library: shared by the real-time tests, which run
// each of the library's plugins.
#pragma once

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

#include "plugin/spectrum_message.hpp"
#include "tests/host.hpp"

namespace rt {

using enum Role;

// A small deterministic generator (xorshift), so that every run of a stream
// is the same stream, whatever thread or process plays it.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<uint32_t>(s >> 32);
  }
  float unit() { return static_cast<float>(next() >> 8) * (1.0f / 16777216.0f); } // [0, 1)
  float signed_unit() { return unit() * 2.0f - 1.0f; }
};

// One host's block: its size and the control values the host sets before it.
struct Block {
  uint32_t size;
  ByRole<float> controls; // FREEZE to THRESHOLD used
  bool connect_controls;  // false: the control ports are left null
};

// A stream of `length` samples cut into blocks of varying size (0 included),
// with every control moving: freeze toggling, mix, blur, shift and threshold
// sweeping through and past their ranges, now and then NaN or unconnected.
// `huge` adds samples near the largest float (a few per block and whole
// blocks of them); `in` receives the input samples.
struct Stream {
  float *in = nullptr;
  Block *blocks = nullptr;
  uint32_t block_count = 0;
  uint32_t length = 0;

  Stream(uint64_t seed, uint32_t samples, bool huge) : length(samples) {
    Rng rng(seed);
    in = static_cast<float *>(calloc(samples + 1, sizeof(float)));
    blocks = static_cast<Block *>(calloc(samples + 1, sizeof(Block)));
    const float big = 3.4028235e38f;
    for (uint32_t n = 0; n < samples; ++n) {
      const float t = static_cast<float>(n);
      in[n] = 0.5f * sinf(t * 0.031f * (1.0f + 0.5f * sinf(t * 1e-4f))) + 0.1f * rng.signed_unit();
      if (huge && rng.next() % 97 == 0) {
        in[n] = (rng.next() & 1 ? big : -big) * (1.0f - 1e-7f * static_cast<float>(rng.next() % 4));
      }
    }
    uint32_t at = 0;
    while (at < samples) {
      Block &b = blocks[block_count];
      const uint32_t pick = rng.next() % 8;
      const uint32_t sizes[8] = {0, 1, 7, 64, 256, 300, 1024, 4096};
      b.size = sizes[pick] < samples - at ? sizes[pick] : samples - at;
      const float ph = static_cast<float>(at) / static_cast<float>(samples);
      b.controls[FREEZE] = (block_count / 5) % 3 == 1 ? 1.0f : 0.3f * rng.unit();
      b.controls[MIX] = 1.4f * sinf(ph * 40.0f) + 0.2f; // past 0 and 1
      b.controls[BLUR] = 1.2f * rng.unit() - 0.1f;
      b.controls[SHIFT] = 2.4f * sinf(ph * 23.0f); // past +-1
      b.controls[THRESHOLD] = rng.next() % 3 == 0 ? 0.0f : 1.1f * rng.unit();
      if (rng.next() % 17 == 0) {
        const Role any[] = {FREEZE, MIX, BLUR, SHIFT, THRESHOLD};
        b.controls[any[rng.next() % 5]] = NAN;
      }
      b.connect_controls = rng.next() % 23 != 0;
      if (huge && rng.next() % 29 == 0) { // a whole block of huge samples
        for (uint32_t i = 0; i < b.size; ++i) {
          in[at + i] = i & 1 ? big : -big * 0.75f;
        }
      }
      at += b.size;
      ++block_count;
    }
  }
  ~Stream() {
    free(in);
    free(blocks);
  }
  Stream(const Stream &) = delete;
  Stream &operator=(const Stream &) = delete;
};

// A host with the plugin window open: a URID map (used at instantiation
// only), Ardour's queue_draw (which only marks the strip, as here), and the
// window's Listen on `control` in every block, so that run() sends the
// spectrum and hands it to the strip all along.
// The map is a hash (FNV-1a), with no state, since instances are made on
// many threads at once.
inline LV2_URID map_uri(LV2_URID_Map_Handle, const char *uri) {
  uint32_t h = 2166136261u;
  for (; *uri; ++uri) {
    h = (h ^ static_cast<uint8_t>(*uri)) * 16777619u;
  }
  return h | 1u;
}
inline LV2_URID_Map uri_map = {nullptr, map_uri};
inline int strip_marks = 0;
inline InlineDisplay strip = {
    nullptr, [](void *) { __atomic_fetch_add(&strip_marks, 1, __ATOMIC_RELAXED); }};
inline const LV2_Feature map_feature = {LV2_URID__map, &uri_map};
inline const LV2_Feature strip_feature = {QUORVANE_INLINE_DISPLAY "#queue_draw", &strip};
inline const LV2_Feature *const window_features[] = {&map_feature, &strip_feature, nullptr};

// An instance of plugin `which` connected once to buffers of its own (4096
// samples of input and of output, or one buffer for both in place), to
// control cells, the last of which receives the aligned plugins' latency,
// and to a window's messages.
struct Player {
  host::Instance inst;
  ByRole<float> controls = {};
  float *in = static_cast<float *>(calloc(4096, sizeof(float)));
  float *out;
  alignas(8) uint8_t control[64] = {}, notify[8192] = {};
  uint32_t sent = 0; // runs that sent the window something

  Player(uint32_t which, bool in_place)
      : inst(*host::descriptor(which), window_features),
        out(in_place ? in : static_cast<float *>(calloc(4096, sizeof(float)))) {
    inst.connect(IN, in);
    inst.connect(OUT, out);
    inst.connect(LATENCY, &controls[LATENCY]);
    const PluginInfo &p = plugin_table[which];
    if (p.ui) {
      LV2_Atom_Forge forge;
      lv2_atom_forge_init(&forge, &uri_map);
      lv2_atom_forge_set_buffer(&forge, control, sizeof control);
      LV2_Atom_Forge_Frame seq, obj;
      lv2_atom_forge_sequence_head(&forge, &seq, 0);
      lv2_atom_forge_frame_time(&forge, 0);
      lv2_atom_forge_object(&forge, &obj, 0, map_uri(nullptr, QUORVANE_UI_URI "Listen"));
      lv2_atom_forge_pop(&forge, &obj);
      lv2_atom_forge_pop(&forge, &seq);
      inst.connect(Role::CONTROL, reinterpret_cast<float *>(control));
      inst.connect(Role::NOTIFY, reinterpret_cast<float *>(notify));
    }
  }
  ~Player() {
    if (out != in) {
      free(out);
    }
    free(in);
  }
  Player(const Player &) = delete;
  Player &operator=(const Player &) = delete;

  // The only calls made are the host's writes of control values, memcpy of
  // input and run(). Output lands in `result` (s.length samples). No
  // allocation, no I/O.
  void play(const Stream &s, float *result) {
    uint32_t at = 0;
    for (uint32_t k = 0; k < s.block_count; ++k) {
      const Block &b = s.blocks[k];
      for (Role p : {FREEZE, MIX, BLUR, SHIFT, THRESHOLD}) {
        controls[p] = b.controls[p];
        inst.connect(p, b.connect_controls ? &controls[p] : nullptr);
      }
      memcpy(in, s.in + at, b.size * sizeof(float));
      auto *to_window = reinterpret_cast<LV2_Atom *>(notify);
      *to_window = {sizeof notify - sizeof(LV2_Atom), 0};
      inst.run(b.size);
      sent += to_window->type != 0 && to_window->size > sizeof(LV2_Atom_Sequence_Body);
      memcpy(result + at, out, b.size * sizeof(float));
      at += b.size;
    }
  }
};

inline bool all_finite(const float *x, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    if (!(fabsf(x[i]) <= 3.4028235e38f)) {
      return false;
    }
  }
  return true;
}

} // namespace rt
