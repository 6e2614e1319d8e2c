// The transform and the window: the plugin's own transform through its
// contract, and the window as it sits in a freshly instantiated record.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "plugin/instance.hpp"
#pragma GCC diagnostic pop

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "host.hpp"
#include "reference.hpp"

namespace {

static_assert(sizeof(Complex) == sizeof(ref::Cpx));

std::vector<Complex> random_block(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<Complex> d(1024);
  for (auto &c : d)
    c = Complex{u(rng), u(rng)};
  return d;
}

TEST(Transform, ImpulseIsFlat) {
  std::vector<Complex> d(1024, Complex{0.0f, 0.0f});
  d[0].re = 1.0f;
  fft(d.data(), 0);
  for (int k = 0; k < 1024; ++k) {
    ASSERT_EQ(d[k].re, 1.0f) << "bin " << k;
    ASSERT_EQ(d[k].im, 0.0f) << "bin " << k;
  }
}

TEST(Transform, CosineAtBin8LandsInBins8And1016) {
  std::vector<Complex> d(1024);
  for (int n = 0; n < 1024; ++n)
    d[n] = Complex{(float)std::cos(2.0 * M_PI * 8.0 * n / 1024.0), 0.0f};
  fft(d.data(), 0);
  for (int k = 0; k < 1024; ++k) {
    const float want = (k == 8 || k == 1016) ? 512.0f : 0.0f;
    EXPECT_NEAR(d[k].re, want, 4e-3f) << "bin " << k;
    EXPECT_NEAR(d[k].im, 0.0f, 4e-3f) << "bin " << k;
  }
}

TEST(Transform, InverseUndoesForward) {
  const auto x = random_block(1);
  auto d = x;
  fft(d.data(), 0);
  fft(d.data(), 1);
  for (int i = 0; i < 1024; ++i) {
    EXPECT_NEAR(d[i].re, x[i].re, 2e-5f) << i;
    EXPECT_NEAR(d[i].im, x[i].im, 2e-5f) << i;
  }
}

// The output is defined bit for bit, so any faster transform must still
// round exactly like the plain one.
TEST(Transform, RoundsExactlyLikeTheModel) {
  for (int inverse = 0; inverse <= 1; ++inverse) {
    auto a = random_block(7 + inverse);
    std::vector<ref::Cpx> b(1024);
    std::memcpy(b.data(), a.data(), 1024 * sizeof(Complex));
    fft(a.data(), inverse);
    ref::fft(b.data(), inverse);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), 1024 * sizeof(Complex))) << "inverse " << inverse;
  }
}

TEST(Record, FreshInstanceIsZeroButTheWindow) {
  host::Instance inst;
  const auto *r = static_cast<const Instance *>(inst.handle());
  for (float *port : r->port.at)
    EXPECT_EQ(port, nullptr);
  EXPECT_EQ(r->channel.pos, 0u);
  EXPECT_EQ(r->channel.hop, 0u);
  EXPECT_EQ(r->channel.frozen, 0);
  EXPECT_EQ(r->channel.prev_freeze, 0.0f);
  for (int i = 0; i < 1024; ++i)
    ASSERT_EQ(r->channel.in_ring[i], 0.0f);
  for (int i = 0; i < 1024; ++i)
    ASSERT_EQ(r->channel.out_ring[i], 0.0f);
}

TEST(Record, WindowIsPeriodicHannWithOverlapSumOneAndAHalf) {
  host::Instance inst;
  const float *w = static_cast<const Instance *>(inst.handle())->channel.window;
  EXPECT_EQ(w[0], 0.0f);
  EXPECT_NEAR(w[256], 0.5f, 1e-7f);
  EXPECT_NEAR(w[512], 1.0f, 1e-7f);
  EXPECT_NEAR(w[768], 0.5f, 1e-7f);
  for (int i = 1; i < 1024; ++i) {
    ASSERT_NEAR(w[i], w[1024 - i], 4e-7f) << i;
    ASSERT_EQ(w[i], ref::hann(i)) << "window[" << i << "] not computed as specified";
  }
  for (int i = 0; i < 256; ++i) {
    float sum = 0.0f;
    for (int j = i; j < 1024; j += 256)
      sum += w[j] * w[j];
    ASSERT_NEAR(sum, 1.5f, 1e-6f) << i;
  }
}

} // namespace
