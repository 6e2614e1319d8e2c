// Saving what is held with the session (LV2 State), for the plugins of the
// table that have the STATE trait.
//
// One value is saved, an atom:Chunk under the key ...quorvane#hold: a small
// header, then for each channel the captured magnitudes and phases and the
// hold that carries them on (dsp/hold.hpp), its partials in use only. Every
// field is a 32-, 16- or 8-bit number written in turn, and every processor
// we build for is little-endian, so the bytes are portable among them.
// A restored value is checked through and through (sizes, version, a
// checksum, every number in its range); anything else leaves a clean,
// unfrozen plugin.
//
// Threads: restore() is never called while run() is, so it writes the
// instance directly. save() may be called while run() is running, and a
// frame may change the hold meanwhile: run() counts up `hold_seq` before
// and after every frame (odd while one is under way), and save() takes its
// copy again until the count is even and the same before and after.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include "plugin/instance.hpp"

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the saved hold is written as this processor holds it: little-endian");

constexpr const char *hold_key_uri = "http://quorvane.audio/lv2/quorvane#hold";
constexpr uint32_t state_magic = 0x56535651; // "QVSV"
constexpr uint32_t state_version = 2;

struct StateHeader {
  uint32_t magic;
  uint32_t version;
  uint32_t channels;
  uint32_t frozen;       // 1: a hold follows for each channel; 0: nothing is held
  uint32_t max_partials; // the most partials a hold can have
  uint32_t checksum;     // FNV-1a of everything after the header
};

// One channel's part of the saved value, as the instance holds it.
struct HeldChannel {
  float frozen_mag[bins];
  float frozen_phase[bins];
  Hold hold;
};

// Written out, a channel takes its captured spectrum, the hold's four
// counters, only the partials in use and the blur's phases: a held chord is
// a few kilobytes, held noise some tens.
constexpr size_t partial_bytes = 4 + 4 + 4 + 4 + 2 + 1;
constexpr size_t held_bytes(uint32_t count) {
  return size_t{2} * bins * 4 + size_t{4} * 4 + count * partial_bytes + size_t{bins} * 4;
}

inline uint32_t fnv1a(const unsigned char *p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) {
    h = (h ^ p[i]) * 16777619u;
  }
  return h;
}

// Bytes out and in, field after field, each as this (little-endian)
// processor holds it.
struct Writer {
  unsigned char *at;
  void put(const void *v, size_t n) {
    memcpy(at, v, n);
    at += n;
  }
};
struct Reader {
  const unsigned char *at, *end;
  bool take(void *v, size_t n) {
    if (static_cast<size_t>(end - at) < n) {
      return false;
    }
    memcpy(v, at, n);
    at += n;
    return true;
  }
};

inline void write_channel(Writer &w, const HeldChannel &c) {
  const Hold &h = c.hold;
  const uint32_t n = h.count <= max_partials ? h.count : max_partials;
  const uint32_t counters[4] = {h.ready, n, h.shift_turns, h.noise};
  w.put(c.frozen_mag, sizeof c.frozen_mag);
  w.put(c.frozen_phase, sizeof c.frozen_phase);
  w.put(counters, sizeof counters);
  w.put(h.amp_re, n * sizeof h.amp_re[0]);
  w.put(h.amp_im, n * sizeof h.amp_im[0]);
  w.put(h.phase, n * sizeof h.phase[0]);
  w.put(h.step, n * sizeof h.step[0]);
  w.put(h.bin, n * sizeof h.bin[0]);
  w.put(h.frac, n * sizeof h.frac[0]);
  w.put(h.diffuse, sizeof h.diffuse);
}

// A channel read back into `c` (zero-filled by the caller); false where the
// bytes run out or the count is out of range.
inline bool read_channel(Reader &r, HeldChannel &c) {
  Hold &h = c.hold;
  uint32_t counters[4];
  if (!r.take(c.frozen_mag, sizeof c.frozen_mag) ||
      !r.take(c.frozen_phase, sizeof c.frozen_phase) || !r.take(counters, sizeof counters) ||
      counters[1] > max_partials) {
    return false;
  }
  h.ready = counters[0];
  h.count = counters[1];
  h.shift_turns = counters[2];
  h.noise = counters[3];
  const uint32_t n = h.count;
  return r.take(h.amp_re, n * sizeof h.amp_re[0]) && r.take(h.amp_im, n * sizeof h.amp_im[0]) &&
         r.take(h.phase, n * sizeof h.phase[0]) && r.take(h.step, n * sizeof h.step[0]) &&
         r.take(h.bin, n * sizeof h.bin[0]) && r.take(h.frac, n * sizeof h.frac[0]) &&
         r.take(h.diffuse, sizeof h.diffuse);
}

// The URIDs state needs, mapped at instantiation where the host offers a
// map; without one the plugin saves nothing and restores nothing.
inline void map_state_urids(Instance *self, const LV2_Feature *const *features) {
  for (; features && *features; ++features) {
    if (!strcmp((*features)->URI, LV2_URID__map) && (*features)->data) {
      const auto *map = static_cast<const LV2_URID_Map *>((*features)->data);
      self->hold_key = map->map(map->handle, hold_key_uri);
      self->chunk_type = map->map(map->handle, LV2_ATOM__Chunk);
      return;
    }
  }
}

// A frame that may change the hold is under way while hold_seq is odd.
inline void hold_seq_begin(Instance *self) {
  __atomic_store_n(&self->hold_seq, self->hold_seq + 1, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_RELEASE);
}
inline void hold_seq_end(Instance *self) {
  __atomic_store_n(&self->hold_seq, self->hold_seq + 1, __ATOMIC_RELEASE);
}

// One instant's hold of every channel into `to` (consistent even while
// run() goes on); false if run() kept changing it.
inline bool copy_hold(Instance *self, uint32_t channels, HeldChannel *to, uint32_t *frozen) {
  for (int attempt = 0; attempt < 10000; ++attempt) {
    const uint32_t before = __atomic_load_n(&self->hold_seq, __ATOMIC_ACQUIRE);
    if (before & 1) {
      continue;
    }
    const Channel &first = channel_of(self, 0);
    *frozen = first.frozen != 0 ? 1 : 0;
    for (uint32_t c = 0; c < channels; ++c) {
      const Channel &ch = channel_of(self, c);
      memcpy(to[c].frozen_mag, ch.frozen_mag, sizeof to[c].frozen_mag);
      memcpy(to[c].frozen_phase, ch.frozen_phase, sizeof to[c].frozen_phase);
      if (ch.co) { // the coherent plugins' hold; the others hold their captured spectrum alone
        memcpy(&to[c].hold, &ch.co->hold, sizeof to[c].hold);
      } else {
        memset(&to[c].hold, 0, sizeof to[c].hold);
      }
    }
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(&self->hold_seq, __ATOMIC_RELAXED) == before) {
      return true;
    }
  }
  return false;
}

template <uint32_t channels>
LV2_State_Status save(LV2_Handle handle, LV2_State_Store_Function store, LV2_State_Handle state,
                      uint32_t, const LV2_Feature *const *) {
  auto *self = static_cast<Instance *>(handle);
  if (!self->hold_key) {
    return LV2_STATE_ERR_NO_FEATURE;
  }
  // Not the audio thread: the copy may take memory of its own.
  auto *held = static_cast<HeldChannel *>(malloc(channels * sizeof(HeldChannel)));
  auto *bytes = static_cast<unsigned char *>(
      malloc(sizeof(StateHeader) + channels * held_bytes(max_partials)));
  StateHeader header = {state_magic, state_version, channels, 0, max_partials, 0};
  LV2_State_Status status = LV2_STATE_ERR_NO_SPACE;
  if (held && bytes) {
    status = LV2_STATE_ERR_UNKNOWN;
    if (copy_hold(self, channels, held, &header.frozen)) {
      Writer w{bytes + sizeof header};
      for (uint32_t c = 0; header.frozen && c < channels; ++c) {
        write_channel(w, held[c]);
      }
      const auto size = static_cast<size_t>(w.at - bytes);
      header.checksum = fnv1a(bytes + sizeof header, size - sizeof header);
      memcpy(bytes, &header, sizeof header);
      status = store(state, self->hold_key, bytes, size, self->chunk_type,
                     LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
    }
  }
  free(bytes);
  free(held);
  return status;
}

// A channel's part of a saved value that can be played: magnitudes finite
// and not negative, phases within -pi..pi, and a valid hold.
inline bool held_channel_valid(const HeldChannel &h) {
  for (unsigned k = 0; k < bins; ++k) {
    if (!(h.frozen_mag[k] >= 0.0f && is_finite(h.frozen_mag[k])) ||
        !(fabsf(h.frozen_phase[k]) <= 3.1415927f)) {
      return false;
    }
  }
  return hold_valid(h.hold);
}

template <uint32_t channels>
LV2_State_Status restore(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle state, uint32_t, const LV2_Feature *const *) {
  auto *self = static_cast<Instance *>(handle);
  if (!self->hold_key) {
    return LV2_STATE_ERR_NO_FEATURE;
  }
  size_t size = 0;
  uint32_t type = 0, flags = 0;
  const void *value = retrieve(state, self->hold_key, &size, &type, &flags);

  // Whatever comes, the plugin is left unfrozen unless a whole, valid hold
  // is restored; with freeze on, the next frame then starts a hold as a
  // press would (of the first sound, if nothing has sounded yet).
  for (uint32_t c = 0; c < channels; ++c) {
    channel_of(self, c).frozen = 0;
    channel_of(self, c).prev_freeze = 0.0f;
  }
  if (!value) {
    return LV2_STATE_ERR_NO_PROPERTY;
  }
  StateHeader header;
  if (type != self->chunk_type || size < sizeof header) {
    return LV2_STATE_ERR_BAD_TYPE;
  }
  memcpy(&header, value, sizeof header);
  const auto *bytes = static_cast<const unsigned char *>(value);
  if (header.magic != state_magic || header.version != state_version ||
      header.channels != channels || header.frozen > 1 || header.max_partials != max_partials ||
      header.checksum != fnv1a(bytes + sizeof header, size - sizeof header)) {
    return LV2_STATE_ERR_BAD_TYPE;
  }
  if (!header.frozen) {
    return size == sizeof header ? LV2_STATE_SUCCESS : LV2_STATE_ERR_BAD_TYPE;
  }
  // Every channel read and checked before anything is taken.
  auto *held = static_cast<HeldChannel *>(calloc(channels, sizeof(HeldChannel)));
  if (!held) {
    return LV2_STATE_ERR_NO_SPACE;
  }
  Reader r{bytes + sizeof header, bytes + size};
  bool valid = true;
  for (uint32_t c = 0; valid && c < channels; ++c) {
    valid = read_channel(r, held[c]) && held_channel_valid(held[c]);
  }
  if (valid && r.at == r.end) {
    for (uint32_t c = 0; c < channels; ++c) {
      Channel &ch = channel_of(self, c);
      memcpy(ch.frozen_mag, held[c].frozen_mag, sizeof ch.frozen_mag);
      memcpy(ch.frozen_phase, held[c].frozen_phase, sizeof ch.frozen_phase);
      if (ch.co) {
        memcpy(&ch.co->hold, &held[c].hold, sizeof ch.co->hold);
      }
      ch.frozen = 1;
      ch.prev_freeze = 1.0f; // kept while the switch stays on
    }
  } else {
    valid = false;
  }
  free(held);
  return valid ? LV2_STATE_SUCCESS : LV2_STATE_ERR_BAD_TYPE;
}

template <uint32_t channels>
constexpr LV2_State_Interface state_interface = {save<channels>, restore<channels>};

template <uint32_t channels> const void *state_extension(const char *uri) {
  return !strcmp(uri, LV2_STATE__interface) ? &state_interface<channels> : nullptr;
}

} // namespace
