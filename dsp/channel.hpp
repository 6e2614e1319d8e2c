// One channel's processing state, and the control values a frame is given:
// what the frame needs, without the host's ports. The plugin's record holds
// one Channel and reads the controls into a Controls before each frame.
#pragma once

#include <math.h>
#include <stdint.h>

#include "dsp/accumulate.hpp"
#include "dsp/coherence.hpp"
#include "dsp/common.hpp"
#include "dsp/fft.hpp"
#include "dsp/hold.hpp"

namespace {

// The controls of one frame, after the reading rule (dsp/common.hpp): an
// absent control is already its fallback (0 for all four); each stage
// clamps its own.
struct Controls {
  float freeze;
  float blur;
  float shift;
  float threshold;
};

// Working storage of the optimised frame. The frame keeps its spectra split
// into real and imaginary parts, which is what the vectorised transforms
// want.
struct Scratch {
  alignas(16) float re[block_size]; // forward spectrum, then inverse work
  alignas(16) float im[block_size];
  alignas(16) float acc_re[block_size]; // windowed input, then the
  alignas(16) float acc_im[block_size]; // reshaped spectrum, then output
  AccumulationRows rows;                // gated magnitudes, calling order, phases, sines, cosines
  Twiddles fwd;
  Twiddles inv;
  int32_t ready; // the twiddle tables are filled
};

struct Channel {
  float in_ring[block_size];  // latest input samples, by ring position
  float out_ring[block_size]; // overlap-add sum of the wet signal
  float window[block_size];   // periodic Hann, analysis and synthesis

  float frozen_mag[bins]; // captured spectrum while frozen
  float frozen_phase[bins];
  float mag[bins];      // working magnitudes of the current frame
  float blur_tmp[bins]; // means land here so each is taken over unsmoothed input

  Complex spec[block_size]; // interleaved transform buffer; the frame works split, in scratch

  uint32_t pos;      // ring position of the next sample, which is the oldest
  uint32_t hop;      // samples since the last frame
  float prev_freeze; // freeze value that the previous frame saw
  int32_t frozen;    // 1 while the captured spectrum is replayed

  Scratch scratch;

  // The coherent plugins' state. Only their frames use it, but every plugin
  // allocates it, prepare() fills its tables, and the plugins that save
  // state carry its `hold` (zeros in the others). Everything a held sound
  // needs to go on is in `hold` (plain fixed-layout data); the history and
  // the analysis under way are in `analysis`.
  Hold hold;
  CoherentScratch coherent;
  Analysis analysis;
  HoldTables tables;
};

// The twiddle tables, by the transforms' own recurrence.
inline void prepare_tables(Channel &ch) {
  fill_twiddles(&ch.scratch.fwd, 0);
  fill_twiddles(&ch.scratch.inv, 1);
  ch.scratch.ready = 1;
}

// What a zero-filled channel needs before its first frame: the periodic
// Hann window (window[0] stays 0) and the transforms' tables. The sample
// rate is for the coherent plugins alone; the others work in samples and
// bins.
inline void prepare(Channel &ch, double rate) {
  prepare_hold(ch.tables, rate);
  for (unsigned i = 1; i < block_size; ++i) {
    const float x = static_cast<float>(i) * 6.2831855f * 0.0009765625f;
    ch.window[i] = 0.5f - cosf(x) * 0.5f;
  }
  prepare_tables(ch);
}

} // namespace
