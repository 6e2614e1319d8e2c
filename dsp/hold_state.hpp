// The coherent plugins' hold as data: what a held sound needs to go on
// (Hold), the tables an instance computes once (HoldTables), the past
// input and the analysis under way (Analysis), and how their arrays are
// sized by the sample rate. The work on them is in dsp/hold.hpp.
#pragma once

#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "dsp/common.hpp"

namespace {

// The analysis spans the same time at every sample rate: 8192 samples at
// 44.1 and 48 kHz, 16384 at 88.2 and 96, 32768 at 176.4 and 192 (the long
// window, and the history kept), half as many after a fresh strike. The
// arrays of those lengths are sized at instantiation (place_coherent()
// in dsp/channel.hpp).
constexpr unsigned max_long_hops = 32768 / hop_size;

constexpr unsigned max_partials = 2048; // peaks of 4096 bins, never adjacent (more: the lowest)

constexpr unsigned kernel_steps = 256; // fractional positions of a partial in its bin

// Everything a held sound needs to go on, in plain fixed-layout data (no
// pointers, nothing wider than 32 bits), so that its bytes mean the same on
// every processor and a saved hold can be restored (check it with
// hold_valid() first).
struct Hold {
  uint32_t ready;             // 1: the partials are the held sound
  uint32_t count;             // partials in use
  uint32_t shift_turns;       // the shift's quarter turns since its offset was last 0, mod 4
  uint32_t noise;             // frames run (or saved with a hold): the blur's clock
  float amp_re[max_partials]; // half the amplitude, at the partial's phase 0
  float amp_im[max_partials];
  uint32_t phase[max_partials]; // at the next frame's first sample, 2^32 a turn
  uint32_t step[max_partials];  // advance per hop: frequency in frame bins times 2^30
  uint16_t bin[max_partials];   // frame bin at or below the frequency
  uint8_t frac[max_partials];   // the rest, in 256ths of a bin
  uint32_t diffuse[bins];       // unused: the blur draws its angles afresh every frame
};

// Tables of an instance, filled by prepare_hold(); the arrays of the
// window's length follow in the same allocation.
struct HoldTables {
  uint32_t long_size;   // samples of the long window and the history
  uint32_t short_size;  // of the window after a strike
  uint32_t long_hops;   // hops of the history (a power of two: indices wrap by a mask)
  uint32_t octaves;     // 0, 1, 2: long_size is 8192 << octaves
  uint32_t before;      // hops before a hop that it must outdo to be a strike (85 ms)
  uint32_t watch;       // hops after a press in which a strike still counts (27 ms)
  float peak_fall;      // a bin's recent peak falls by this a hop (0.95 in 5.3 ms)
  uint32_t fade_frames; // of the fade from a hold to its refinement (43 ms)
  float *long_window;   // periodic Hann of long_size, and of short_size
  float *short_window;
  float *tw_re; // e^(-i pi j / h) of the stage with half-length h at h - 1 + j
  float *tw_im;
  uint16_t *reverse;                // i with its bits reversed (log2 long_size of them)
  float kernel_re[kernel_steps][4]; // the frame window's transform at bins b-1..b+2 of a
  float kernel_im[kernel_steps][4]; // partial at b + frac/256, per unit complex amplitude
  float correct_re[2][257];         // 1 / the long window's transform at -q/256 bins
  float correct_im[2][257];         // ([0] 8192, [1] 4096), q = -128..128
  float coarse_re[256];             // e^(2 pi i n / 256)
  float coarse_im[256];
  float fine_re[256]; // e^(2 pi i n / 65536)
  float fine_im[256];
  float window_power[2];              // sum of the squared window, long and short
  float tail_power[2][max_long_hops]; // the same from hop j of the window on
  uint32_t max_wait;                  // hops a strike may be waited for, from the sample rate
  uint32_t late_hops;                 // hops in 100 ms
};

// The past input and the analysis under way (nothing a hold needs once made).
// Its arrays of the window's length follow in the same allocation.
struct Analysis {
  float *history; // the last long_size samples, hop by hop
  float *re;      // the window, then its transform
  float *im;
  float *power;                   // squared magnitudes (of both channels of a pair), to half
  float energy[max_long_hops];    // sum of squares of each hop in history
  float risen[max_long_hops];     // power of the frame ending with that hop in bins that rose 6 dB,
  float power_all[max_long_hops]; // and in all its bins
  float peak_mag[bins];           // each bin's recent peak, falling a little each hop
  float mean_square;              // the windowed input's, against the window's
  uint32_t at;                    // hop slot of the next hop in history
  uint32_t state;                 // what the next frame does (below)
  uint32_t wait;                  // hops still to wait before the window ends
  uint32_t length;                // of the window: long_size or short_size
  uint32_t since;                 // hops since the window ended
  uint32_t stage;                 // slices of the transform done
  uint32_t elapsed;               // hops since the press
  uint32_t found;                 // partials found so far
  uint32_t skip;                  // hops of the window before the strike
  float top;                      // the largest summed power
  float peaks_power;              // the refinement's peaks' summed power,
  float late_power;               // and of those held down as begun late
  uint32_t late;                  // the refinement's window ends 100 ms or more after the press
  float first_top;                // the first hold's strongest partial's power (a pair's summed)
  uint32_t struck;                // the window starts at a strike
  uint32_t strike_age;            // hops since that strike
  uint32_t refining;              // 1, 2: the refinement awaited, faded to; 3, 4: the weighing
  uint32_t fade;                  // frames of the fade done
  uint32_t fade_length;           // frames of the fade under way
  uint32_t first;                 // the window's oldest sample in history
  uint32_t part;                  // parts of the taking or of the peaks done
  double sums[4];                 // the window's sum of squares so far, sample i in sums[i % 4]
};

enum AnalysisState : uint32_t {
  IDLE = 0,
  WAITING = 1,
  TRANSFORM = 2,
  PEAKS = 3,
  LISTENING = 6, // freeze is on but nothing has sounded: waiting for a sound
  TAKING = 7,    // the window being taken, a part a hop
  WEIGHING = 8,  // the window after the refinement's is transformed: weigh the partials by it
  SPLIT = 9      // the refinement's transform is two windows' together: part them
};

// Hops of the work on a window that grows with its length, so that a hop
// costs about as much at every rate and the whole about as long in time:
// taking it and the summed power (one each at 44.1 and 48 kHz), and the
// peaks (two).
inline unsigned take_parts(const HoldTables &t) { return 1u << t.octaves; }

inline unsigned power_bits(const HoldTables &t) { // log2 of power_parts(t)
  static const uint8_t bits[3] = {0, 2, 3};
  return bits[t.octaves];
}

inline unsigned power_parts(const HoldTables &t) { return 1u << power_bits(t); }

inline unsigned peak_parts(const HoldTables &t) { return 2u << t.octaves; }

// The octaves above 8192 samples of the long window at a sample rate (an
// absent or absurd rate counts as 48 kHz): the nearest power of two to
// 8192 samples at 48 kHz, in time.
inline uint32_t hold_octaves(double rate) {
  if (!(rate >= 8000.0 && rate <= 1536000.0)) {
    rate = 48000.0;
  }
  return rate < 48000.0 * M_SQRT2 ? 0u : rate < 96000.0 * M_SQRT2 ? 1u : 2u;
}

// Bytes of the arrays of the window's length: the tables' (one set an
// instance) and an analysis's (one a channel).
// Arrays read side by side are a cache line and a bit further apart than
// their power-of-two lengths, or the transform's rows would meet in the
// same cache sets.
constexpr size_t array_gap = 20; // floats

inline size_t table_array_bytes(uint32_t octaves) {
  const size_t n = size_t{8192} << octaves;
  return (n + n / 2 + 2 * n + 3 * array_gap) * sizeof(float) + n * sizeof(uint16_t);
}

inline size_t analysis_array_bytes(uint32_t octaves) {
  const size_t n = size_t{8192} << octaves;
  return (3 * n + n / 2 + 4 + 3 * array_gap) * sizeof(float);
}

// The analysis's arrays from `mem` (zero-filled, analysis_array_bytes()).
inline void place_analysis(Analysis &a, float *mem, uint32_t octaves) {
  const size_t n = size_t{8192} << octaves;
  a.history = mem;
  a.re = a.history + n + array_gap;
  a.im = a.re + n + array_gap;
  a.power = a.im + n + array_gap;
}

// The first n partials of `from` into `to`, field by field (nothing past
// them is read or written).
inline void copy_partial_arrays(Hold &to, const Hold &from, uint32_t n) {
  memcpy(to.amp_re, from.amp_re, n * sizeof to.amp_re[0]);
  memcpy(to.amp_im, from.amp_im, n * sizeof to.amp_im[0]);
  memcpy(to.phase, from.phase, n * sizeof to.phase[0]);
  memcpy(to.step, from.step, n * sizeof to.step[0]);
  memcpy(to.bin, from.bin, n * sizeof to.bin[0]);
  memcpy(to.frac, from.frac, n * sizeof to.frac[0]);
}

// Whether a hold from elsewhere (a saved state) can be played: every value
// finite, every index and counter in range, so that no corrupt hold can give
// a NaN or reach outside an array.
inline bool hold_valid(const Hold &h) {
  if (h.ready > 1 || h.count > max_partials || h.shift_turns > 3) {
    return false;
  }
  for (unsigned p = 0; p < h.count; ++p) {
    if (!(fabsf(h.amp_re[p]) <= 1e15f) || !(fabsf(h.amp_im[p]) <= 1e15f) || h.bin[p] >= bins) {
      return false;
    }
  }
  return true;
}

} // namespace
