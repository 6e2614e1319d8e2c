// The per-instance record: the host's port buffers and the processing state
// of the channels (dsp/channel.hpp), in one zero-filled allocation.
#pragma once

#include <stdint.h>

#include "dsp/channel.hpp"
#include "quorvane_table.hpp"

namespace {

// run()'s side of the exchange with save(): frames, current and pinned are
// read and written atomically only; the rest is run()'s own.
struct Published {
  uint32_t frames;    // frames run so far
  uint32_t current;   // the slot save() may read: 0 or 1
  uint32_t pinned;    // the slot save() is reading, plus one; 0 while none
  uint32_t shown;     // what the current slot holds: frozen | ready << 1
  uint32_t shown_at;  // the frame it was published after
  uint32_t pending;   // a publication waits for save() to leave the slot
  uint32_t synced[2]; // the coherent plugins: input hops each slot's copy of the history is up to,
  uint32_t stale[2];  // and how many of the history's length before those it lacks
};

struct Instance {
  // The host's buffer for each port, by the port's role (bundle/ports.cmake):
  // port[Role::MIX] is the mix control of whichever index the plugin gives
  // it. Roles the plugin lacks stay null, as absent ports.
  ByRole<float *> port;

  Channel channel; // rings, window, captured spectrum, frame state

  float bypass; // 0 processing, 1 bypassed; between, on the way

  // Saving the hold with the session (plugin/state.hpp): the URIDs, mapped
  // at instantiation, the sample rate the hold's frequencies are counted
  // at, and what run() publishes for save() to read from another thread.
  uint32_t hold_key;
  uint32_t chunk_type;
  float rate;
  Published published;
  uint32_t state_at;   // bytes from the record's start to the slots
  uint32_t display_at; // and to the window's data

  // A stereo plugin's right channel follows the record in the same
  // allocation, then a coherent plugin's hold and analysis
  // (instance_size()); the plugins that save state have the two slots that
  // run() publishes into (plugin/state.hpp) at `state_at`, and those with a
  // window its data (plugin/spectrum.hpp) at `display_at`.
};

// Where the coherent state begins in the allocation, after the channels.
constexpr size_t coherent_offset(uint32_t channels) {
  return round_up64(sizeof(Instance) + (channels - 1) * sizeof(Channel));
}

// The allocation of an instance of `channels` channels: the coherent
// plugins' state, sized by the sample rate, only where it is used.
inline size_t instance_size(uint32_t channels, bool coherent, double rate) {
  return coherent ? coherent_offset(channels) + coherent_bytes(channels, rate)
                  : sizeof(Instance) + (channels - 1) * sizeof(Channel);
}

// Channel c (0 left or mono, 1 right) of an instance that has it.
inline Channel &channel_of(Instance *self, uint32_t c) {
  return c == 0 ? self->channel : *reinterpret_cast<Channel *>(self + 1);
}
inline const Channel &channel_of(const Instance *self, uint32_t c) {
  return c == 0 ? self->channel : *reinterpret_cast<const Channel *>(self + 1);
}

} // namespace
