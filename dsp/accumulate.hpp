// Accumulation: the gate, the shift, and each kept source bin turned back
// into a complex value, at its magnitude and phase, on its target bin.
#pragma once

#include <math.h>
#include <stdint.h>
#include <string.h>

#include "dsp/coherence.hpp"
#include "dsp/common.hpp"
#include "dsp/simd.hpp"

namespace {

// Working rows of the accumulation.
struct AccumulationRows {
  float gated[bins];    // magnitudes after the gate, by source bin
  uint16_t order[bins]; // bins that need a phase, in the order of their calls
  float phase[bins];    // by source bin, like the rest
  float sn[bins];
  float cs[bins];
};

// The order of the calls: glibc's atan2f and sincosf branch on ranges of their arguments, so bins
// are visited grouped by range (32 groups; docs/performance.md); no result changes, only the time.
constexpr unsigned call_groups = 32;
constexpr unsigned skip_group = call_groups; // bins that need no call

// With fewer kept bins than this, sorting costs more than it saves.
constexpr unsigned ordered_min = 64;

// Only on x86-64 has the grouping been measured to pay (the mispredicted
// branches it avoids are timed there). Elsewhere the calls go in bin order:
// on 32-bit and 64-bit Arm the sort alone executes more instructions than
// all the sincosf calls of a frame, and nothing shows that the cores there
// gain it back.
#if defined(__x86_64__)
constexpr bool group_calls = true;
#else
constexpr bool group_calls = false;
#endif

// Cuts of |y/x|: the rare values below and above, and the ranges between.
constexpr float cut_tiny = 0x1p-12f;
constexpr float cut_huge = 0x1p25f;
constexpr float cuts[6] = {0.4375f, 0.6875f, 0.93159646f /* tan(0.75) */, 1.0f, 1.1875f, 2.4375f};

// Counter sets of the counting sort below.
constexpr unsigned sort_sets = 4;

// Lane by lane, `a` where the mask m is set (all bits), else `b`.
template <class F, class I> QUORVANE_INLINE F pick(I m, F a, F b) {
  return reinterpret_cast<F>((m & reinterpret_cast<I>(a)) | (~m & reinterpret_cast<I>(b)));
}

// Call groups of a vector of bins, branch-free: the group for the kept lanes
// (all bits set in `kept`), skip_group for the others. Worked out in floats
// (small integers, exact), which the AVX build does eight lanes at a time.
template <class F, class I> QUORVANE_INLINE I call_group(F re, F im, I kept) {
  constexpr unsigned lanes = sizeof(F) / sizeof(float);
  const F zero = vsplat<F>(0.0f);
  const F one = vsplat<F>(1.0f);
  static_assert(sizeof(I) == sizeof(F) && lanes >= 4);
  const I no_sign = ~reinterpret_cast<I>(vsplat<F>(-0.0f));
  // |y| / |x| rounds as fabsf(y / x) does; 0/0 and inf/inf give a NaN,
  // which compares false and lands among the rare values.
  const F q = reinterpret_cast<F>(reinterpret_cast<I>(im) & no_sign) /
              reinterpret_cast<F>(reinterpret_cast<I>(re) & no_sign);
  F range = zero;
  for (float c : cuts) {
    range += pick(q >= vsplat<F>(c), one, zero);
  }
  const I rare = ~(q >= vsplat<F>(cut_tiny)) | (q >= vsplat<F>(cut_huge));
  range = pick(rare, vsplat<F>(7.0f), range);
  // Outside the rare values x and y are neither zero nor NaN, so their
  // signs are what x < 0 and y < 0 say. The sign pairs in Gray order, the
  // ranges downwards in the odd positions.
  const I neg_x = re < zero;
  const I odd = neg_x ^ (im < zero);
  const F pair = pick(neg_x, vsplat<F>(2.0f), zero) + pick(odd, one, zero);
  range = pick(odd, vsplat<F>(7.0f) - range, range);
  const F group = pick(kept, pair * vsplat<F>(8.0f) + range, vsplat<F>(skip_group));
  return __builtin_convertvector(group, I);
}

// The kept bins among first..last (gated[k] != 0, NaN included) into order,
// grouped; returns how many. A counting sort whose counters come in four
// sets (bin k counts in set k % 4), so that consecutive increments never
// wait on the same counter; within a group the sets come in turn, each in
// increasing bin order. The bins outside first..last are classified as
// skipped, so that every loop runs over all the bins, four at a time, one
// statement per set. The skipped bins land in order past the kept ones.
// (Built for AVX too, which classifies eight bins at a time.)
[[maybe_unused]] QUORVANE_WIDE unsigned group_order(const float *re, const float *im,
                                                    const float *gated, int first, int last,
                                                    uint16_t *order) {
  constexpr unsigned groups = call_groups + 1; // the skipped ones last
  v8f lanes;
  for (unsigned lane = 0; lane < 8; ++lane) {
    lanes[lane] = static_cast<float>(lane);
  }
  const v8f from = vsplat<v8f>(static_cast<float>(first));
  const v8f to = vsplat<v8f>(static_cast<float>(last));
  int32_t group[bins];
  unsigned k = 0;
  for (; k + 8 <= bins; k += 8) {
    const v8f bin = lanes + vsplat<v8f>(static_cast<float>(k));
    const v8i kept = (vload<v8f>(gated + k) != vsplat<v8f>(0.0f)) & (bin >= from) & (bin <= to);
    const v8i g = call_group(vload<v8f>(re + k), vload<v8f>(im + k), kept);
    memcpy(group + k, &g, sizeof g);
  }
  for (; k < bins; ++k) {
    const bool kept =
        gated[k] != 0.0f && static_cast<int>(k) >= first && static_cast<int>(k) <= last;
    group[k] = call_group(splat4(re[k]), splat4(im[k]), splat4i(kept ? -1 : 0))[0];
  }

  uint16_t count[sort_sets][groups] = {};
  for (k = 0; k + sort_sets <= bins; k += sort_sets) {
    for (unsigned set = 0; set < sort_sets; ++set) {
      ++count[set][group[k + set]];
    }
  }
  for (; k < bins; ++k) {
    ++count[k % sort_sets][group[k]];
  }
  // Where each group's run of each set starts.
  uint16_t next[sort_sets][groups];
  unsigned n = 0;
  for (unsigned g = 0; g < groups; ++g) {
    for (unsigned set = 0; set < sort_sets; ++set) {
      next[set][g] = static_cast<uint16_t>(n);
      n += count[set][g];
    }
  }
  const unsigned kept = next[0][skip_group];
  for (k = 0; k + sort_sets <= bins; k += sort_sets) {
    for (unsigned set = 0; set < sort_sets; ++set) {
      order[next[set][group[k + set]]++] = static_cast<uint16_t>(k + set);
    }
  }
  for (; k < bins; ++k) {
    order[next[k % sort_sets][group[k]]++] = static_cast<uint16_t>(k);
  }
  return kept;
}

// gated[k] = 0 where mag[k] is below the gate level, mag[k] elsewhere (a NaN
// stays). Returns how many of the 513 are 0.
QUORVANE_INLINE unsigned gate_magnitudes(const float *mag, float gate, float *gated) {
#if defined(QUORVANE_SCALAR)
  unsigned zeros = 0; // one bin at a time: four lanes only add work without a vector unit
  for (unsigned k = 0; k < bins; ++k) {
    const float kept = mag[k] < gate ? 0.0f : mag[k];
    gated[k] = kept;
    zeros += kept == 0.0f;
  }
  return zeros;
#else
  const v4f g = splat4(gate);
  const v4f zero = splat4(0.0f);
  v4i zeros = splat4i(0); // counts down, per lane
  unsigned k = 0;
  for (; k + 4 <= bins; k += 4) {
    const v4f m = load4(mag + k);
    const v4f kept = m < g ? zero : m;
    zeros += kept == zero;
    store4(gated + k, kept);
  }
  unsigned n = static_cast<unsigned>(-(zeros[0] + zeros[1] + zeros[2] + zeros[3]));
  for (; k < bins; ++k) {
    gated[k] = mag[k] < gate ? 0.0f : mag[k];
    n += gated[k] == 0.0f;
  }
  return n;
#endif
}

// The reshaped bins 0..512 into acc_re/acc_im, from the magnitudes `mag` and
// the spectrum re/im of a live frame, or the captured phases of a frozen one
// (frozen_phase not null). Bins below the gate level are silenced, source
// bin k lands on k + offset, and those pushed past either end are dropped.
//
// Every target receives at most one source, so its value is (+0, +0) plus
// that source's (m cos, m sin). A zero magnitude makes both products zeros
// of some sign, and +0 plus a zero of either sign is +0: such a bin leaves
// its target at (+0, +0) whatever its phase, and needs neither atan2f nor
// sincosf. That needs a phase that is not NaN (zero times NaN is NaN), which
// a zero magnitude guarantees: a bin whose re or im is NaN has a NaN
// magnitude (live or captured alike), the blur's mean over it includes it,
// and the gate leaves a NaN alone. The phase is not corrected for the new
// frequency, which is part of the shift's sound; the coherent plugins pass
// the quarter turns that correct it (turn_rows(), dsp/coherence.hpp), and
// each source bin's (cos, sin) is turned by them before it is scaled.
void accumulate(const float *re, const float *im, const float *mag, const float *frozen_phase,
                int offset, float gate, AccumulationRows &rows, float *acc_re, float *acc_im,
                const uint8_t *turns = nullptr) {
  const int first = offset < 0 ? -offset : 0;
  const int last = offset > 0 ? static_cast<int>(bins) - 1 - offset : static_cast<int>(bins) - 1;
  float *phase = rows.phase;
  float *sn = rows.sn;
  float *cs = rows.cs;
  uint16_t *order = rows.order;
  // A gate at 0 keeps every magnitude as it is (none is below +0): the rows
  // read them where they are, and only their zeros are counted.
  const float *gated = mag;
  unsigned zeros = 0;
  if (gate == 0.0f) {
    for (unsigned k = 0; k < bins; ++k) {
      uint32_t bits; // +0 or -0: nothing but the sign bit; one integer test
      memcpy(&bits, mag + k, sizeof bits);
      zeros += (bits << 1) == 0;
    }
  } else {
    zeros = gate_magnitudes(mag, gate, rows.gated);
    gated = rows.gated;
  }

  // Sines and cosines by source bin. A bin without a phase keeps (+0, +0)
  // there, and m * +0 is a zero that leaves its target at +0 as it must. On
  // x86-64 the calls run back to back, each independent of the others, which
  // lets the processor overlap them, grouped by range in a live frame with
  // enough kept bins. A frozen frame's sincosf sees the same phases every
  // frame and gains nothing from grouping; neither do a few bins.
  if (zeros != 0) {
    memset(sn, 0, sizeof rows.sn);
    memset(cs, 0, sizeof rows.cs);
  }
  unsigned n = 0;
  bool listed = true;
  if (group_calls && !frozen_phase && bins - zeros >= ordered_min) {
    n = group_order(re, im, gated, first, last, order);
  } else if (zeros != 0) {
    for (int k = first; k <= last; ++k) { // increasing order, branch-free
      order[n] = static_cast<uint16_t>(k);
      n += gated[k] != 0.0f; // NaN included
    }
  } else {
    listed = false; // every bin in range, in increasing order
  }
#if defined(__x86_64__)
  const float *phases = frozen_phase ? frozen_phase : phase;
  // Two runs of independent calls, which the processor overlaps.
  if (listed) {
    if (!frozen_phase) {
      for (unsigned j = 0; j < n; ++j) {
        phase[order[j]] = atan2f(im[order[j]], re[order[j]]);
      }
    }
    for (unsigned j = 0; j < n; ++j) {
      const unsigned k = order[j];
      sincosf(phases[k], sn + k, cs + k);
    }
  } else {
    if (!frozen_phase) {
      for (int k = first; k <= last; ++k) {
        phase[k] = atan2f(im[k], re[k]);
      }
    }
    for (int k = first; k <= last; ++k) {
      sincosf(phases[k], sn + k, cs + k);
    }
  }
#else
  // Each live phase straight into its sincosf: the same calls on the same
  // values, without a row of phases to write and read back, which is what
  // counts on the in-order cores of most boards.
  (void)phase;
  if (listed) {
    for (unsigned j = 0; j < n; ++j) {
      const unsigned k = order[j];
      sincosf(frozen_phase ? frozen_phase[k] : atan2f(im[k], re[k]), sn + k, cs + k);
    }
  } else {
    for (int k = first; k <= last; ++k) {
      sincosf(frozen_phase ? frozen_phase[k] : atan2f(im[k], re[k]), sn + k, cs + k);
    }
  }
#endif

  if (turns) {
    turn_rows(cs, sn, turns);
  }

  // Each kept source k lands on k + offset: (+0, +0) + (m cos, m sin), four
  // bins at a time; the targets no source reaches, below first + offset or
  // above last + offset, stay (+0, +0).
  const auto below = static_cast<unsigned>(first + offset);
  const auto above = static_cast<unsigned>(last + offset) + 1;
  memset(acc_re, 0, below * sizeof(float));
  memset(acc_im, 0, below * sizeof(float));
  memset(acc_re + above, 0, (bins - above) * sizeof(float));
  memset(acc_im + above, 0, (bins - above) * sizeof(float));
  const v4f zero = splat4(0.0f);
  int k = first;
  for (; k + 3 <= last; k += 4) {
    const v4f m = load4(gated + k);
    store4(acc_re + k + offset, zero + m * load4(cs + k));
    store4(acc_im + k + offset, zero + m * load4(sn + k));
  }
  for (; k <= last; ++k) {
    acc_re[k + offset] = 0.0f + gated[k] * cs[k];
    acc_im[k + offset] = 0.0f + gated[k] * sn[k];
  }
}

} // namespace
