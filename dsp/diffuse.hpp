// The coherent plugins' blur: the blurred magnitudes at phases of their own.
//
// Each frame's blurred bins sweep through the band at random (below): the
// same angles for every channel, from the spectrum's shape and the frame's
// number alone, leaned by each channel's own time within the frame. That
// time is read from the channel's own spectrum, from the phase of a low,
// clear partial, so two channels, in one plugin or in two, that
// carry the same sound some samples apart read times that many samples
// apart, and their blurred parts keep that delay between them (a phase
// difference that grows with frequency; a difference of phase alone would
// place the blurred band in the middle). Equal channels read equal times and
// stay equal bit for bit. Each frame's sweep is slid and turned at random,
// so the frames add up as noise with no line at any bin's centre, and there
// is nothing to start from: a fresh or restored instance, or a blur turned
// on at any moment, is already in its steady state.
#pragma once

#include <math.h>
#include <stdint.h>
#ifdef QDEBUG
#include <stdio.h>
#endif

#include "dsp/common.hpp"
#include "dsp/simd.hpp"

namespace {

// The blur's radius in bins for an amount v in (1e-4, 1]: 1 (a three-bin
// mean) to 16 (33 bins).
inline int blur_radius_of(float v) { return static_cast<int>(15.0f * v) + 1; }

// How much of each bin the blur replaces, out of the frame's power and its
// blurred magnitudes' power: twice the amount, up to all, where the frame's
// energy stands in peaks, less where it is spread already (noise, whose
// blurred magnitudes keep about pi/4 of its power, against a tenth for a
// lone partial under the widest blur), and nothing when it is all spread:
// noise blurred is the same noise, and its own phases keep its peaks where
// they were. Over three bins (radius 1) a partial and noise look alike, and
// the share is the whole of it.
inline float blur_share(float amount, double power, double blurred) {
  const float most = amount * 2.0f < 1.0f ? amount * 2.0f : 1.0f;
  if (blur_radius_of(amount) == 1) {
    return most;
  }
  const float ratio = power > 0.0 ? static_cast<float>(blurred / power) : 0.0f;
  const float peaked = (0.75f - ratio) * 5.0f; // 1 at 0.55 and below, 0 at 0.75
  return most * (peaked < 0.0f ? 0.0f : peaked > 1.0f ? 1.0f : peaked);
}

// The blurred bins' angles in one frame sweep through the band: bin k's
// phase falls by the share of the blurred power below it, so that each
// part of the spectrum has its own stretch of the frame, as long as its
// share of the power (a sweep's level stays even, where bins of unrelated
// phases would add up to a noise with peaks four times its level). Each
// frame slides the sweep round the frame by a random number of samples and
// turns it by a random angle, drawn from the frame's number alone.
inline void start_sweep(uint32_t clock, uint32_t *phase, uint32_t *slide) {
  uint32_t h = clock * 0x9e3779b1u;
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 12;
  h *= 0x297a2d39u;
  h ^= h >> 15;
  *phase = h;
  *slide = (h & 1023u) << 22; // k samples of slide turn bin k by k / 1024
}

// A channel's time within the frame, as the turn (2^32 a turn) by which its
// bins' phases lean per bin: the phase of a clear partial over its frequency
// in bins. A sound d samples later turns the partial by d times its
// frequency, so its lean differs by d samples' worth: bin k by k d / 1024 of
// a turn. The time is known only within the partial's period, so the
// partial is a low one: of the bins from 2 to 510 that peak over both
// neighbours (at least the lower one) and stand within 30 dB of the
// strongest bin below 512, the one whose magnitude over its bin number
// squared is the largest (the first of equals). Where that period is short
// (the partial above bin 8), the next such partial at least 4 bins away
// tells which of the periods it is: the two partials' phase difference
// turns by their difference in frequency, whose period is longer (at least
// a quarter of the frame). A frequency is read between the peak's
// neighbours as a Hann window's partial spreads: one delta bins above bin
// k leaves its upper neighbour (1 + delta) / (2 - delta) of bin k. 0 when
// no bin stands out (silence, or not finite).
QUORVANE_INLINE float lean_score(float m, float below, float above, float clear, float k) {
  return m >= clear && m >= below && m > above ? m / (k * k) : -1.0f;
}

// That partial's bin, leaving out bins skip - 3 to skip + 3; 0 if none.
inline unsigned low_peak(const float *mag, float clear, int skip) {
  // Four lanes of bins 2..509, each keeping its best; then bin 510.
  const v4f clear4 = splat4(clear);
  const v4i lo = splat4i(skip - 3);
  const v4i hi = splat4i(skip + 3);
  v4f best4 = splat4(-1.0f);
  v4i at4 = splat4i(0);
  v4f k4 = {2.0f, 3.0f, 4.0f, 5.0f};
  v4i ki = {2, 3, 4, 5};
  for (unsigned k = 2; k + 4 <= bins - 2; k += 4) {
    const v4f m = load4(mag + k);
    const v4i peak = (m >= clear4) & (m >= load4(mag + k - 1)) & (m > load4(mag + k + 1)) &
                     ((ki < lo) | (ki > hi));
    const v4f score = peak ? m / (k4 * k4) : splat4(-1.0f);
    const v4i better = score > best4;
    best4 = better ? score : best4;
    at4 = better ? ki : at4;
    k4 += splat4(4.0f);
    ki += splat4i(4);
  }
  float best = -1.0f;
  unsigned k = 0;
  for (unsigned l = 0; l < 4; ++l) {
    const unsigned at = static_cast<unsigned>(at4[l]);
    if (best4[l] > best || (best4[l] == best && at < k)) {
      best = best4[l];
      k = at;
    }
  }
  const int last = static_cast<int>(bins) - 3;
  const float score = lean_score(mag[last], mag[last - 1], mag[last + 1], clear, bins - 3.0f);
  if ((last < skip - 3 || last > skip + 3) && score > best) {
    best = score;
    k = bins - 3;
  }
  return best > 0.0f ? k : 0;
}

// A peak's frequency in bins (NaN where its magnitudes are not finite).
inline float peak_bins(const float *mag, unsigned k) {
  const float below = mag[k - 1];
  const float at = mag[k];
  const float above = mag[k + 1];
  const float delta =
      above >= below ? (2.0f * above - at) / (at + above) : (at - 2.0f * below) / (at + below);
  return static_cast<float>(k) + (delta > 0.5f ? 0.5f : delta < -0.5f ? -0.5f : delta);
}

inline uint32_t frame_lean(const float *re, const float *im, const float *mag) {
  v4f top4 = splat4(0.0f);
  for (unsigned k = 0; k < bins - 1; k += 4) {
    const v4f m = load4(mag + k);
    top4 = m > top4 ? m : top4;
  }
  float top = 0.0f;
  for (unsigned l = 0; l < 4; ++l) {
    top = top4[l] > top ? top4[l] : top;
  }
  const float clear = top * 0.03125f;
  const unsigned k = clear > 0.0f ? low_peak(mag, clear, -8) : 0;
  if (k == 0) {
    return 0;
  }
  const float f = peak_bins(mag, k);
  const float turn = atan2f(im[k], re[k]) * 0.15915494f; // of a turn, -1/2 to 1/2
  float lean = turn / f;
  if (f > 8.0f) {
    const unsigned next = low_peak(mag, clear, static_cast<int>(k));
    if (next != 0) {
      float apart = atan2f(im[next], re[next]) * 0.15915494f - turn;
      apart = apart - floorf(apart + 0.5f);
      const float beat = apart / (peak_bins(mag, next) - f);
      lean = lean + floorf((beat - lean) * f + 0.5f) / f;
    }
  }
  lean = lean * 4294967296.0f; // NaN fails below
  return lean > -2147483648.0f && lean < 2147483648.0f
             ? static_cast<uint32_t>(static_cast<int32_t>(lean))
             : 0u;
}

// The angles of frame `clock`'s sweep, in 256ths of a turn, for each of n
// channels (n 1 or 2) into angle[c]: bin k's phase falls by the share of the
// channels' blurred power (each magnitude squared, summed in double, bin by
// bin and channel by channel) at or below it, times `scale`, which is
// (2^32 - 1) over the whole, and turns by the frame's slide and the
// channel's lean per bin. One pass for both channels of a pair.
inline void sweep_angles(const float *const *mags, unsigned n, uint32_t clock, double scale,
                         const uint32_t *lean, uint8_t *const *angle) {
  uint32_t start;
  uint32_t slide;
  start_sweep(clock, &start, &slide);
  uint32_t phase[2] = {start, start};
  const uint32_t step[2] = {slide + lean[0], slide + lean[n - 1]};
  double below = 0.0;
  for (unsigned l = 0; l < bins; ++l) {
    angle[0][l] = static_cast<uint8_t>((phase[0] + 0x800000u) >> 24);
    below += static_cast<double>(mags[0][l] * mags[0][l]);
    if (n == 2) {
      angle[1][l] = static_cast<uint8_t>((phase[1] + 0x800000u) >> 24);
      below += static_cast<double>(mags[1][l] * mags[1][l]);
    }
    const double fall = below * scale; // NaN counts as past the top
    const uint32_t down = static_cast<uint32_t>(fall < 4294967295.0 ? fall : 4294967295.0);
    phase[0] = phase[0] + step[0] - down;
    phase[1] = phase[1] + step[1] - down;
  }
}

} // namespace
