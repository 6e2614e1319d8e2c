// The built plugin against the plain model, bit for bit: first on steady
// settings that sit on the edges of each stage, then on long random streams
// in which the host changes every control between blocks (in range, out of
// range, NaN, infinite, unconnected), splits the stream at random, processes
// in place or with an audio port unconnected, and interleaves instances of
// each of the library's plugins (host::Twin drives both sides).
#include <gtest/gtest.h>

#include <deque>

#include <cfloat>
#include <cmath>
#include <random>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "host.hpp"
#include "reference.hpp"
#include "signals.hpp"

namespace {

using namespace host;
using sig::Buf, sig::NaN, sig::Inf;

// Steady settings on the edges of each stage, over tones and noise, on each
// plugin; long enough for a hold from the first sound to be refined and then
// weighed by what follows.
TEST(MatchesModel, EdgeSettings) {
  const size_t n = 24576;
  const Buf in = sig::add({sig::noise(n, 21, 0.3f), sig::tone(n, 8.0), sig::tone(n, 511.0, 0.2f),
                           sig::tone(n, 0.0, 0.1f)});
  const std::vector<std::vector<std::pair<Role, float>>> settings = {
      {},
      {{FREEZE, 0.5f}},
      {{FREEZE, std::nextafter(0.5f, 0.0f)}},
      {{BLUR, std::nextafter(1e-4f, 1.0f)}},
      {{BLUR, 0.05f}},
      {{BLUR, 0.5f}},
      {{BLUR, 1.0f}},
      {{SHIFT, 1 / 128.0f}},
      {{SHIFT, -1 / 128.0f}},
      {{SHIFT, 3 / 256.0f}},
      {{SHIFT, -5 / 256.0f}},
      {{SHIFT, 1.0f}},
      {{SHIFT, -1.0f}},
      {{THRESHOLD, 0.5f}},
      {{THRESHOLD, 1.0f}},
      {{THRESHOLD, 0.001f}, {BLUR, 0.2f}},
      {{FREEZE, 1.0f}, {BLUR, 0.3f}, {SHIFT, -0.2f}, {THRESHOLD, 0.1f}, {MIX, 0.3f}},
      {{FREEZE, 1.0f}, {SHIFT, 0.7f}, {THRESHOLD, 0.01f}, {MIX, 0.5f}},
  };
  for (uint32_t which = 0; which < plugin_count; ++which)
    for (size_t s = 0; s < settings.size(); ++s) {
      Twin p(which);
      for (auto [port, v] : settings[s])
        p.set(port, v);
      for (size_t i = 0; i < in.size(); i += 1000)
        ASSERT_EQ(p.block(in.data() + i, (uint32_t)std::min<size_t>(1000, in.size() - i)), "")
            << "plugin " << which << ", setting " << s;
    }
}

// Pressed at the start of a swell (its refined hold far louder than its
// first: a long fade, the window after the refinement's taken meanwhile)
// and of a struck chord, each followed 300 ms on by another chord.
TEST(MatchesModel, ASwellAndAStrikePressedAtTheirStart) {
  for (double rate : {48000.0, 192000.0})
    for (double attack : {0.3, 0.002}) {
      const size_t strike = (size_t)(rate / 2), n = (size_t)(rate * 4.5);
      Buf in(n, 0.0f);
      for (size_t i = strike; i < n; ++i) {
        const double t = (double)(i - strike) / rate, g = std::min(1.0, t / attack);
        in[i] = (float)(t > 0.3 ? 0.15 * std::sin(2 * M_PI * 440.0 * t)
                                : g * (0.15 * std::sin(2 * M_PI * 261.63 * t) +
                                       0.01 * std::sin(2 * M_PI * 523.25 * t)));
      }
      for (uint32_t which = 0; which < plugin_count; ++which) {
        Twin p(which, rate);
        for (size_t i = 0; i < n; i += 700) {
          p.set(FREEZE, i + 700 > strike ? 1.0f : 0.0f);
          ASSERT_EQ(p.block(in.data() + i, (uint32_t)std::min<size_t>(700, n - i)), "") << which;
        }
      }
    }
}

// A host that keeps changing everything.
class Chaos {
public:
  explicit Chaos(unsigned seed) : rng_(seed) {}

  int pick(int n) { return (int)(rng_() % (uint32_t)n); }
  float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng_); }

  float control(Role port) {
    static const float odd[] = {NaN,
                                -NaN,
                                Inf,
                                -Inf,
                                FLT_MAX,
                                -FLT_MAX,
                                1e-40f,
                                -0.0f,
                                -1.0f,
                                2.0f,
                                0.5f,
                                std::nextafter(0.5f, 0.0f),
                                1e-4f,
                                std::nextafter(1e-4f, 1.0f),
                                std::nextafter(1 / 15.0f, 0.0f),
                                1 / 256.0f,
                                3 / 256.0f,
                                -3 / 256.0f,
                                1.0f};
    const int r = pick(10);
    if (r < 2)
      return odd[pick(sizeof odd / sizeof odd[0])];
    if (r < 3)
      return uniform(-3.0f, 3.0f);
    switch (port) {
    case FREEZE: return (float)pick(2);
    case SHIFT: return pick(2) ? (float)(pick(513) - 256) / 256.0f : uniform(-1.0f, 1.0f);
    case THRESHOLD: return uniform(0.0f, 0.3f);
    default: return uniform(0.0f, 1.0f);
    }
  }

  // Host-side automation before a block: each control may move or be
  // disconnected; the freeze switch moves less often so that it holds.
  void automate(Twin &p) {
    for (Role port : {FREEZE, MIX, BLUR, SHIFT, THRESHOLD}) {
      if (pick(100) >= (port == FREEZE ? 8 : 30))
        continue;
      if (pick(10) == 0)
        p.unplug(port);
      else
        p.set(port, control(port));
    }
    // The host's bypass, now and then, on the plugins that have one.
    if (pick(100) < 4)
      p.set(ENABLED, pick(3) == 0 ? control(ENABLED) : (float)pick(2));
  }

  uint32_t size() {
    const int r = pick(10);
    if (r == 0)
      return 0;
    if (r < 4)
      return (uint32_t)pick(17);
    if (r < 5)
      return 256u * (uint32_t)pick(17);
    return (uint32_t)pick(4097);
  }

  Twin::Mode mode() {
    const int r = pick(100);
    return r < 60   ? Twin::SEPARATE
           : r < 85 ? Twin::IN_PLACE
           : r < 93 ? Twin::NO_INPUT
                    : Twin::NO_OUTPUT;
  }

  // Input in segments of noise, tones, clicks or silence at levels from
  // barely above nothing to loud, with the odd non-finite or -0 sample.
  Buf input(uint32_t n) {
    Buf x(n);
    for (uint32_t i = 0; i < n; ++i) {
      if (pick(3000) == 0) {
        kind_ = pick(4);
        // The quietest levels leave every magnitude under the 1e-20 peak
        // floor or make their squares underflow.
        static const float levels[] = {1e-30f, 1e-23f, 3e-21f, 1e-12f, 1e-5f,
                                       0.01f,  0.5f,   1.0f,   40.0f,  1000.0f};
        level_ = levels[pick(10)];
        bin_ = uniform(0.0f, 512.0f);
      }
      ++t_;
      switch (kind_) {
      case 0: x[i] = level_ * uniform(-1.0f, 1.0f); break;
      case 1: x[i] = level_ * (float)std::sin(2.0 * M_PI * bin_ * (double)t_ / 1024.0); break;
      case 2: x[i] = pick(500) == 0 ? level_ : 0.0f; break;
      default: x[i] = 0.0f;
      }
      static const float bad[] = {NaN, Inf, -Inf};
      const int r = pick(2000);
      if (r < 3)
        x[i] = bad[r];
      else if (r == 3)
        x[i] = -0.0f;
    }
    return x;
  }

private:
  std::mt19937 rng_;
  int kind_ = 0;
  float level_ = 0.5f, bin_ = 8.0f;
  uint64_t t_ = 0;
};

class RandomStreams : public ::testing::TestWithParam<unsigned> {};

// Each seed at a sample rate of its own: the coherent plugins size their
// analysis by it.
TEST_P(RandomStreams, MatchModelSampleForSample) {
  Chaos chaos(GetParam());
  const double rates[] = {44100.0, 48000.0, 96000.0, 192000.0};
  std::deque<Twin> pairs; // one of each plugin of the library
  for (uint32_t which = 0; which < plugin_count; ++which)
    pairs.emplace_back(which, rates[(GetParam() - 1) % 4]);
  auto short_of = [&pairs] {
    for (const Twin &p : pairs)
      if (p.taken < 250000)
        return true;
    return false;
  };
  while (short_of()) {
    const int which = chaos.pick(plugin_count);
    Twin &p = pairs[which];
    chaos.automate(p);
    const uint32_t n = chaos.size();
    const Buf in = chaos.input(n);
    ASSERT_EQ(p.block(in.data(), n, chaos.mode()), "")
        << "seed " << GetParam() << ", instance " << which;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomStreams, ::testing::Values(1u, 2u, 3u, 4u));

// A host may run its audio thread with subnormals flushed to zero (FTZ and
// DAZ on x86-64, FZ on 64-bit and 32-bit Arm). Each plugin then still equals the model
// run in the same mode: on subnormal input, on input whose squares are
// subnormal, and on a stream that keeps changing everything.
class FlushToZero {
public:
  FlushToZero() {
#if defined(__SSE__)
    saved_ = _mm_getcsr();
    _mm_setcsr(saved_ | 0x8040);
#elif defined(__aarch64__)
    saved_ = __builtin_aarch64_get_fpcr();
    __builtin_aarch64_set_fpcr(saved_ | (1u << 24));
#elif defined(__arm__) && defined(__ARM_FP)
    saved_ = __builtin_arm_get_fpscr();
    __builtin_arm_set_fpscr(saved_ | (1u << 24));
#endif
  }
  ~FlushToZero() {
#if defined(__SSE__)
    _mm_setcsr(saved_);
#elif defined(__aarch64__)
    __builtin_aarch64_set_fpcr(saved_);
#elif defined(__arm__) && defined(__ARM_FP)
    __builtin_arm_set_fpscr(saved_);
#endif
  }
  FlushToZero(const FlushToZero &) = delete;
  FlushToZero &operator=(const FlushToZero &) = delete;

private:
  unsigned saved_ = 0;
};

TEST(MatchesModel, UnderFlushToZero) {
#if !defined(__SSE__) && !defined(__aarch64__) && !(defined(__arm__) && defined(__ARM_FP))
  GTEST_SKIP() << "no flush-to-zero mode known on this processor";
#endif
  const FlushToZero mode;
  volatile float tiny = 1e-39f;
  ASSERT_EQ(tiny * 1.0f, 0.0f) << "the mode did not take";
  for (uint32_t which = 0; which < plugin_count; ++which) {
    Chaos chaos(9);
    Twin p(which);
    p.set(THRESHOLD, 0.01f);
    for (float level : {2e-39f, 1e-20f})
      for (int b = 0; b < 8; ++b) {
        const Buf in = sig::noise(1000, (unsigned)b, level);
        ASSERT_EQ(p.block(in.data(), 1000), "") << "plugin " << which << ", level " << level;
      }
    while (p.taken < 100000) {
      chaos.automate(p);
      const uint32_t n = chaos.size();
      const Buf in = chaos.input(n);
      ASSERT_EQ(p.block(in.data(), n, chaos.mode()), "") << "plugin " << which;
    }
  }
}

} // namespace
