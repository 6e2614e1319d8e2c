// Saving what is held with the session (LV2 State), for the plugins of the
// table that have the STATE trait.
//
// One value is saved, an atom:Chunk under the key ...quorvane#hold: a small
// header, then for each channel the captured magnitudes and phases and the
// hold that carries them on (dsp/coherence.hpp). Every field is a 32-, 16-
// or 8-bit number with the same layout on every processor we build for, and
// every one of them is little-endian, so the bytes are portable among them.
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
constexpr uint32_t state_version = 1;

struct StateHeader {
  uint32_t magic;
  uint32_t version;
  uint32_t channels;
  uint32_t frozen;    // 1: a hold follows for each channel; 0: nothing is held
  uint32_t hold_size; // bytes of one channel's hold
  uint32_t checksum;  // FNV-1a of everything after the header
};

// One channel's part of the saved value.
struct HeldChannel {
  float frozen_mag[bins];
  float frozen_phase[bins];
  Hold hold;
};

constexpr size_t state_size(uint32_t channels, bool frozen) {
  return sizeof(StateHeader) + (frozen ? channels * sizeof(HeldChannel) : 0);
}

inline uint32_t fnv1a(const unsigned char *p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) {
    h = (h ^ p[i]) * 16777619u;
  }
  return h;
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
      memcpy(&to[c].hold, &ch.hold, sizeof to[c].hold);
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
  auto *bytes = static_cast<unsigned char *>(malloc(state_size(channels, true)));
  if (!bytes) {
    return LV2_STATE_ERR_NO_SPACE;
  }
  StateHeader header = {state_magic, state_version, channels, 0, sizeof(Hold), 0};
  auto *held = reinterpret_cast<HeldChannel *>(bytes + sizeof header);
  if (!copy_hold(self, channels, held, &header.frozen)) {
    free(bytes);
    return LV2_STATE_ERR_UNKNOWN;
  }
  const size_t size = state_size(channels, header.frozen != 0);
  header.checksum = fnv1a(bytes + sizeof header, size - sizeof header);
  memcpy(bytes, &header, sizeof header);
  const LV2_State_Status status = store(state, self->hold_key, bytes, size, self->chunk_type,
                                        LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
  free(bytes);
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
  // is restored; the switch must then go off and on again to capture anew.
  for (uint32_t c = 0; c < channels; ++c) {
    channel_of(self, c).frozen = 0;
    channel_of(self, c).prev_freeze = 1.0f;
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
      header.channels != channels || header.frozen > 1 || header.hold_size != sizeof(Hold) ||
      size != state_size(channels, header.frozen != 0) ||
      header.checksum != fnv1a(bytes + sizeof header, size - sizeof header)) {
    return LV2_STATE_ERR_BAD_TYPE;
  }
  if (!header.frozen) {
    return LV2_STATE_SUCCESS;
  }
  // Checked in place, byte for byte, before anything is taken.
  HeldChannel held;
  for (uint32_t c = 0; c < channels; ++c) {
    memcpy(&held, bytes + sizeof header + c * sizeof held, sizeof held);
    if (!held_channel_valid(held)) {
      return LV2_STATE_ERR_BAD_TYPE;
    }
  }
  for (uint32_t c = 0; c < channels; ++c) {
    Channel &ch = channel_of(self, c);
    memcpy(&held, bytes + sizeof header + c * sizeof held, sizeof held);
    memcpy(ch.frozen_mag, held.frozen_mag, sizeof ch.frozen_mag);
    memcpy(ch.frozen_phase, held.frozen_phase, sizeof ch.frozen_phase);
    memcpy(&ch.hold, &held.hold, sizeof ch.hold);
    ch.frozen = 1;
  }
  return LV2_STATE_SUCCESS;
}

template <uint32_t channels>
constexpr LV2_State_Interface state_interface = {save<channels>, restore<channels>};

template <uint32_t channels> const void *state_extension(const char *uri) {
  return !strcmp(uri, LV2_STATE__interface) ? &state_interface<channels> : nullptr;
}

} // namespace
