// The coherent plugins' blur: the blurred magnitudes at phases of their own.
//
// Each blurred bin takes the direction of its channel's own neighbourhood
// (the sum of the bins within the blur's radius, every other one negated,
// which is how a Hann-windowed partial's bins alternate), turned by an angle
// of the frame's sweep (below), which depends on the spectrum's shape and
// the frame's number alone. Two channels, in one plugin or in two, then
// differ only by what differs between their inputs, and the blurred part
// keeps the phase (the time) between them. Each frame's sweep is slid and
// turned at random, so the frames add up as noise with no line at any bin's
// centre, and there is nothing to start from: a fresh or restored instance,
// or a blur turned on at any moment, is already in its steady state.
#pragma once

#include <math.h>
#include <stdint.h>

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

// The unit direction of each bin's neighbourhood within `radius` in re/im
// (into dir_re/dir_im): the sum of (-1)^l (re[l], im[l]) over
// l = k - radius .. k + radius within 0..512, taken as the difference of
// two running sums in double, rounded to float and scaled by
// 1 / sqrt(re^2 + im^2) in float, or (1, 0) where that is not a positive
// finite number. With n channels' blurred magnitudes (n 1 or 2; 0: none),
// also the angles of frame `clock`'s sweep for all of them, in 256ths of a
// turn: bin k's phase falls by the share of their blurred power (each
// squared, summed in double, bin by bin and channel by channel) at or
// below it, times `scale`, which is (2^32 - 1) over the whole. The running
// sums are the only chains, side by side in one pass; the rest goes four
// bins at a time.
QUORVANE_WIDE void diffuse_rows(const float *re, const float *im, int radius,
                                const float *const *mags, unsigned n, uint32_t clock, double scale,
                                float *dir_re, float *dir_im, uint8_t *angle) {
  constexpr unsigned pad = 17; // radius + 1 at most
  double run_re[pad + bins + pad];
  double run_im[pad + bins + pad];
  double s_re = 0.0;
  double s_im = 0.0;
  for (unsigned l = 0; l < pad; ++l) {
    run_re[l] = 0.0;
    run_im[l] = 0.0;
  }
  auto sums = [&](unsigned l) { // even bins add, odd ones take away
    if (l & 1) {
      s_re -= static_cast<double>(re[l]);
      s_im -= static_cast<double>(im[l]);
    } else {
      s_re += static_cast<double>(re[l]);
      s_im += static_cast<double>(im[l]);
    }
    run_re[pad + l] = s_re;
    run_im[pad + l] = s_im;
  };
  if (n == 0) {
    for (unsigned l = 0; l < bins; ++l) {
      sums(l);
    }
  } else {
    uint32_t phase;
    uint32_t slide;
    start_sweep(clock, &phase, &slide);
    double below = 0.0;
    for (unsigned l = 0; l < bins; ++l) {
      sums(l);
      angle[l] = static_cast<uint8_t>((phase + 0x800000u) >> 24);
      below += static_cast<double>(mags[0][l] * mags[0][l]);
      if (n == 2) {
        below += static_cast<double>(mags[1][l] * mags[1][l]);
      }
      const double fall = below * scale; // NaN counts as past the top
      phase = phase + slide - static_cast<uint32_t>(fall < 4294967295.0 ? fall : 4294967295.0);
    }
  }
  for (unsigned l = pad + bins; l < pad + bins + pad; ++l) {
    run_re[l] = s_re;
    run_im[l] = s_im;
  }
  // Bin k's sum: the running sum to k + radius less the one to k - radius - 1.
  const double *hi_re = run_re + pad + radius;
  const double *hi_im = run_im + pad + radius;
  const double *lo_re = run_re + pad - radius - 1;
  const double *lo_im = run_im + pad - radius - 1;
  const v4f one = splat4(1.0f);
  const v4f zero = splat4(0.0f);
  const v4f most = splat4(3.4028235e38f);
  unsigned k = 0;
  for (; k + 4 <= bins; k += 4) {
    const v4f r = __builtin_convertvector(load4d(hi_re + k) - load4d(lo_re + k), v4f);
    const v4f i = __builtin_convertvector(load4d(hi_im + k) - load4d(lo_im + k), v4f);
    const v4f n = r * r + i * i;
    const v4i ok = (n > zero) & (n <= most);
    const v4f inv = one / sqrt4(ok ? n : one);
    store4(dir_re + k, ok ? r * inv : one);
    store4(dir_im + k, ok ? i * inv : zero);
  }
  for (; k < bins; ++k) {
    const float r = static_cast<float>(hi_re[k] - lo_re[k]);
    const float i = static_cast<float>(hi_im[k] - lo_im[k]);
    const float n = r * r + i * i;
    const bool ok = n > 0.0f && n <= 3.4028235e38f;
    const float inv = ok ? 1.0f / sqrtf(n) : 1.0f;
    dir_re[k] = ok ? r * inv : 1.0f;
    dir_im[k] = ok ? i * inv : 0.0f;
  }
}

} // namespace
