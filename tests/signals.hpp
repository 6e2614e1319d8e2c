// Test signals and bit-exact comparison of outputs.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <vector>

namespace sig {

using Buf = std::vector<float>;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float Inf = std::numeric_limits<float>::infinity();

inline Buf noise(size_t n, unsigned seed, float amp = 0.5f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-amp, amp);
  Buf b(n);
  for (auto &x : b)
    x = u(rng);
  return b;
}

// A sinusoid that sits exactly on bin `bin` of a 1024-point frame.
inline Buf tone(size_t n, double bin, float amp = 0.5f) {
  Buf b(n);
  for (size_t i = 0; i < n; ++i)
    b[i] = amp * (float)std::cos(2.0 * M_PI * bin * (double)i / 1024.0);
  return b;
}

// Sample-wise sum of signals of equal length.
inline Buf add(std::initializer_list<Buf> parts) {
  Buf sum(parts.begin()->size(), 0.0f);
  for (const Buf &b : parts)
    for (size_t i = 0; i < sum.size(); ++i)
      sum[i] += b[i];
  return sum;
}

inline uint32_t bits(float x) {
  uint32_t u;
  std::memcpy(&u, &x, 4);
  return u;
}

// Equal bit for bit over samples [from, to).
inline ::testing::AssertionResult same(const Buf &a, const Buf &b, size_t from = 0,
                                       size_t to = SIZE_MAX) {
  if (a.size() != b.size())
    return ::testing::AssertionFailure() << "sizes differ";
  for (size_t i = from; i < a.size() && i < to; ++i)
    if (bits(a[i]) != bits(b[i]))
      return ::testing::AssertionFailure()
             << "first difference at sample " << i << ": " << a[i] << " vs " << b[i];
  return ::testing::AssertionSuccess();
}

// Energy of the signal at bin `bin` of a 1024-sample period, over [from, to).
inline double level_at(const Buf &x, double bin, size_t from, size_t to) {
  double re = 0, im = 0;
  for (size_t i = from; i < to; ++i) {
    re += x[i] * std::cos(2.0 * M_PI * bin * (double)i / 1024.0);
    im += x[i] * std::sin(2.0 * M_PI * bin * (double)i / 1024.0);
  }
  return std::sqrt(re * re + im * im) * 2.0 / (double)(to - from);
}

inline double peak(const Buf &x, size_t from, size_t to) {
  double p = 0;
  for (size_t i = from; i < to; ++i)
    p = std::max(p, (double)std::fabs(x[i]));
  return p;
}

inline double rms(const Buf &x, size_t from, size_t to) {
  double s = 0;
  for (size_t i = from; i < to; ++i)
    s += (double)x[i] * x[i];
  return std::sqrt(s / (double)(to - from));
}

} // namespace sig
