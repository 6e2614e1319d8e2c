// The fixed sizes of the processing, and how a control port is read: what
// every stage shares, without the instance record.
#pragma once

// The library must load on the oldest C library of its boards (glibc 2.4;
// 2.17 on 64-bit Arm), so of <math.h> only functions older than that may be
// called: sqrtf, fabsf, floorf, cosf, sinf, sincosf, atan2f, lrintf and the
// like. expf, exp2f, logf, log2f and powf (glibc 2.27), and exp, exp2, log,
// log2 and pow (2.29) are not; the floor check (tests/check_glibc.cmake)
// names any such call and the way out.
#include <math.h>

namespace {

constexpr unsigned block_size = 1024; // samples per frame, and ring length
constexpr unsigned ring_mask = block_size - 1;
constexpr unsigned hop_size = 256; // samples between frames
constexpr unsigned bins = 513;     // DC to Nyquist of a real 1024-point frame

// True for every value but NaN and the infinities. Written out rather than
// isfinite() so that it holds whatever floating-point options a build uses.
inline bool is_finite(float v) { return fabsf(v) <= 3.4028235e38f; }

// A control is absent when unconnected or not finite; its reader then uses a
// fallback. Returns whether it is present and, if so, stores its value.
inline bool read_control(const float *port, float *value) {
  if (!port) {
    return false;
  }
  const float v = *port;
  if (!is_finite(v)) {
    return false;
  }
  *value = v;
  return true;
}

// The control's value, or `fallback` where it is absent: what a stage is
// handed, so that no stage needs to know about ports.
inline float control_or(const float *port, float fallback) {
  float v = fallback;
  read_control(port, &v);
  return v;
}

} // namespace
