// The per-instance record: the host's port buffers and the processing state
// of the channels (dsp/channel.hpp), in one zero-filled allocation.
#pragma once

#include <stdint.h>

#include "dsp/channel.hpp"

namespace {

// run()'s side of the exchange with save(): frames, current and pinned are
// read and written atomically only; the rest is run()'s own.
struct Published {
  uint32_t frames;   // frames run so far
  uint32_t current;  // the slot save() may read: 0 or 1
  uint32_t pinned;   // the slot save() is reading, plus one; 0 while none
  uint32_t shown;    // what the current slot holds: frozen | ready << 1
  uint32_t shown_at; // the frame it was published after
  uint32_t pending;  // a publication waits for save() to leave the slot
};

struct Instance {
  // Port buffers, owned by the host (the mono plugins' port index in brackets).
  float *in;        // [0] audio input; the left one of a stereo plugin
  float *freeze;    // [2] freeze switch
  float *mix;       // [3] wet proportion
  float *blur;      // [4] blur amount
  float *shift;     // [5] bin shift, -1..1 for -128..+128 bins
  float *threshold; // [6] gate level as a fraction of the peak
  float *out;       // [1] audio output; the left one of a stereo plugin

  Channel channel; // rings, window, captured spectrum, frame state

  // The aligned plugins' latency output [7]; the first plugin has no such
  // port and never touches it.
  float *latency;

  // Ports that only some plugins have (see bundle/ports.cmake): the host's
  // bypass switch and the right channel of the stereo ones.
  float *enabled;
  float *in_r;
  float *out_r;
  float bypass; // 0 processing, 1 bypassed; between, on the way

  // Saving the hold with the session (plugin/state.hpp): the URIDs, mapped
  // at instantiation, the sample rate the hold's frequencies are counted
  // at, and what run() publishes for save() to read from another thread.
  uint32_t hold_key;
  uint32_t chunk_type;
  float rate;
  Published published;

  // A stereo plugin's right channel follows the record in the same
  // allocation (instance_size()), and then the plugins that save state
  // have the two slots that run() publishes into (plugin/state.hpp).
};

// The allocation of an instance of `channels` channels.
constexpr size_t instance_size(uint32_t channels) {
  return sizeof(Instance) + (channels - 1) * sizeof(Channel);
}

// Channel c (0 left or mono, 1 right) of an instance that has it.
inline Channel &channel_of(Instance *self, uint32_t c) {
  return c == 0 ? self->channel : *reinterpret_cast<Channel *>(self + 1);
}
inline const Channel &channel_of(const Instance *self, uint32_t c) {
  return c == 0 ? self->channel : *reinterpret_cast<const Channel *>(self + 1);
}

} // namespace
