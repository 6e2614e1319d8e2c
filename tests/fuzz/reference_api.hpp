// The two sides of the fuzzer's twin, behind one small interface: the
// plugin through its LV2 descriptor, and the reference transcription.
#pragma once

#include <stdint.h>

#include <lv2/core/lv2.h>

#include "tests/reference.hpp"

namespace {

struct PluginApi {
  using Handle = LV2_Handle;
  static const LV2_Descriptor *d() { return lv2_descriptor(0); }
  static Handle instantiate() { return d()->instantiate(d(), 48000.0, "/nowhere", nullptr); }
  static void connect(Handle h, uint32_t port, float *data) { d()->connect_port(h, port, data); }
  static void run(Handle h, uint32_t n) { d()->run(h, n); }
  static void cleanup(Handle h) { d()->cleanup(h); }
};

// The plain transcription accepts the same life: any port index (it ignores
// those past 6 as the plugin does), null buffers, aliased buffers.
struct ReferenceApi {
  using Handle = ref::Plugin *;
  static Handle instantiate() { return new ref::Plugin(); }
  static void connect(Handle h, uint32_t port, float *data) { h->connect(port, data); }
  static void run(Handle h, uint32_t n) { h->run(n); }
  static void cleanup(Handle h) { delete h; }
};

} // namespace
