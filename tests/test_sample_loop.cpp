// The boundary with the host, through the built library: descriptor, ports,
// the dry/wet mix, block splitting, in-place and unconnected buffers, and
// non-finite samples and controls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <string>
#include <utility>

#include "host.hpp"
#include "signals.hpp"

namespace {

using namespace host;
using sig::Buf, sig::NaN, sig::Inf;
using Plug = Rig<Instance>;

// Settings under which every stage does something.
const Controls busy = {
    {FREEZE, 0.0f}, {MIX, 0.7f}, {BLUR, 0.3f}, {SHIFT, 0.1f}, {THRESHOLD, 0.02f}};

// lv2_descriptor answers for the plugins of the table, in its order, the
// first at index 0 with the path its URI must keep, and null from there on.
TEST(Descriptor, IndexZeroIsThePluginThenTheOthersOfTheTable) {
  uint32_t count = 0;
  for (; descriptor(count); ++count) {
    const LV2_Descriptor *d = descriptor(count);
    ASSERT_LT(count, plugin_count) << d->URI << " is not in the table";
    EXPECT_STREQ(d->URI, plugin_table[count].uri);
    EXPECT_EQ(std::string(d->URI).rfind("http://", 0), 0u) << d->URI;
    EXPECT_NE(d->instantiate, nullptr);
    EXPECT_NE(d->connect_port, nullptr);
    EXPECT_NE(d->run, nullptr);
    EXPECT_NE(d->cleanup, nullptr);
    EXPECT_EQ(d->activate, nullptr);
    EXPECT_EQ(d->deactivate, nullptr);
  }
  EXPECT_EQ(count, plugin_count);
  EXPECT_TRUE(std::string(descriptor(FIRST)->URI).ends_with("/lv2/quorvane"));
  EXPECT_EQ(descriptor(FIRST)->extension_data, nullptr);
  for (uint32_t i : {plugin_count + 1, 0xffffffffu})
    EXPECT_EQ(descriptor(i), nullptr) << i;
}

TEST(Ports, NeverConnectedInstanceRunsAndUnconnectedInputIsSilence) {
  Instance inst;
  inst.run(5000);
  inst.run(0);
  Buf out(3000, 1.0f);
  inst.connect(OUT, out.data());
  inst.run(3000);
  for (float x : out)
    ASSERT_EQ(x, 0.0f);
}

// Only the ports a plugin has are bound: a host's stray pointer at any other
// index (the latency's among them, for the plugins without one) is never
// written through, and the sound is what it is without it.
TEST(Ports, IndicesPastTheLastAreIgnored) {
  const Buf in = sig::noise(6000, 1);
  for (uint32_t which = 0; which < plugin_count; ++which) {
    Buf stray(6000, 12345.0f);
    Plug p(which);
    for (auto [port, v] : busy)
      p.set(port, v);
    const uint32_t past = plugin_table[which].port_count;
    for (uint32_t port : {past, past + 1, 100u, 0xffffffffu})
      p.p.connect_index(port, stray.data());
    EXPECT_TRUE(sig::same(p.render(in, 1000), render(in, busy, 1000, which))) << which;
    for (float x : stray)
      ASSERT_EQ(x, 12345.0f) << "plugin " << which;
  }
}

// With every stage neutral the wet signal is the input, 1024 samples late.
TEST(Mix, NeutralWetIsInputDelayed) {
  const Buf in = sig::noise(8192, 2);
  const Buf out = render(in, {});
  for (size_t n = 0; n < in.size(); ++n)
    ASSERT_NEAR(out[n], n < 1024 ? 0.0f : in[n - 1024], 1e-5f) << n;
  EXPECT_TRUE(
      sig::same(out, render(in, {{FREEZE, 0}, {MIX, 1}, {BLUR, 0}, {SHIFT, 0}, {THRESHOLD, 0}})));
}

TEST(Mix, ZeroIsDryHalfIsMean) {
  const Buf in = sig::noise(8192, 3);
  const Buf dry = render(in, {{MIX, 0.0f}, {BLUR, 1.0f}, {SHIFT, 0.3f}});
  for (size_t n = 0; n < in.size(); ++n)
    ASSERT_EQ(dry[n], in[n]) << n;
  const Buf half = render(in, {{MIX, 0.5f}});
  for (size_t n = 1024; n < in.size(); ++n)
    ASSERT_NEAR(half[n], 0.5f * (in[n] + in[n - 1024]), 1e-5f) << n;
}

// Out of range clamps; absent (NaN, infinite of either sign) means fully wet.
TEST(Mix, OutOfRangeAndAbsentValues) {
  const Buf in = sig::noise(6000, 4);
  const Buf wet = render(in, {{MIX, 1.0f}}), dry = render(in, {{MIX, 0.0f}});
  EXPECT_TRUE(sig::same(render(in, {}), wet));
  for (float v : {2.0f, FLT_MAX, NaN, Inf, -Inf})
    EXPECT_TRUE(sig::same(render(in, {{MIX, v}}), wet)) << v;
  for (float v : {-1.0f, -FLT_MAX})
    EXPECT_TRUE(sig::same(render(in, {{MIX, v}}), dry)) << v;
}

// Frames fall every 256 samples of the stream however the host splits it.
TEST(Blocks, AnySplitGivesTheSameOutput) {
  const Buf in = sig::noise(20000, 5);
  const Buf whole = render(in, busy, 20000);
  for (uint32_t size : {1u, 7u, 256u, 4096u})
    EXPECT_TRUE(sig::same(render(in, busy, size), whole)) << size;

  std::mt19937 rng(9);
  Plug p;
  for (auto [port, v] : busy)
    p.set(port, v);
  Buf out(in.size());
  for (size_t i = 0; i < in.size();) {
    const uint32_t n = std::min<uint32_t>(rng() % 700, in.size() - i);
    p.block(in.data() + i, out.data() + i, n);
    p.block(in.data() + i, out.data() + i, 0);
    i += n;
  }
  EXPECT_TRUE(sig::same(out, whole)) << "varying sizes with empty calls";
}

TEST(Blocks, InPlaceGivesTheSameOutput) {
  const Buf in = sig::noise(20000, 6);
  Plug p;
  for (auto [port, v] : busy)
    p.set(port, v);
  Buf out(in.size());
  for (size_t i = 0; i < in.size(); i += 500)
    p.block(in.data() + i, out.data() + i, std::min<size_t>(500, in.size() - i), true);
  EXPECT_TRUE(sig::same(out, render(in, busy)));
}

// While the output is unconnected the frames still run, so the output is
// right again as soon as it comes back; an unconnected input reads silence.
TEST(Blocks, UnconnectedAudioBuffers) {
  Buf in = sig::noise(20000, 7);
  const Buf whole = render(in, busy);
  Plug p;
  for (auto [port, v] : busy)
    p.set(port, v);
  Buf out(in.size(), 0.0f);
  p.block(in.data(), out.data(), 3000);
  p.block(in.data() + 3000, nullptr, 6000);
  p.block(in.data() + 9000, out.data() + 9000, 11000);
  EXPECT_TRUE(sig::same(out, whole, 9000));

  Plug q;
  for (auto [port, v] : busy)
    q.set(port, v);
  Buf out2(in.size());
  q.block(in.data(), out2.data(), 5000);
  q.block(nullptr, out2.data() + 5000, 4000);
  q.block(in.data() + 9000, out2.data() + 9000, 11000);
  std::fill(in.begin() + 5000, in.begin() + 9000, 0.0f);
  EXPECT_TRUE(sig::same(out2, render(in, busy)));
}

// A non-finite sample counts as 0 in the dry part and in later frames.
TEST(NonFinite, InputSamplesCountAsZero) {
  Buf in = sig::noise(12000, 8), cleaned = in;
  const size_t at[] = {0, 300, 1023, 1024, 5000, 5001, 9999};
  const float bad[] = {NaN, Inf, -Inf, -NaN, NaN, Inf, -Inf};
  for (size_t i = 0; i < 7; ++i) {
    in[at[i]] = bad[i];
    cleaned[at[i]] = 0.0f;
  }
  const Controls c = {{MIX, 0.5f}, {BLUR, 0.2f}};
  EXPECT_TRUE(sig::same(render(in, c, 333), render(cleaned, c, 333)));
}

// Freeze, blur, shift and threshold treat NaN and infinities as unconnected,
// which for each of them is the neutral setting.
TEST(NonFinite, ControlsCountAsAbsent) {
  const Buf in = sig::noise(8000, 9);
  const Buf neutral = render(in, {});
  for (Role port : {FREEZE, BLUR, SHIFT, THRESHOLD})
    for (float v : {NaN, -NaN, Inf, -Inf})
      EXPECT_TRUE(sig::same(render(in, {{port, v}}), neutral))
          << info_of(port).symbol << " = " << v;
}

// An aligned plugin is its unaligned twin's wet signal mixed with the input
// of 1024 samples earlier, by the same two products and their sum: checked
// against that twin itself, fully wet, with every control moving, blocks of
// any size, in place or not.
TEST(Aligned, IsTheWetSignalWithTheDryInputDelayed) {
  for (uint32_t which : {ALIGNED, COHERENT_ALIGNED})
    for (unsigned seed : {1u, 2u, 3u}) {
      std::mt19937 rng(seed);
      auto uniform = [&rng](float lo, float hi) {
        return std::uniform_real_distribution<float>(lo, hi)(rng);
      };
      Buf in = sig::add({sig::noise(30000, seed, 0.3f), sig::tone(30000, 37.0)});
      in[5000] = NaN;
      in[20000] = Inf;
      Plug wet(which & ~ALIGNED), aligned(which);
      wet.set(MIX, 1.0f);
      Buf w(in.size()), got(in.size());
      for (size_t at = 0; at < in.size();) {
        const auto n = (uint32_t)std::min<size_t>(rng() % 3000, in.size() - at);
        const float freeze = (float)(rng() % 2), blur = uniform(0, 0.6f);
        const float shift = uniform(-0.3f, 0.3f), threshold = uniform(0, 0.05f);
        for (auto *r : {&wet, &aligned}) {
          r->set(FREEZE, freeze);
          r->set(BLUR, blur);
          r->set(SHIFT, shift);
          r->set(THRESHOLD, threshold);
        }
        const float mix = rng() % 8 == 0 ? NaN : uniform(-0.5f, 1.5f);
        aligned.set(MIX, mix);
        wet.block(in.data() + at, w.data() + at, n);
        aligned.block(in.data() + at, got.data() + at, n, rng() % 2 == 0);
        const float a = std::isnan(mix) ? 1.0f : std::clamp(mix, 0.0f, 1.0f);
        for (size_t i = at; i < at + n; ++i) {
          const float dry = i < 1024 || !std::isfinite(in[i - 1024]) ? 0.0f : in[i - 1024];
          const float expected = (1.0f - a) * dry + w[i] * a;
          ASSERT_EQ(sig::bits(got[i]), sig::bits(expected))
              << "plugin " << which << " seed " << seed << " sample " << i;
        }
        at += n;
      }
    }
}

TEST(Aligned, ReportsItsLatencyOnEveryRunAndRunsWithoutThePort) {
  for (uint32_t which : {ALIGNED, COHERENT_ALIGNED}) {
    Instance p(which);
    float latency = -1.0f;
    p.connect(LATENCY, &latency);
    p.run(0); // before any audio, as hosts ask for it
    EXPECT_EQ(latency, 1024.0f);
    latency = -1.0f;
    p.run(300);
    EXPECT_EQ(latency, 1024.0f);

    // Unconnected, the port is simply not written, and the sound is the same.
    const Buf in = sig::noise(6000, 4);
    Plug with(which), without(which);
    with.p.connect(LATENCY, &latency);
    without.p.connect(LATENCY, nullptr);
    EXPECT_TRUE(sig::same(with.render(in, 700), without.render(in, 700))) << which;
  }
}

} // namespace

// The host's bypass, on every plugin that has one: off, each channel's
// output is its own input at the plugin's latency (so an aligned plugin
// stays aligned); the change is a crossfade of one hop with no step in it
// (on smooth inputs, low tones, whose own steps are small beside a click);
// the frames go on meanwhile, so a hold is kept: back on, the plugin plays
// exactly what an instance that was never bypassed plays.
TEST(Bypass, PassesTheInputAtTheLatencyCrossfadesAndKeepsTheHold) {
  constexpr uint32_t length = 40000, size = 1000, off_at = 12000, on_at = 25000, hop = 256;
  const Buf in[2] = {sig::add({sig::tone(length, 2.3, 0.4f), sig::tone(length, 3.7, 0.3f)}),
                     sig::add({sig::tone(length, 1.6, 0.1f), sig::tone(length, 4.9, 0.05f)})};
  for (uint32_t which = 0; which < plugin_count; ++which) {
    const PluginInfo &info = plugin_table[which];
    if (!info.bypass) {
      EXPECT_EQ(port_index(info, Role::ENABLED), info.port_count) << info.name;
      continue;
    }
    SCOPED_TRACE(info.name);
    Plug bypassed(which), never(which);
    for (auto [port, v] : busy) {
      bypassed.set(port, v);
      never.set(port, v);
    }
    float on = 1.0f, off = 0.0f;
    never.p.connect(ENABLED, &on);
    Buf a[2] = {Buf(length), Buf(length)}, b[2] = {Buf(length), Buf(length)};
    for (uint32_t i = 0; i < length; i += size) {
      if (i == 5000) { // hold what plays, on both
        bypassed.set(FREEZE, 1.0f);
        never.set(FREEZE, 1.0f);
      }
      bypassed.p.connect(ENABLED, i >= off_at && i < on_at ? &off : &on);
      for (Plug *p : {&bypassed, &never}) {
        p->p.connect(IN_R, const_cast<float *>(in[1].data() + i));
        p->p.connect(OUT_R, (p == &bypassed ? a : b)[1].data() + i);
      }
      bypassed.block(in[0].data() + i, a[0].data() + i, size);
      never.block(in[0].data() + i, b[0].data() + i, size);
    }
    const uint32_t latency = info.latency ? 1024 : 0;
    for (uint32_t c = 0; c < info.channels; ++c) {
      SCOPED_TRACE(c == 0 ? "left or only channel" : "right channel");
      auto dry = [&](uint32_t n) { return n >= latency ? in[c][n - latency] : 0.0f; };
      for (uint32_t n = 0; n < off_at; ++n)
        ASSERT_EQ(a[c][n], b[c][n]) << "before the bypass, sample " << n;
      for (uint32_t n = off_at + hop; n < on_at; ++n)
        ASSERT_EQ(a[c][n], dry(n)) << "bypassed, sample " << n;
      for (uint32_t n = on_at + hop; n < length; ++n)
        ASSERT_EQ(a[c][n], b[c][n]) << "back on, sample " << n;
      // No click: in the crossfades no step is larger than the larger of
      // the two signals' own steps there.
      for (uint32_t at : {off_at, on_at}) {
        float largest = 0.0f, worst = 0.0f;
        for (uint32_t n = at; n < at + hop + 1; ++n) {
          largest =
              std::max({largest, std::fabs(dry(n) - dry(n - 1)), std::fabs(b[c][n] - b[c][n - 1])});
          worst = std::max(worst, std::fabs(a[c][n] - a[c][n - 1]));
        }
        EXPECT_LE(worst, largest * 1.05f + 1e-6f) << "crossfade at " << at;
      }
    }
  }
}

// The stereo plugins hold both channels as one, but nothing else of one
// channel reaches the other: equal channels in give equal channels out, bit
// for bit, whatever the controls do; and with freeze off, shift and blur at
// 0 each channel is what the mono coherent plugin (of the same delay) makes
// of it.
TEST(Stereo, EqualChannelsStayEqualAndEachIsTheMonoPluginsOwn) {
  const Buf left = sig::add({sig::noise(60000, 11, 0.2f), sig::tone(60000, 12.7, 0.4f)});
  const Buf right = sig::add({sig::noise(60000, 12, 0.3f), sig::tone(60000, 30.2, 0.3f)});
  for (uint32_t which = 0; which < plugin_count; ++which) {
    const PluginInfo &info = plugin_table[which];
    if (info.channels != 2)
      continue;
    SCOPED_TRACE(info.name);
    uint32_t mono = plugin_count;
    for (uint32_t m = 0; m < plugin_count; ++m)
      if (plugin_table[m].channels == 1 && plugin_table[m].coherent == info.coherent &&
          plugin_table[m].latency == info.latency)
        mono = m;
    ASSERT_LT(mono, plugin_count);

    // Everything moving, the same signal on both sides.
    Plug pair(which);
    Buf out_l(left.size()), out_r(left.size());
    std::mt19937 rng(5);
    for (size_t i = 0; i < left.size(); i += 1000) {
      pair.set(FREEZE, (i / 7000) % 2 ? 1.0f : 0.0f);
      pair.set(BLUR, (float)(rng() % 5) / 4.0f);
      pair.set(SHIFT, (float)((int)(rng() % 17) - 8) / 128.0f);
      pair.set(THRESHOLD, (float)(rng() % 3) * 0.02f);
      pair.p.connect(IN_R, const_cast<float *>(left.data() + i));
      pair.p.connect(OUT_R, out_r.data() + i);
      pair.block(left.data() + i, out_l.data() + i, 1000);
    }
    EXPECT_TRUE(sig::same(out_l, out_r)) << "equal channels in, unequal out";

    // Neutral hold and shift: two mono plugins.
    Plug both(which), one(mono), other(mono);
    for (Plug *p : {&both, &one, &other}) {
      p->set(MIX, 0.8f);
      p->set(THRESHOLD, 0.01f);
    }
    Buf want_l(left.size()), want_r(left.size());
    for (size_t i = 0; i < left.size(); i += 700) {
      const uint32_t n = (uint32_t)std::min<size_t>(700, left.size() - i);
      both.p.connect(IN_R, const_cast<float *>(right.data() + i));
      both.p.connect(OUT_R, out_r.data() + i);
      both.block(left.data() + i, out_l.data() + i, n);
      one.block(left.data() + i, want_l.data() + i, n);
      other.block(right.data() + i, want_r.data() + i, n);
    }
    EXPECT_TRUE(sig::same(out_l, want_l)) << "left";
    EXPECT_TRUE(sig::same(out_r, want_r)) << "right";
  }
}
