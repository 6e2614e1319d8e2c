// Four-lane float vectors for the transforms and the per-bin loops.
//
// GCC and Clang vector extensions: each lane gets exactly the IEEE operation
// that the scalar code would do (SSE on x86-64, Advanced SIMD on 64-bit Arm,
// plain scalar code elsewhere), so vectorising changes no result. Contraction
// into FMA is off for the whole build, vectors included.
#pragma once

#include <math.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#endif

// Eight-lane vectors are passed between inline functions only, so the ABI
// note about passing them without AVX does not concern this code.
#pragma GCC diagnostic ignored "-Wpsabi"

// The transforms are also built for AVX on x86-64 and chosen at load time
// when the processor has it: the same IEEE operations on twice the lanes
// (AVX has no FMA, and contraction is off anyway). Everything they call is
// forced inline so that it is compiled for the caller's target.
// QUORVANE_NO_WIDE builds the baseline code only (for testing it on AVX
// machines).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(QUORVANE_NO_WIDE)
#define QUORVANE_WIDE __attribute__((target_clones("avx", "default")))
// A function for AVX processors only, where target_clones cannot help (an
// intrinsic that the baseline target lacks); the caller checks
// __builtin_cpu_supports("avx").
#define QUORVANE_AVX_ONLY __attribute__((target("avx")))
#include <immintrin.h>
#else
#define QUORVANE_WIDE
#endif
#define QUORVANE_INLINE __attribute__((always_inline)) inline

// Targets without a vector unit that the vector extensions could use (32-bit
// Arm, whose VFP is scalar; NEON is not IEEE-exact): the transforms take the
// scalar code of fft.hpp, written for registers one float wide.
#if !defined(__SSE2__) && !(defined(__aarch64__) && defined(__ARM_NEON))
#define QUORVANE_SCALAR 1
#endif

namespace {

typedef float v4f __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));
typedef double v4d __attribute__((vector_size(32)));
typedef int v4i __attribute__((vector_size(16))); // also comparison results
typedef int v8i __attribute__((vector_size(32)));

// Without a vector unit, lane by lane: a copy through memcpy would go
// through integer registers and back.
template <class V> QUORVANE_INLINE V vload(const float *p) {
  V v;
#if defined(QUORVANE_SCALAR)
  for (unsigned i = 0; i < sizeof(V) / sizeof(float); ++i) {
    v[i] = p[i];
  }
#else
  memcpy(&v, p, sizeof v);
#endif
  return v;
}

template <class V> QUORVANE_INLINE V vsplat(float x) {
  V v;
  for (unsigned i = 0; i < sizeof(V) / sizeof(float); ++i) {
    v[i] = x;
  }
  return v;
}

template <class V> QUORVANE_INLINE void vstore(float *p, const V &v) {
#if defined(QUORVANE_SCALAR)
  for (unsigned i = 0; i < sizeof(V) / sizeof(float); ++i) {
    p[i] = v[i];
  }
#else
  memcpy(p, &v, sizeof v);
#endif
}

// One lane (the scalar transforms): plain float accesses, which the compiler
// keeps in floating-point registers (a copy through memcpy goes through an
// integer register and back on 32-bit Arm).
template <> QUORVANE_INLINE float vload<float>(const float *p) { return *p; }
template <> QUORVANE_INLINE void vstore<float>(float *p, const float &v) { *p = v; }

// Unaligned loads and stores: the record only promises 16-byte alignment and
// many accesses are not on a 4-float boundary anyway.
QUORVANE_INLINE v4f load4(const float *p) { return vload<v4f>(p); }

QUORVANE_INLINE void store4(float *p, v4f v) { vstore(p, v); }

QUORVANE_INLINE v4d load4d(const double *p) {
  v4d v;
#if defined(QUORVANE_SCALAR)
  v = v4d{p[0], p[1], p[2], p[3]};
#else
  memcpy(&v, p, sizeof v);
#endif
  return v;
}

QUORVANE_INLINE void store4d(double *p, v4d v) {
#if defined(QUORVANE_SCALAR)
  p[0] = v[0], p[1] = v[1], p[2] = v[2], p[3] = v[3];
#else
  memcpy(p, &v, sizeof v);
#endif
}

QUORVANE_INLINE v4f splat4(float x) { return v4f{x, x, x, x}; }
QUORVANE_INLINE v4i splat4i(int x) { return v4i{x, x, x, x}; }

// A correctly rounded square root, as sqrtf gives it. On 32-bit Arm the
// instruction alone: GCC would put a test and a call beside it, to set errno
// for a negative argument, on every square root.
QUORVANE_INLINE float sqrt1(float x) {
#if defined(__arm__) && !defined(__aarch64__) && defined(__ARM_FP)
  float r;
  __asm__("vsqrt.f32 %0, %1" : "=t"(r) : "t"(x));
  return r;
#else
  return sqrtf(x);
#endif
}

// Correctly rounded square roots, lane by lane, as sqrtf gives them.
QUORVANE_INLINE v4f sqrt4(v4f x) {
#if defined(__SSE2__)
  return reinterpret_cast<v4f>(_mm_sqrt_ps(reinterpret_cast<__m128>(x)));
#elif defined(__aarch64__) && defined(__ARM_NEON)
  return reinterpret_cast<v4f>(vsqrtq_f32(reinterpret_cast<float32x4_t>(x)));
#else
  return v4f{sqrt1(x[0]), sqrt1(x[1]), sqrt1(x[2]), sqrt1(x[3])};
#endif
}

// Rows a..d become columns: afterwards a holds the old lane 0 of each, etc.
QUORVANE_INLINE void transpose4(v4f &a, v4f &b, v4f &c, v4f &d) {
  const v4f ab_lo = __builtin_shufflevector(a, b, 0, 4, 1, 5);
  const v4f ab_hi = __builtin_shufflevector(a, b, 2, 6, 3, 7);
  const v4f cd_lo = __builtin_shufflevector(c, d, 0, 4, 1, 5);
  const v4f cd_hi = __builtin_shufflevector(c, d, 2, 6, 3, 7);
  a = __builtin_shufflevector(ab_lo, cd_lo, 0, 1, 4, 5);
  b = __builtin_shufflevector(ab_lo, cd_lo, 2, 3, 6, 7);
  c = __builtin_shufflevector(ab_hi, cd_hi, 0, 1, 4, 5);
  d = __builtin_shufflevector(ab_hi, cd_hi, 2, 3, 6, 7);
}

// The same for the lower and the upper four lanes of eight-lane vectors at
// once: two transposes for the shuffles of one (AVX shuffles within halves).
QUORVANE_INLINE void transpose4(v8f &a, v8f &b, v8f &c, v8f &d) {
  const v8f ab_lo = __builtin_shufflevector(a, b, 0, 8, 1, 9, 4, 12, 5, 13);
  const v8f ab_hi = __builtin_shufflevector(a, b, 2, 10, 3, 11, 6, 14, 7, 15);
  const v8f cd_lo = __builtin_shufflevector(c, d, 0, 8, 1, 9, 4, 12, 5, 13);
  const v8f cd_hi = __builtin_shufflevector(c, d, 2, 10, 3, 11, 6, 14, 7, 15);
  a = __builtin_shufflevector(ab_lo, cd_lo, 0, 1, 8, 9, 4, 5, 12, 13);
  b = __builtin_shufflevector(ab_lo, cd_lo, 2, 3, 10, 11, 6, 7, 14, 15);
  c = __builtin_shufflevector(ab_hi, cd_hi, 0, 1, 8, 9, 4, 5, 12, 13);
  d = __builtin_shufflevector(ab_hi, cd_hi, 2, 3, 10, 11, 6, 7, 14, 15);
}

} // namespace
