// The vectorised transform and frame against the plain model, frame by frame
// and bit for bit, including the paths that streams through the host rarely
// reach: ring positions off the hop grid, overflowing input, signed zeros,
// subnormals, and every control class. This file is also built with
// QUORVANE_NO_WIDE, which keeps the baseline code on machines that would
// otherwise run the AVX build of the transforms.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "dsp/frame.hpp"
#pragma GCC diagnostic pop

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>

#include "reference.hpp"
#include "signals.hpp"

#ifdef QUORVANE_NO_WIDE
#define FAST_FRAME FastFrameBaseline
#else
#define FAST_FRAME FastFrame
#endif

namespace {

using sig::bits, sig::NaN, sig::Inf;

// Equal bits, or both NaN (a NaN's payload is not part of the result).
bool same(float a, float b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

// The optimised record and the model, fed the same samples and controls a
// frame at a time, below the host's calls (host::Twin drives whole plugins).
struct Frames {
  bool coherent;
  Channel *fast = allocate_channels(1, coherent, 48000.0);
  std::unique_ptr<ref::Plugin> model = std::make_unique<ref::Plugin>(false, coherent);
  float ctl[4] = {}; // freeze, blur, shift, threshold

  explicit Frames(bool is_coherent = false) : coherent(is_coherent) {
    float **mp[4] = {&model->freeze, &model->blur, &model->shift, &model->threshold};
    for (int c = 0; c < 4; ++c)
      *mp[c] = &ctl[c];
  }
  ~Frames() { free(fast); }
  Frames(const Frames &) = delete;
  Frames &operator=(const Frames &) = delete;

  // What the sample loop does between frames: read out and clear the next
  // 256 output slots, store 256 input samples; then the frame.
  ::testing::AssertionResult hop(const float *x, uint32_t pos) {
    fast->pos = model->pos = pos;
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t p = (pos + i) & 1023;
      fast->out_ring[p] = model->out_ring[p] = 0.0f;
      fast->in_ring[p] = model->in_ring[p] = x[i];
    }
    fast->pos = model->pos = (pos + 256) & 1023;
    const Controls c = {control_or(&ctl[0], 0.0f), control_or(&ctl[1], 0.0f),
                        control_or(&ctl[2], 0.0f), control_or(&ctl[3], 0.0f)};
    coherent ? frame<true>(*fast, c) : frame(*fast, c);
    model->frame();
    for (int i = 0; i < 1024; ++i)
      if (!same(fast->out_ring[i], model->out_ring[i]))
        return ::testing::AssertionFailure()
               << "out_ring[" << i << "] " << fast->out_ring[i] << " vs " << model->out_ring[i];
    for (int k = 0; k < 513; ++k)
      if (!same(fast->frozen_mag[k], model->frozen_mag[k]) ||
          !same(fast->frozen_phase[k], model->frozen_phase[k]))
        return ::testing::AssertionFailure() << "captured bin " << k;
    if (fast->frozen != model->frozen || !same(fast->prev_freeze, model->prev_freeze))
      return ::testing::AssertionFailure() << "freeze state";
    return ::testing::AssertionSuccess();
  }
};

// Control values by class: off, small, edges, in range, out of range, bad.
float control(std::mt19937 &rng, int which) {
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  const float pick[] = {0.0f,  -0.0f, 1e-4f,      std::nextafter(1e-4f, 1.0f),
                        0.05f, 0.5f,  1.0f,       -1.0f,
                        2.0f,  -3.0f, 1 / 256.0f, 3 / 256.0f,
                        NaN,   Inf,   -Inf};
  switch (rng() % 4) {
  case 0: return pick[rng() % (sizeof pick / sizeof pick[0])];
  case 1: return which == 2 ? 2.0f * u(rng) - 1.0f : u(rng);
  case 2: return which == 3 ? 0.001f * u(rng) : u(rng);
  default: return which == 0 ? (rng() % 2 ? 1.0f : 0.0f) : 0.0f;
  }
}

// A hop of input of one class.
void input(std::mt19937 &rng, int kind, float *x) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int i = 0; i < 256; ++i) {
    switch (kind) {
    case 0: x[i] = 0.3f * u(rng); break;                                       // noise
    case 1: x[i] = 0.5f * std::cos(0.19f * (float)i) + 0.001f * u(rng); break; // tone
    case 2: x[i] = 0.0f; break;                                                // silence
    case 3: x[i] = rng() % 2 ? -0.0f : 0.0f; break;                            // signed zeros
    case 4: x[i] = 1e-40f * u(rng); break;                                     // subnormal
    case 5: x[i] = 3e38f * u(rng); break;                                      // overflows
    default: x[i] = (i % 64 == 0) ? 1.0f : 0.0f; break;                        // clicks
    }
  }
}

TEST(FAST_FRAME, MatchesTheModelFrameByFrame) {
  for (unsigned seed = 1; seed <= 8; ++seed) {
    std::mt19937 rng(seed);
    Frames t(seed > 4);
    uint32_t pos = 0;
    float x[256];
    int kind = 0;
    for (int f = 0; f < 600; ++f) {
      if (f % 8 == 0)
        kind = (int)(rng() % 7);
      if (f % 3 == 0)
        for (int c = 0; c < 4; ++c)
          t.ctl[c] = control(rng, c);
      // Mostly on the hop grid, as the sample loop keeps it; sometimes not.
      if (rng() % 16 == 0)
        pos = rng() % 1024;
      input(rng, kind, x);
      ASSERT_TRUE(t.hop(x, pos)) << "seed " << seed << " coherent " << t.coherent << " frame " << f
                                 << " input class " << kind << " controls " << t.ctl[0] << ' '
                                 << t.ctl[1] << ' ' << t.ctl[2] << ' ' << t.ctl[3] << " pos "
                                 << pos;
      pos = (pos + 256) & 1023;
    }
  }
}

// The coherent hold, one channel and a stereo pair (frame_pair against the
// model's frame of two), through long holds: low chords struck after
// silence and over one another, presses in sustain and near strikes, held
// with blur, shift and gate moving; for the pair, the right channel now
// equal to the left and now its own.
TEST(FAST_FRAME, HoldsMatchTheModelOneChannelAndAPair) {
  for (int n = 1; n <= 2; ++n) {
    std::mt19937 rng(40 + n);
    Channel *fast[2];
    std::unique_ptr<ref::Plugin> model[2];
    float ctl[4] = {};
    for (int c = 0; c < n; ++c) {
      fast[c] = allocate_channels(1, true, 44100.0);
      model[c] = std::make_unique<ref::Plugin>(false, true, 44100.0);
      float **mp[4] = {&model[c]->freeze, &model[c]->blur, &model[c]->shift, &model[c]->threshold};
      for (int k = 0; k < 4; ++k)
        *mp[k] = &ctl[k];
    }
    double hz[2][4] = {};
    double amp = 0.0, t = 0.0;
    bool same = true;
    for (int f = 0; f < 1400; ++f) {
      if (f % 40 == 0) { // a strike: new notes, now and then after silence
        amp = rng() % 3 == 0 ? 0.0 : 0.1 + 0.1 * (rng() % 4);
        same = f < 700; // the pair's channels equal, then each its own
        for (auto &ch : hz)
          for (double &h : ch)
            h = 80.0 + (rng() % 4000) * 0.1;
      }
      if (f % 40 == 1 + (int)(rng() % 3) || f % 40 == 20)
        ctl[0] = ctl[0] >= 0.5f ? 0.0f : 1.0f;
      if (f % 7 == 0) {
        ctl[1] = rng() % 2 ? 0.0f : (float)(rng() % 100) / 90.0f;
        ctl[2] = rng() % 2 ? 0.0f : (float)((int)(rng() % 17) - 8) / 128.0f;
        ctl[3] = rng() % 3 ? 0.0f : 0.01f * (float)(rng() % 10);
      }
      for (int c = 0; c < n; ++c)
        for (uint32_t i = 0; i < 256; ++i) {
          double x = 0.001 * std::sin(t * 7.0 + i); // a floor under the notes
          for (double h : hz[same ? 0 : c])
            x += amp * std::sin(2.0 * M_PI * h * (t + i / 44100.0));
          const uint32_t p = (model[c]->pos + i) & 1023;
          fast[c]->out_ring[p] = model[c]->out_ring[p] = 0.0f;
          fast[c]->in_ring[p] = model[c]->in_ring[p] = (float)x;
        }
      t += 256.0 / 44100.0;
      for (int c = 0; c < n; ++c)
        fast[c]->pos = model[c]->pos = (model[c]->pos + 256) & 1023;
      const Controls c = {control_or(&ctl[0], 0.0f), control_or(&ctl[1], 0.0f),
                          control_or(&ctl[2], 0.0f), control_or(&ctl[3], 0.0f)};
      ref::Plugin *const m[2] = {model[0].get(), n == 2 ? model[1].get() : nullptr};
      if (n == 1) {
        frame<true>(*fast[0], c);
      } else {
        frame_pair(*fast[0], *fast[1], c);
      }
      ref::Plugin::coherent_frame(m, n);
      for (int ch = 0; ch < n; ++ch)
        for (int i = 0; i < 1024; ++i)
          ASSERT_TRUE(::same(fast[ch]->out_ring[i], model[ch]->out_ring[i]))
              << "channels " << n << " frame " << f << " channel " << ch << " out_ring[" << i
              << "]";
      for (int i = 0; n == 2 && same && i < 1024; ++i)
        ASSERT_EQ(bits(fast[0]->out_ring[i]), bits(fast[1]->out_ring[i])) << "frame " << f;
    }
    for (int c = 0; c < n; ++c) {
      EXPECT_TRUE(hold_valid(fast[c]->co->hold));
      free(fast[c]);
    }
  }
}

// Channels fed a hop at a time as the sample loop feeds them (out_ring read
// and cleared, in_ring filled), by `frame` or, for two, `frame_pair`.
struct Hops {
  std::vector<Channel *> ch;
  explicit Hops(int n) {
    for (int c = 0; c < n; ++c) {
      ch.push_back(allocate_channels(1, true, 48000.0));
    }
  }
  ~Hops() {
    for (Channel *c : ch)
      free(c);
  }
  Hops(const Hops &) = delete;
  Hops &operator=(const Hops &) = delete;
  // One hop of input per channel; the hop of output each channel had ready.
  void hop(const std::vector<const float *> &x, const Controls &c,
           std::vector<std::vector<float>> *out = nullptr) {
    for (size_t k = 0; k < ch.size(); ++k) {
      Channel &h = *ch[k];
      for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t p = (h.pos + i) & 1023;
        if (out)
          (*out)[k].push_back(h.out_ring[p]);
        h.out_ring[p] = 0.0f;
        h.in_ring[p] = x[k][i];
      }
      h.pos = (h.pos + 256) & 1023;
    }
    if (ch.size() == 1)
      frame<true>(*ch[0], c);
    else
      frame_pair(*ch[0], *ch[1], c);
  }
};

// A stereo pair held from both channels together keeps its image: the
// held left/right correlation within 0.05 of the input's, a minute on.
TEST(FAST_FRAME, APairHoldsItsStereoImage) {
  Hops p(2);
  const double hz[] = {98.0, 146.8, 220.0, 329.6, 493.9};
  const double gl[] = {0.2, 0.08, 0.15, 0.1, 0.04}, gr[] = {0.1, 0.2, 0.15, 0.04, 0.1};
  const double shift[] = {0.0, 0.9, 2.0, -0.6, 0.3};
  std::vector<float> l(256), r(256);
  std::vector<std::vector<float>> out(2);
  auto correlation = [](const std::vector<float> &u, const std::vector<float> &v, size_t from,
                        size_t to) {
    double uv = 0, uu = 0, vv = 0;
    for (size_t i = from; i < to; ++i)
      uv += (double)u[i] * v[i], uu += (double)u[i] * u[i], vv += (double)v[i] * v[i];
    return uv / std::sqrt(uu * vv);
  };
  std::vector<float> in_l, in_r;
  Controls c{};
  const int press = 200, frames = 200 + 60 * 48000 / 256;
  for (int f = 0; f < frames; ++f) {
    for (int i = 0; i < 256; ++i) {
      const double t = (f * 256 + i) / 48000.0;
      double a = 0, b = 0;
      for (int j = 0; j < 5; ++j) {
        a += gl[j] * std::sin(2.0 * M_PI * hz[j] * t);
        b += gr[j] * std::sin(2.0 * M_PI * hz[j] * t + shift[j]);
      }
      l[i] = f < press + 20 ? (float)a : 0.0f;
      r[i] = f < press + 20 ? (float)b : 0.0f;
      in_l.push_back((float)a);
      in_r.push_back((float)b);
    }
    c.freeze = f >= press ? 1.0f : 0.0f;
    p.hop({l.data(), r.data()}, c, &out);
  }
  const double input = correlation(in_l, in_r, 0, (size_t)press * 256);
  const size_t early = (size_t)(press + 30) * 256, late = out[0].size() - 48000;
  const double held_early = correlation(out[0], out[1], early, early + 48000);
  const double held_late = correlation(out[0], out[1], late, late + 48000);
  if (getenv("QUORVANE_SOUND_FIGURES"))
    printf("| pair: input L/R correlation %.4f, held %.4f, a minute later %.4f |\n", input,
           held_early, held_late);
  EXPECT_NEAR(held_early, input, 0.05) << held_early << " " << input;
  EXPECT_NEAR(held_late, input, 0.05) << held_late << " " << input;
}

// Zero magnitudes skip the phase; a NaN bin must not be skipped with them.
TEST(FAST_FRAME, GatedSilentAndNaNBinsMatchTheModel) {
  Frames t;
  float x[256];
  std::mt19937 rng(9);
  const float thresholds[] = {1.0f, 0.999f, 0.5f, 0.0f};
  for (int f = 0; f < 64; ++f) {
    t.ctl[3] = thresholds[f % 4];
    t.ctl[2] = static_cast<float>(f % 5 - 2) / 128.0f;
    t.ctl[0] = (f / 16) % 2 ? 1.0f : 0.0f;
    input(rng, f % 16 < 8 ? 5 : 1, x); // overflowing blocks give inf and NaN bins
    ASSERT_TRUE(t.hop(x, (uint32_t)(f * 256) & 1023)) << "frame " << f;
  }
}

// Zeros of both signs, subnormals, tiny and unit values among ordinary ones.
// Every fifth round also has the largest floats and non-finite values, whose
// NaN spreads through the whole block: there only being NaN must agree, so
// the other rounds must leave enough finite output to compare.
TEST(FAST_FRAME, TransformMatchesTheModelOnSpecialValues) {
  const float specials[] = {0.0f,  -0.0f, 1e-45f, -1e-40f, 1e-30f, 1.0f,
                            -1.0f, 3e38f, -3e38f, Inf,     -Inf,   NaN};
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  int finite = 0;
  for (int round = 0; round < 40; ++round) {
    const unsigned kinds = round % 5 == 4 ? 12 : 7;
    Complex a[1024];
    ref::Cpx b[1024];
    for (int i = 0; i < 1024; ++i) {
      const bool special = round % 2 == 0 || rng() % 8 == 0;
      a[i].re = special ? specials[rng() % kinds] : u(rng);
      a[i].im = round % 4 == 1 ? 0.0f : special ? specials[rng() % kinds] : u(rng);
      b[i] = {a[i].re, a[i].im};
    }
    const int inverse = round % 3 == 0;
    fft(a, inverse);
    ref::fft(b, inverse);
    for (int i = 0; i < 1024; ++i) {
      ASSERT_TRUE(same(a[i].re, b[i].re) && same(a[i].im, b[i].im))
          << "round " << round << " inverse " << inverse << " index " << i;
      finite += std::isfinite(b[i].re) + std::isfinite(b[i].im);
    }
  }
  EXPECT_GE(finite, 32 * 2048);
}

} // namespace

// The accumulation visits the kept bins grouped by the ranges on which the
// C library's atan2f and sincosf branch. Spectra whose bins sit on those
// ranges' edges, or all in one range, or are NaN, zero or subnormal: the
// calling order holds every kept bin once and only those, each group in one
// run, and the stage gives the model's bins bit for bit.
TEST(FAST_FRAME, GroupedCallsMatchTheModel) {
  // A bin whose phase is exactly `target`: the first im up from re * tan.
  auto on_phase = [](float re, float target) {
    float im = re * std::tan(std::fabs(target)) * 0.9999f;
    while (atan2f(im, re) < std::fabs(target))
      im = std::nextafter(im, Inf);
    return atan2f(im, re) == std::fabs(target) ? std::copysign(im, target) : NaN;
  };
  const float edge_ratios[] = {0x1p-12f, 0.4375f, 0.6875f, 0.93159646f, 1.0f,
                               1.1875f,  2.4375f, 0x1p25f, 0x1p-29f};
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int kind = 0; kind < 6; ++kind) {
    float re[1024], im[1024], mag[513], phase[513];
    for (int k = 0; k < 513; ++k) {
      const float x = (k % 2 ? -1.0f : 1.0f) * (0.5f + 0.5f * std::fabs(u(rng)));
      const float sy = k % 4 < 2 ? 1.0f : -1.0f;
      switch (kind) {
      case 0: re[k] = x, im[k] = sy * std::fabs(x) * edge_ratios[k % 9]; break; // |y/x| on a cut
      case 1:
        re[k] = std::fabs(x), im[k] = on_phase(re[k], k % 2 ? 0.75f : -0.75f);
        ASSERT_FALSE(std::isnan(im[k]));
        break;
      case 2: re[k] = 0.3f, im[k] = 0.2f; break; // every bin in one group
      case 3: // NaN, infinite, zero and subnormal parts among ordinary ones
      {
        const float odd[] = {NaN, Inf, -Inf, 0.0f, -0.0f, 1e-45f, -3e-39f, 1.0f};
        re[k] = odd[rng() % 8], im[k] = rng() % 2 ? odd[rng() % 8] : u(rng);
        break;
      }
      default: re[k] = u(rng), im[k] = u(rng); break; // ordinary, with a gate
      }
      mag[k] = std::sqrt(re[k] * re[k] + im[k] * im[k]);
      phase[k] = atan2f(im[k], re[k]);
    }
    for (int offset : {0, 7, -128}) {
      const float gate = kind >= 4 ? 0.5f : 0.0f;
      AccumulationRows rows;
      float acc_re[513], acc_im[513];
      accumulate(re, im, mag, nullptr, offset, gate, rows, acc_re, acc_im);
      ref::Cpx want[513];
      ref::accumulate(want, mag, phase, offset, gate);
      for (int t = 0; t < 513; ++t)
        ASSERT_TRUE(same(acc_re[t], want[t].re) && same(acc_im[t], want[t].im))
            << "kind " << kind << " offset " << offset << " bin " << t;

      // The order itself: the kept bins in range, each once, groups unbroken.
      uint16_t order[513];
      const int first = offset < 0 ? -offset : 0, last = offset > 0 ? 512 - offset : 512;
      const unsigned n = group_order(re, im, rows.gated, first, last, order);
      std::vector<int> seen(513, 0);
      std::vector<int> runs(call_groups, 0);
      int kept = 0;
      for (int k = first; k <= last; ++k)
        kept += rows.gated[k] != 0.0f;
      ASSERT_EQ(n, (unsigned)kept) << "kind " << kind;
      auto group = [&](int k) { return call_group(splat4(re[k]), splat4(im[k]), splat4i(-1))[0]; };
      for (unsigned j = 0; j < n; ++j) {
        const int k = order[j], g = group(k);
        ASSERT_TRUE(k >= first && k <= last && rows.gated[k] != 0.0f && seen[k]++ == 0);
        ASSERT_LT(g, (int)call_groups);
        if (j == 0 || g != group(order[j - 1])) {
          ASSERT_EQ(runs[g]++, 0) << "group " << g << " split, kind " << kind;
        }
      }
    }
  }
}
