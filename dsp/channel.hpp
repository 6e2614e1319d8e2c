// One channel's processing state, and the control values a frame is given:
// what the frame needs, without the host's ports. The plugin's record holds
// one Channel and reads the controls into a Controls before each frame.
#pragma once

#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

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

// The coherent plugins' state of one channel: everything a held sound
// needs to go on is in `hold` (plain fixed-layout data); the history and the
// analysis under way are in `analysis`, whose arrays follow in the same
// allocation, as do the tables that the channels of an instance share.
struct Coherent {
  Hold hold;
  Hold next; // a refinement of the hold, being made or faded to
  CoherentScratch scratch;
  Analysis analysis;
  const HoldTables *tables;
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

  Coherent *co; // the coherent plugins' state (place_coherent()); null in the others
};

// The twiddle tables, by the transforms' own recurrence.
inline void prepare_tables(Channel &ch) {
  fill_twiddles(&ch.scratch.fwd, 0);
  fill_twiddles(&ch.scratch.inv, 1);
  ch.scratch.ready = 1;
}

// What a zero-filled channel needs before its first frame: the periodic
// Hann window (window[0] stays 0) and the transforms' tables.
inline void prepare(Channel &ch) {
  for (unsigned i = 1; i < block_size; ++i) {
    const float x = static_cast<float>(i) * 6.2831855f * 0.0009765625f;
    ch.window[i] = 0.5f - cosf(x) * 0.5f;
  }
  prepare_tables(ch);
}

constexpr size_t round_up64(size_t n) { return (n + 63) & ~size_t{63}; }

// Bytes of the coherent state of n channels at a sample rate, to follow the
// channels in their allocation: the shared tables, each channel's
// Coherent, then the arrays of the analysis window's length (which the
// rate sizes: the analysis spans the same time at every rate).
inline size_t coherent_bytes(unsigned n, double rate) {
  const uint32_t octaves = hold_octaves(rate);
  return round_up64(sizeof(HoldTables)) + n * round_up64(sizeof(Coherent)) +
         round_up64(table_array_bytes(octaves)) + n * round_up64(analysis_array_bytes(octaves));
}

// The coherent state of channels chs[0..n) laid out in `mem` (zero-filled,
// coherent_bytes(n, rate) long, 16-byte aligned), its tables filled.
inline void place_coherent(Channel *const *chs, unsigned n, unsigned char *mem, double rate) {
  const uint32_t octaves = hold_octaves(rate);
  auto *tables = reinterpret_cast<HoldTables *>(mem);
  unsigned char *at = mem + round_up64(sizeof(HoldTables));
  for (unsigned c = 0; c < n; ++c) {
    chs[c]->co = reinterpret_cast<Coherent *>(at);
    chs[c]->co->tables = tables;
    at += round_up64(sizeof(Coherent));
  }
  prepare_hold(*tables, reinterpret_cast<float *>(at), rate);
  at += round_up64(table_array_bytes(octaves));
  for (unsigned c = 0; c < n; ++c) {
    place_analysis(chs[c]->co->analysis, reinterpret_cast<float *>(at), octaves);
    at += round_up64(analysis_array_bytes(octaves));
  }
}

// n prepared channels in one zero-filled allocation (released by free()),
// with the coherent state at `rate` when `coherent`: a pair shares its
// tables, as the channels of an instance do.
inline Channel *allocate_channels(unsigned n, bool coherent, double rate) {
  const size_t head = round_up64(n * sizeof(Channel));
  auto *mem =
      static_cast<unsigned char *>(calloc(1, head + (coherent ? coherent_bytes(n, rate) : 0)));
  if (!mem) {
    return nullptr;
  }
  auto *chs = reinterpret_cast<Channel *>(mem);
  Channel *list[2] = {chs, n > 1 ? chs + 1 : nullptr};
  for (unsigned c = 0; c < n; ++c) {
    prepare(chs[c]);
  }
  if (coherent) {
    place_coherent(list, n, mem + head, rate);
  }
  return chs;
}

} // namespace
