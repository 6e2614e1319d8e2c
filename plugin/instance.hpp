// The per-instance record: every bit of an instance's state, in one block.
#pragma once

#include <stdint.h>

#include "dsp/accumulate.hpp"
#include "dsp/coherence.hpp"
#include "dsp/common.hpp"
#include "dsp/fft.hpp"

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

  float in_ring[block_size];  // latest input samples, by ring position
  float out_ring[block_size]; // overlap-add sum of the wet signal
  float window[block_size];   // periodic Hann, analysis and synthesis

  float frozen_mag[bins]; // captured spectrum while frozen
  float frozen_phase[bins];
  float mag[bins];      // working magnitudes of the current frame
  float blur_tmp[bins]; // means land here so each is taken over unsmoothed input

  Complex spec[block_size]; // transform work buffer

  uint32_t pos;      // ring position of the next sample, which is the oldest
  uint32_t hop;      // samples since the last frame
  float prev_freeze; // freeze value that the previous frame saw
  int32_t frozen;    // 1 while the captured spectrum is replayed

  // Working storage of the optimised frame, after the state proper. The
  // frame keeps its spectra split into real and imaginary parts, which is
  // what the vectorised transforms want; `spec` stays in the record as its
  // interleaved counterpart but the frame does not need it.
  struct Scratch {
    alignas(16) float re[block_size]; // forward spectrum, then inverse work
    alignas(16) float im[block_size];
    alignas(16) float acc_re[block_size]; // windowed input, then the
    alignas(16) float acc_im[block_size]; // reshaped spectrum, then output
    AccumulationRows rows;                // gated magnitudes, calling order, phases, sines, cosines
    Twiddles fwd;
    Twiddles inv;
    int32_t ready; // the twiddle tables are filled
  } scratch;

  // The aligned plugin's latency output [7]; the first plugin has no such
  // port and never touches it.
  float *latency;

  // The coherent plugins' phase state; the others never touch it.
  Coherence coherence;

  // Ports that only some plugins have (see bundle/ports.cmake): the host's
  // bypass switch and the right channel of the stereo ones.
  float *enabled;
  float *in_r;
  float *out_r;
  float bypass; // 0 processing, 1 bypassed; between, on the way
};

} // namespace
