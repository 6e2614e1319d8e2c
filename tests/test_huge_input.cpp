// Finite input never gives non-finite output, even at the very top of the
// float range, where the transforms overflow: a wet value that comes out as
// infinity or NaN is played as silence. Every other output sample is what
// the plain transcription gives, bit for bit.
#include <algorithm>
#include <math.h>
#include <stdint.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/host.hpp"

namespace {

using namespace host;

constexpr float big = 3.4028235e38f;

// Kinds of enormous input: a few huge samples in every block of a tone,
// whole blocks of them, and a tone whose amplitude is the largest float.
std::vector<float> huge_input(int kind, size_t n) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) {
    const float tone = sinf(static_cast<float>(i) * 0.07f);
    switch (kind) {
    case 0:
      x[i] = 0.5f * tone;
      if (i % 256 == 17 || i % 256 == 200)
        x[i] = i % 3 ? big : -big;
      break;
    case 1: x[i] = (i / 1024) % 2 ? (i % 2 ? big : -big) : 0.5f * tone; break;
    default: x[i] = big * tone; break;
    }
  }
  return x;
}

bool finite(const std::vector<float> &x, size_t *first_bad) {
  for (size_t i = 0; i < x.size(); ++i) {
    if (!(fabsf(x[i]) <= big)) {
      *first_bad = i;
      return false;
    }
  }
  return true;
}

// Runs `in` through in blocks of `block` samples, in place.
std::vector<float> play(Rig<> &p, std::vector<float> in, uint32_t block) {
  for (size_t at = 0; at < in.size(); at += block) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(block, in.size() - at));
    p.block(&in[at], &in[at], n, true);
  }
  return in;
}

// Every control at its edges and in between, each kind of huge input, the
// freeze held through it, on the first plugin and, in turn, one of the
// others: the output is always finite, and sample for sample what the model
// gives (Twin checks both).
TEST(HugeInput, OutputStaysFiniteForEveryControl) {
  const float freezes[] = {0.0f, 1.0f};
  const float mixes[] = {1.0f, 0.5f, 1e-7f}; // 0 plays the dry input alone
  const float blurs[] = {0.0f, 0.05f, 1.0f};
  const float shifts[] = {0.0f, -1.0f, 0.37f, 1.0f};
  const float thresholds[] = {0.0f, 0.5f, 1.0f};
  uint32_t turn = 0;
  for (int kind = 0; kind < 3; ++kind) {
    const std::vector<float> in = huge_input(kind, size_t{4} * 1024);
    for (float f : freezes)
      for (float m : mixes)
        for (float b : blurs)
          for (float s : shifts)
            for (float t : thresholds)
              for (uint32_t which : {uint32_t{FIRST}, 1 + turn++ % (plugin_count - 1)}) {
                Twin twin(which);
                const std::pair<Role, float> controls[] = {
                    {FREEZE, f}, {MIX, m}, {BLUR, b}, {SHIFT, s}, {THRESHOLD, t}};
                for (auto [port, v] : controls)
                  twin.set(port, v);
                for (size_t at = 0; at < in.size(); at += 700)
                  ASSERT_EQ(
                      twin.block(&in[at], std::min<uint32_t>(700, in.size() - at), Twin::IN_PLACE),
                      "")
                      << "kind " << kind << ", plugin " << which;
              }
  }
}

// A freeze that captures a frame of huge samples replays it for as long as
// it is held; the output stays finite, and once the switch is off and the
// huge samples have left the window, each plugin is its neutral self again:
// the dry tone, delayed by 1024 samples.
TEST(HugeInput, FrozenHugeFrameAndRecovery) {
  for (uint32_t which = 0; which < plugin_count; ++which) {
    Rig<> p(which);
    auto set = [&p](float freeze, float blur, float shift, float threshold) {
      p.set(FREEZE, freeze), p.set(MIX, 1.0f), p.set(BLUR, blur), p.set(SHIFT, shift);
      p.set(THRESHOLD, threshold);
    };
    set(1, 0, 0, 0);
    std::vector<float> out = play(p, huge_input(0, 1280), 256); // captured early: a quiet frame
    set(0, 0, 0, 0);
    out = play(p, huge_input(1, 2048), 256); // 1024 quiet, 1024 huge
    set(1, 0.3f, 0.2f, 0.1f);                // capture now: the window is full of huge samples
    size_t bad = 0;
    for (int hold = 0; hold < 40; ++hold) {
      out = play(p, huge_input(2, 1024), 1024);
      ASSERT_TRUE(finite(out, &bad))
          << "plugin " << which << " held block " << hold << " sample " << bad;
    }
    set(0, 0, 0, 0);
    std::vector<float> quiet(4096);
    for (size_t i = 0; i < quiet.size(); ++i) {
      quiet[i] = 0.25f * sinf(static_cast<float>(i) * 0.05f);
    }
    out = play(p, quiet, 64);
    ASSERT_TRUE(finite(out, &bad)) << "plugin " << which << " sample " << bad;
    // Frames after the switch-off still saw huge samples until 1024 quiet ones
    // had come in; their blocks are read out up to 1024 samples later.
    for (size_t i = 3072; i < quiet.size(); ++i) {
      ASSERT_NEAR(out[i], quiet[i - 1024], 1e-5f) << "plugin " << which << " sample " << i;
    }
  }
}

} // namespace
