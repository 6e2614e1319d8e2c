// Freeze, blur, shift and gate. The arithmetic of each stage is pinned on the
// model (whose output the plugin must then match bit for bit, see
// test_reference_match.cpp); what the stages do to the sound is checked on
// the built plugin, mostly by comparing settings that must sound the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

#include "host.hpp"
#include "reference.hpp"
#include "signals.hpp"

namespace {

using namespace host;
using sig::Buf, sig::NaN, sig::Inf;
using Plug = Rig<Instance>;

// Renders `in` with `port` following a schedule of (from sample, value).
Buf automate(const Buf &in, Role port, const std::vector<std::pair<size_t, float>> &steps,
             const Controls &fixed = {}) {
  Plug p;
  for (auto [q, v] : fixed)
    p.set(q, v);
  Buf out(in.size());
  for (size_t s = 0; s < steps.size(); ++s) {
    const size_t from = steps[s].first, to = s + 1 < steps.size() ? steps[s + 1].first : in.size();
    p.set(port, steps[s].second);
    p.block(in.data() + from, out.data() + from, to - from);
  }
  return out;
}

// ---- the model's stages, on the worked examples ----

TEST(Model, BlurMeansOverTheBinsThatExist) {
  for (auto [v, r] : {std::pair{0.05f, 1}, {0.5f, 8}, {1.0f, 16}, {FLT_MAX, 16}}) {
    float mag[ref::BINS] = {};
    mag[256] = 3.0f;
    ref::smooth(mag, &v);
    EXPECT_EQ(std::count(mag, mag + ref::BINS, (float)(3.0 / (2 * r + 1))), 2 * r + 1) << v;
  }
  float v = 0.05f, mid[ref::BINS] = {}, edge[ref::BINS] = {}, flat[ref::BINS];
  mid[100] = edge[0] = 1.0f;
  std::fill(flat, flat + ref::BINS, 0.3f);
  ref::smooth(mid, &v);
  ref::smooth(edge, &v);
  const float third = (float)(1.0 / 3.0);
  EXPECT_TRUE(mid[98] == 0 && mid[99] == third && mid[100] == third && mid[101] == third &&
              mid[102] == 0);
  EXPECT_TRUE(edge[0] == 0.5f && edge[1] == third && edge[2] == 0);
  v = 1.0f;
  ref::smooth(flat, &v);
  EXPECT_EQ(std::count(flat, flat + ref::BINS, 0.3f), ref::BINS);
}

TEST(Model, GateEdgeAndBinsShiftedOffTheEnds) {
  float mag[ref::BINS], phase[ref::BINS] = {}, half = 0.5f;
  std::fill(mag, mag + ref::BINS, 1.0f);
  mag[10] = 8.0f;
  mag[20] = 4.0f;                       // exactly at the gate: passes
  mag[30] = std::nextafter(4.0f, 0.0f); // just under: silenced
  ref::Cpx acc[ref::BINS];
  ref::accumulate(acc, mag, phase, 0, ref::peak_of(mag) * ref::gate_fraction(&half));
  EXPECT_TRUE(acc[10].re == 8.0f && acc[20].re == 4.0f && acc[30].re == 0.0f && acc[40].re == 0.0f);

  std::fill(mag, mag + ref::BINS, 1.0f);
  ref::accumulate(acc, mag, phase, 1, 0.0f);
  EXPECT_TRUE(acc[0].re == 0.0f && acc[1].re == 1.0f && acc[512].re == 1.0f);
  ref::accumulate(acc, mag, phase, -1, 0.0f);
  EXPECT_TRUE(acc[0].re == 1.0f && acc[511].re == 1.0f && acc[512].re == 0.0f);
}

// ---- freeze, on the plugin ----

// Every frame after the capture replays the same block, so once only frozen
// frames contribute (1024 samples after the capture at sample 256) the output
// repeats every 256 samples exactly, whatever the input does.
TEST(Freeze, HoldsAPeriodicSoundFromTheFirstFrame) {
  const Buf in = sig::noise(12000, 11);
  const Buf out = render(in, {{FREEZE, 1.0f}});
  for (size_t n = 256 + 1024; n + 256 < out.size(); ++n)
    ASSERT_EQ(sig::bits(out[n]), sig::bits(out[n + 256])) << n;
  EXPECT_GT(sig::rms(out, 2000, 12000), 0.01);
}

TEST(Freeze, OnOffThresholdAndAbsentValues) {
  const Buf in = sig::noise(8000, 12);
  const Buf on = render(in, {{FREEZE, 1.0f}}), off = render(in, {});
  EXPECT_FALSE(sig::same(on, off));
  EXPECT_TRUE(sig::same(render(in, {{FREEZE, 0.5f}}), on));
  EXPECT_TRUE(sig::same(render(in, {{FREEZE, FLT_MAX}}), on));
  for (float v : {std::nextafter(0.5f, 0.0f), -1.0f, -FLT_MAX, NaN, Inf})
    EXPECT_TRUE(sig::same(render(in, {{FREEZE, v}}), off)) << v;
}

// Only a rise from below 0.5 captures; going off (or absent) for a frame
// in between makes the next rise capture the live sound again.
TEST(Freeze, CapturesOnlyOnTheRisingEdge) {
  const Buf in = sig::noise(12000, 13);
  const Buf held = automate(in, FREEZE, {{0, 0.0f}, {2000, 0.7f}}); // captures at 2048
  EXPECT_TRUE(sig::same(automate(in, FREEZE, {{0, 0.0f}, {2000, 0.7f}, {5000, 0.9f}}), held));
  for (float gap : {0.3f, NaN, -Inf}) {
    // The frame at 5120 sees the gap, the one at 5376 captures anew.
    const Buf again = automate(in, FREEZE, {{0, 0.0f}, {2000, 0.7f}, {5000, gap}, {5300, 0.9f}});
    EXPECT_TRUE(sig::same(again, held, 0, 5120)) << gap;
    EXPECT_FALSE(sig::same(again, held, 5120, 5376)) << gap;
    for (size_t n = 5376 + 1024; n + 256 < in.size(); ++n)
      ASSERT_EQ(again[n], again[n + 256]) << gap << " at " << n;
    EXPECT_FALSE(sig::same(again, held, 7000, 7256)) << gap;
  }
}

// Unfreezing goes live at the next frame; once the frozen blocks have played
// out the output is what it would have been without the freeze. Blur and
// shift act on a copy of the capture, so undoing them restores it.
TEST(Freeze, StagesActOnACopyAndUnfreezingGoesLive) {
  const Buf in = sig::noise(16000, 14);
  const Buf live = render(in, {{BLUR, 0.2f}});
  const Buf thawed = automate(in, FREEZE, {{0, 1.0f}, {6000, 0.0f}}, {{BLUR, 0.2f}});
  EXPECT_FALSE(sig::same(thawed, live, 6144, 6144 + 1024));
  EXPECT_TRUE(sig::same(thawed, live, 6144 + 1024));

  const Buf frozen = render(in, {{FREEZE, 1.0f}});
  Plug p;
  p.set(FREEZE, 1.0f);
  Buf out(in.size());
  p.block(in.data(), out.data(), 3000);
  p.set(SHIFT, 0.25f);
  p.set(BLUR, 0.6f);
  p.set(THRESHOLD, 0.3f);
  p.block(in.data() + 3000, out.data() + 3000, 2000);
  p.set(SHIFT, 0.0f);
  p.unplug(BLUR);
  p.set(THRESHOLD, NaN);
  p.block(in.data() + 5000, out.data() + 5000, in.size() - 5000);
  EXPECT_FALSE(sig::same(out, frozen, 3072, 5120));
  EXPECT_TRUE(sig::same(out, frozen, 5120 + 1024));
}

// ---- blur, shift and gate, on the plugin ----

TEST(Blur, OffValuesAndRadiusClasses) {
  const Buf in = sig::noise(6000, 15);
  const Buf neutral = render(in, {});
  for (float v : {0.0f, -0.5f, 1e-4f, NaN, Inf})
    EXPECT_TRUE(sig::same(render(in, {{BLUR, v}}), neutral)) << v;
  const Buf r1 = render(in, {{BLUR, std::nextafter(1e-4f, 1.0f)}});
  EXPECT_FALSE(sig::same(r1, neutral));
  EXPECT_TRUE(sig::same(render(in, {{BLUR, 0.06f}}), r1)); // trunc(0.9) + 1
  const Buf r8 = render(in, {{BLUR, 0.5f}});
  EXPECT_TRUE(sig::same(render(in, {{BLUR, 0.52f}}), r8));  // trunc(7.8) + 1
  EXPECT_FALSE(sig::same(render(in, {{BLUR, 0.54f}}), r8)); // trunc(8.1) + 1
  const Buf r16 = render(in, {{BLUR, 1.0f}});
  for (float v : {1.5f, FLT_MAX})
    EXPECT_TRUE(sig::same(render(in, {{BLUR, v}}), r16)) << v;
}

TEST(Shift, OffsetClassesRoundTiesToEven) {
  const Buf in = sig::noise(6000, 16);
  const Buf neutral = render(in, {});
  for (float v : {1 / 256.0f, -1 / 256.0f, NaN, -Inf})
    EXPECT_TRUE(sig::same(render(in, {{SHIFT, v}}), neutral)) << v;
  const Buf up2 = render(in, {{SHIFT, 2 / 128.0f}}), down2 = render(in, {{SHIFT, -2 / 128.0f}});
  EXPECT_FALSE(sig::same(up2, neutral));
  for (float v : {3 / 256.0f, 5 / 256.0f})
    EXPECT_TRUE(sig::same(render(in, {{SHIFT, v}}), up2)) << v;
  EXPECT_TRUE(sig::same(render(in, {{SHIFT, -3 / 256.0f}}), down2));
  const Buf top = render(in, {{SHIFT, 1.0f}}), bottom = render(in, {{SHIFT, -1.0f}});
  for (float v : {1.5f, FLT_MAX})
    EXPECT_TRUE(sig::same(render(in, {{SHIFT, v}}), top)) << v;
  for (float v : {-1.5f, -FLT_MAX})
    EXPECT_TRUE(sig::same(render(in, {{SHIFT, v}}), bottom)) << v;
}

// A tone on bin 8 moved by 4 bins keeps its phase from frame to frame (both
// advance by whole turns per hop), so it comes out as a clean tone on bin
// 12 or bin 4; moved past bin 512 it is dropped.
TEST(Shift, MovesToneByWholeBinsAndDropsThePastTheEnd) {
  const Buf in = sig::tone(12000, 8.0);
  const Buf up = render(in, {{SHIFT, 4 / 128.0f}}), down = render(in, {{SHIFT, -4 / 128.0f}});
  EXPECT_NEAR(sig::level_at(up, 12, 2048, 10240), 0.5, 0.01);
  EXPECT_LT(sig::level_at(up, 8, 2048, 10240), 1e-3);
  EXPECT_NEAR(sig::level_at(down, 4, 2048, 10240), 0.5, 0.01);
  EXPECT_LT(sig::level_at(down, 8, 2048, 10240), 1e-3);

  const Buf high = render(sig::tone(12000, 500.0), {{SHIFT, 16 / 128.0f}});
  EXPECT_LT(sig::rms(high, 2048, 12000), 1e-4);
}

TEST(Gate, ThresholdClassesAndSilence) {
  const Buf in = sig::add({sig::noise(6000, 17), sig::tone(6000, 40.0)});
  const Buf neutral = render(in, {});
  for (float v : {-1.0f, NaN, Inf})
    EXPECT_TRUE(sig::same(render(in, {{THRESHOLD, v}}), neutral)) << v;
  const Buf full = render(in, {{THRESHOLD, 1.0f}});
  EXPECT_FALSE(sig::same(full, neutral));
  EXPECT_GT(sig::rms(full, 2048, 6000), 1e-3); // the peak bin itself passes
  // So does the Nyquist bin when it is the peak (the gate's last, odd bin).
  EXPECT_GT(sig::rms(render(sig::tone(6000, 512.0), {{THRESHOLD, 1.0f}}), 2048, 6000), 0.1);
  for (float v : {2.0f, FLT_MAX})
    EXPECT_TRUE(sig::same(render(in, {{THRESHOLD, v}}), full)) << v;

  const Buf silence(6000, 0.0f);
  for (const Controls &c :
       {Controls{{THRESHOLD, 1.0f}}, Controls{{THRESHOLD, 0.5f}, {BLUR, 1.0f}, {FREEZE, 1.0f}}})
    for (float x : render(silence, c))
      ASSERT_EQ(x, 0.0f);
}

// The peak comes from all bins before the shift: a loud tone that the shift
// drops still gates a quiet one that the shift keeps.
TEST(Gate, PeakIsTakenBeforeTheShift) {
  const Buf in = sig::add({sig::tone(12000, 500.0, 1.0f), sig::tone(12000, 100.0, 0.1f)});
  const Controls shifted = {{SHIFT, 16 / 128.0f}};
  const Buf open = render(in, shifted);
  EXPECT_NEAR(sig::level_at(open, 116, 2048, 10240), 0.1, 0.01);
  Controls gated = shifted;
  gated.push_back({THRESHOLD, 0.5f});
  EXPECT_LT(sig::rms(render(in, gated), 2048, 12000), 1e-4);
}

} // namespace
