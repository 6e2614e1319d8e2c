// The per-instance record: the host's port buffers and the processing state
// of the channels (dsp/channel.hpp), in one zero-filled allocation.
#pragma once

#include <stdint.h>

#include "dsp/channel.hpp"

namespace {

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
  // at instantiation, and a count that is odd while a frame may be
  // changing the hold.
  uint32_t hold_key;
  uint32_t chunk_type;
  uint32_t hold_seq;

  // A stereo plugin's right channel follows the record in the same
  // allocation, then a coherent plugin's hold and analysis
  // (instance_size()).
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
