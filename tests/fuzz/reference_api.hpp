// The two sides of the fuzzer's twin, behind one small interface: the
// plugin through its LV2 descriptor, and the reference transcription. Each
// takes the instance's slot: even slots hold the first plugin, odd ones the
// aligned one.
#pragma once

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>

#include <lv2/core/lv2.h>

#include "tests/reference.hpp"

namespace {

inline uint32_t plugin_of(int slot) { return static_cast<uint32_t>(slot) % 2; }

struct PluginApi {
  using Handle = LV2_Handle;
  static const LV2_Descriptor *d(int s) { return lv2_descriptor(plugin_of(s)); }
  static Handle instantiate(int s) { return d(s)->instantiate(d(s), 48000.0, "/nowhere", nullptr); }
  static void connect(int s, Handle h, uint32_t port, float *data) {
    d(s)->connect_port(h, port, data);
  }
  static void run(int s, Handle h, uint32_t n) { d(s)->run(h, n); }
  static void cleanup(int s, Handle h) { d(s)->cleanup(h); }
};

// The library as the normal build makes it, loaded by dlopen() when
// QUORVANE_FUZZ_LIBRARY names it. On x86-64 GCC builds the transforms a
// second time for AVX and picks one at load time, which clang (this build)
// does not, so this is how the fuzzed lives reach the code that ships. It is
// not instrumented: coverage and sanitizers watch the compiled-in copy.
struct ShippedApi {
  using Handle = LV2_Handle;
  static const LV2_Descriptor **table() {
    static const LV2_Descriptor *desc[2] = {};
    return desc;
  }
  static bool loaded() { return table()[0] != nullptr; }
  static const LV2_Descriptor *d(int s) { return table()[plugin_of(s)]; }
  static bool load(const char *path) {
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    auto entry =
        lib ? reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib, "lv2_descriptor")) : nullptr;
    for (uint32_t i = 0; i < 2; ++i) {
      table()[i] = entry ? entry(i) : nullptr;
    }
    if (!table()[0] || !table()[1]) {
      table()[0] = nullptr;
      fprintf(stderr, "cannot load %s: %s\n", path, lib ? "no descriptor" : dlerror());
    }
    return loaded();
  }
  static Handle instantiate(int s) {
    return loaded() ? d(s)->instantiate(d(s), 48000.0, "/nowhere", nullptr) : nullptr;
  }
  static void connect(int s, Handle h, uint32_t port, float *data) {
    d(s)->connect_port(h, port, data);
  }
  static void run(int s, Handle h, uint32_t n) { d(s)->run(h, n); }
  static void cleanup(int s, Handle h) { d(s)->cleanup(h); }
};

// The plain transcription accepts the same life: any port index (it ignores
// those past 6 as the plugin does), null buffers, aliased buffers.
struct ReferenceApi {
  using Handle = ref::Plugin *;
  static Handle instantiate(int s) { return new ref::Plugin(plugin_of(s) == 1); }
  static void connect(int, Handle h, uint32_t port, float *data) { h->connect(port, data); }
  static void run(int, Handle h, uint32_t n) { h->run(n); }
  static void cleanup(int, Handle h) { delete h; }
};

} // namespace
