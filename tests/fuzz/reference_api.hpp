// The two sides of the fuzzer's twin, behind one small interface: the
// plugin through its LV2 descriptor, and the reference transcription.
#pragma once

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>

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

// The library as the normal build makes it, loaded by dlopen() when
// QUORVANE_FUZZ_LIBRARY names it. On x86-64 GCC builds the transforms a
// second time for AVX and picks one at load time, which clang (this build)
// does not, so this is how the fuzzed lives reach the code that ships. It is
// not instrumented: coverage and sanitizers watch the compiled-in copy.
struct ShippedApi {
  using Handle = LV2_Handle;
  static const LV2_Descriptor *&d() {
    static const LV2_Descriptor *desc = nullptr;
    return desc;
  }
  static bool load(const char *path) {
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    auto entry =
        lib ? reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib, "lv2_descriptor")) : nullptr;
    d() = entry ? entry(0) : nullptr;
    if (!d()) {
      fprintf(stderr, "cannot load %s: %s\n", path, lib ? "no descriptor" : dlerror());
    }
    return d() != nullptr;
  }
  static Handle instantiate() {
    return d() ? d()->instantiate(d(), 48000.0, "/nowhere", nullptr) : nullptr;
  }
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
