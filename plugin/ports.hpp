// The plugins' port indices, in the order the bundle lists them. The library
// and the tests both take them from here.
#pragma once

#include <stdint.h>

namespace {

enum Port : uint32_t {
  IN = 0,
  OUT = 1,
  FREEZE = 2,
  MIX = 3,
  BLUR = 4,
  SHIFT = 5,
  THRESHOLD = 6,
  LATENCY = 7, // the aligned plugins only
};

constexpr uint32_t port_count = 7; // every plugin's; the aligned ones add LATENCY

} // namespace
