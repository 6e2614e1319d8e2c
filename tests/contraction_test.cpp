// Fails if the compiler fuses a*b+c into one multiply-add.
//
// The plugin's output is defined with every operation rounded on its own.
// GCC contracts by default on 64-bit Arm, so this file is built with exactly
// the flags the plugin gets: it passing on a target shows that
// -ffp-contract=off reached that target's compiler.

#include <gtest/gtest.h>

namespace {

// Read through volatile so the compiler cannot fold the arithmetic at build
// time, where it would round the separate steps itself.
volatile float fa = 1.0f + 0x1p-12f;
volatile float fb = 1.0f + 0x1p-12f;
volatile float fc = -(1.0f + 0x1p-11f);
volatile double da = 1.0 + 0x1p-30;
volatile double db = 1.0 + 0x1p-30;
volatile double dc = -(1.0 + 0x1p-29);

// a*b = 1 + 2^-11 + 2^-24 exactly; 2^-24 is half an ulp of 1 and the tie
// goes to the even neighbour 1 + 2^-11, so the separately rounded sum is 0,
// while a fused multiply-add keeps the 2^-24.
float mul_add(float a, float b, float c) { return a * b + c; }
double mul_add(double a, double b, double c) { return a * b + c; }

// The same expression in the shapes the FFT uses (sum and difference of two
// products), where a contraction would fuse one of the two products.
float dot(float a, float b, float c, float d) { return a * b - c * d; }

TEST(Contraction, SinglePrecisionMultiplyAddIsRoundedTwice) {
  EXPECT_EQ(mul_add(fa, fb, fc), 0.0f);
  EXPECT_EQ(mul_add(fa, fb, fc + 0.0f), 0.0f);
}

TEST(Contraction, DoublePrecisionMultiplyAddIsRoundedTwice) { EXPECT_EQ(mul_add(da, db, dc), 0.0); }

TEST(Contraction, DifferenceOfProductsIsRoundedPerOperation) {
  // fa*fb rounds to 1 + 2^-11, which is exactly c*d here; only a fused
  // form sees the dropped 2^-24.
  const float c = 1.0f + 0x1p-11f;
  volatile float one = 1.0f;
  EXPECT_EQ(dot(fa, fb, c, one), 0.0f);
}

} // namespace
