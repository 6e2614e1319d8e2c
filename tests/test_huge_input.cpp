// Finite input never gives non-finite output, even at the very top of the
// float range, where the transforms overflow: a wet value that comes out as
// infinity or NaN is played as silence. Every other output sample is what
// the plain transcription gives, bit for bit.
#include <math.h>
#include <memory>
#include <stdint.h>
#include <string.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/reference.hpp"
#include "tests/rt_plugin.hpp"

namespace {

constexpr float big = 3.4028235e38f;

struct Controls {
  float freeze, mix, blur, shift, threshold;
};

// One instance on the built library, all controls connected.
struct Plugin {
  const LV2_Descriptor *d = rt::load_plugin();
  LV2_Handle h = d->instantiate(d, 48000.0, "/nowhere", nullptr);
  float c[rt::port_count] = {};
  Plugin() {
    for (uint32_t p = 2; p < rt::port_count; ++p) {
      d->connect_port(h, p, &c[p]);
    }
  }
  ~Plugin() { d->cleanup(h); }
  Plugin(const Plugin &) = delete;
  Plugin &operator=(const Plugin &) = delete;
  void set(const Controls &k) {
    c[2] = k.freeze, c[3] = k.mix, c[4] = k.blur, c[5] = k.shift, c[6] = k.threshold;
  }
  // Runs `in` through in blocks of `block` samples, in place.
  std::vector<float> play(std::vector<float> in, uint32_t block) {
    for (size_t at = 0; at < in.size(); at += block) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, in.size() - at));
      d->connect_port(h, 0, &in[at]);
      d->connect_port(h, 1, &in[at]);
      d->run(h, n);
    }
    return in;
  }
};

// The plain transcription, driven the same way.
struct Model {
  std::unique_ptr<ref::Plugin> m = std::make_unique<ref::Plugin>();
  float c[rt::port_count] = {};
  Model() {
    for (uint32_t p = 2; p < rt::port_count; ++p) {
      m->connect(p, &c[p]);
    }
  }
  void set(const Controls &k) {
    c[2] = k.freeze, c[3] = k.mix, c[4] = k.blur, c[5] = k.shift, c[6] = k.threshold;
  }
  std::vector<float> play(std::vector<float> in, uint32_t block) {
    for (size_t at = 0; at < in.size(); at += block) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, in.size() - at));
      m->connect(0, &in[at]);
      m->connect(1, &in[at]);
      m->run(n);
    }
    return in;
  }
};

// Bit for bit, so that -0 and 0 differ and NaN would be seen.
size_t first_difference(const std::vector<float> &a, const std::vector<float> &b) {
  for (size_t i = 0; i < a.size(); ++i) {
    uint32_t x;
    uint32_t y;
    memcpy(&x, &a[i], sizeof x);
    memcpy(&y, &b[i], sizeof y);
    if (x != y) {
      return i;
    }
  }
  return a.size();
}

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

// Every control at its edges and in between, each kind of huge input, the
// freeze held through it: the output is always finite, and sample for sample
// what the transcription gives.
TEST(HugeInput, OutputStaysFiniteForEveryControl) {
  const float freezes[] = {0.0f, 1.0f};
  const float mixes[] = {1.0f, 0.5f, 1e-7f}; // 0 plays the dry input alone
  const float blurs[] = {0.0f, 0.05f, 1.0f};
  const float shifts[] = {0.0f, -1.0f, 0.37f, 1.0f};
  const float thresholds[] = {0.0f, 0.5f, 1.0f};
  for (int kind = 0; kind < 3; ++kind) {
    const std::vector<float> in = huge_input(kind, size_t{4} * 1024);
    for (float f : freezes)
      for (float m : mixes)
        for (float b : blurs)
          for (float s : shifts)
            for (float t : thresholds) {
              Plugin p;
              Model model;
              p.set({f, m, b, s, t});
              model.set({f, m, b, s, t});
              const std::vector<float> out = p.play(in, 700);
              const std::vector<float> expected = model.play(in, 700);
              size_t bad = 0;
              const size_t diff = first_difference(out, expected);
              ASSERT_EQ(diff, out.size())
                  << "kind " << kind << " freeze " << f << " mix " << m << " blur " << b
                  << " shift " << s << " threshold " << t << ": sample " << diff << " is "
                  << out[diff] << ", transcription " << expected[diff];
              ASSERT_TRUE(finite(out, &bad)) << "kind " << kind << " freeze " << f << " mix " << m
                                             << " blur " << b << " shift " << s << " threshold "
                                             << t << ": sample " << bad << " is " << out[bad];
            }
  }
}

// A freeze that captures a frame of huge samples replays it for as long as
// it is held; the output stays finite, and once the switch is off and the
// huge samples have left the window, the plugin is its neutral self again:
// the dry tone, delayed by 1024 samples.
TEST(HugeInput, FrozenHugeFrameAndRecovery) {
  Plugin p;
  std::vector<float> in = huge_input(1, 2048); // 1024 quiet, 1024 huge
  p.set({1.0f, 1.0f, 0.0f, 0.0f, 0.0f});
  std::vector<float> out = p.play(huge_input(0, 1280), 256); // freeze captured early: a quiet frame
  p.set({0.0f, 1.0f, 0.0f, 0.0f, 0.0f});
  out = p.play(in, 256);
  p.set({1.0f, 1.0f, 0.3f, 0.2f, 0.1f}); // capture now: the window is full of huge samples
  size_t bad = 0;
  for (int hold = 0; hold < 40; ++hold) {
    out = p.play(huge_input(2, 1024), 1024);
    ASSERT_TRUE(finite(out, &bad)) << "held block " << hold << " sample " << bad;
  }
  p.set({0.0f, 1.0f, 0.0f, 0.0f, 0.0f});
  std::vector<float> quiet(4096);
  for (size_t i = 0; i < quiet.size(); ++i) {
    quiet[i] = 0.25f * sinf(static_cast<float>(i) * 0.05f);
  }
  out = p.play(quiet, 64);
  ASSERT_TRUE(finite(out, &bad)) << "sample " << bad;
  // Frames after the switch-off still saw huge samples until 1024 quiet ones
  // had come in; their blocks are read out up to 1024 samples later.
  for (size_t i = 3072; i < quiet.size(); ++i) {
    EXPECT_NEAR(out[i], quiet[i - 1024], 1e-5f) << "sample " << i;
  }
}

} // namespace
