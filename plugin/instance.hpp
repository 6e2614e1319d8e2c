// The per-instance record: the host's port buffers and one channel's
// processing state (dsp/channel.hpp), in one block.
#pragma once

#include "dsp/channel.hpp"

namespace {

struct Instance {
  // Port buffers, owned by the host (port index in brackets).
  float *in;        // [0] audio input
  float *freeze;    // [2] freeze switch
  float *mix;       // [3] wet proportion
  float *blur;      // [4] blur amount
  float *shift;     // [5] bin shift, -1..1 for -128..+128 bins
  float *threshold; // [6] gate level as a fraction of the peak
  float *out;       // [1] audio output

  Channel channel; // rings, window, captured spectrum, frame state

  // The aligned plugin's latency output [7]; the first plugin has no such
  // port and never touches it.
  float *latency;
};

} // namespace
