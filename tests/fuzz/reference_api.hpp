// The two sides of the fuzzer's twin, behind one small interface: the
// plugin through its LV2 descriptor, and the reference transcription.
#pragma once

#include <stdint.h>

#include <lv2/core/lv2.h>

namespace {

struct PluginApi {
  using Handle = LV2_Handle;
  static const LV2_Descriptor *d() { return lv2_descriptor(0); }
  static Handle instantiate() { return d()->instantiate(d(), 48000.0, "/nowhere", nullptr); }
  static void connect(Handle h, uint32_t port, float *data) { d()->connect_port(h, port, data); }
  static void run(Handle h, uint32_t n) { d()->run(h, n); }
  static void cleanup(Handle h) { d()->cleanup(h); }
};

// Until the reference transcription is wired in, the twin is the plugin
// itself, which still checks determinism and independence of instances.
using ReferenceApi = PluginApi;

} // namespace
