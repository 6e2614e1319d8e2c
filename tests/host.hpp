// The test rig: a minimal LV2 host over the built library (dlopen, then
// lv2_descriptor, as hosts do) and over the model, which sits behind a
// descriptor of its own, so that the tests, the fuzz host and the benchmarks
// drive the plugin and the model through the same calls. No gtest here: the
// real-time tests, the fuzz host and the benchmarks include it too.
#pragma once

#include <dlfcn.h>
#include <lv2/core/lv2.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "quorvane_table.hpp"
#include "tests/reference.hpp"

namespace host {

// The tests name ports by their roles (IN, FREEZE, ENABLED ...), the
// generated table's, whatever index a plugin gives them.
using enum ::Role;

// The library's plugins by lv2_descriptor index, as the table of plugins
// (bundle/plugins.cmake) lists them. The mono ones by name, for the tests
// that are about one of them.
enum Which : uint32_t { FIRST = 0, ALIGNED = 1, COHERENT = 2, COHERENT_ALIGNED = 3 };
static_assert(!plugin_table[FIRST].latency && !plugin_table[FIRST].coherent);
static_assert(plugin_table[ALIGNED].latency && !plugin_table[ALIGNED].coherent);
static_assert(!plugin_table[COHERENT].latency && plugin_table[COHERENT].coherent);
static_assert(plugin_table[COHERENT_ALIGNED].latency && plugin_table[COHERENT_ALIGNED].coherent);
constexpr uint32_t plugin_count = plugin_table_size;

inline uint32_t which_of(const char *uri) {
  for (uint32_t i = 0; i < plugin_count; ++i)
    if (std::strcmp(uri, plugin_table[i].uri) == 0)
      return i;
  return plugin_count;
}

// The index of the port with `role` in plugin `which`; past its last port if
// it has none. IN and OUT are the left channel's on a stereo plugin.
inline uint32_t index_of(uint32_t which, Role role) {
  const PluginInfo &p = plugin_table[which];
  if (p.channels == 2 && (role == IN || role == OUT))
    role = role == IN ? IN_L : OUT_L;
  return port_index(p, role);
}

// Each control input of the table, in its order.
inline std::vector<Role> control_inputs() {
  std::vector<Role> all;
  for (uint32_t r = 0; r < role_count; ++r)
    if (roles[r].kind == PortKind::CONTROL_IN)
      all.push_back(static_cast<Role>(r));
  return all;
}

// lv2_descriptor of the library at `path`. Nothing here means anything
// without it, so failing ends the program.
inline LV2_Descriptor_Function open_library(const char *path) {
  void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  auto entry =
      lib ? reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib, "lv2_descriptor")) : nullptr;
  if (!entry) {
    fprintf(stderr, "cannot load %s: %s\n", path, lib ? "no lv2_descriptor" : dlerror());
    exit(2);
  }
  return entry;
}

#ifdef QUORVANE_LIB
// Plugin `index` of the built library, whose path is QUORVANE_LIB.
inline const LV2_Descriptor *descriptor(uint32_t index = FIRST) {
  static const LV2_Descriptor_Function entry = open_library(QUORVANE_LIB);
  return entry(index);
}
#endif

// The model of plugin `index` (null past the last), behind a descriptor.
inline const LV2_Descriptor *model(uint32_t index = FIRST) {
  static const std::array<LV2_Descriptor, plugin_count> table = [] {
    auto inst = [](const LV2_Descriptor *d, double rate, const char *,
                   const LV2_Feature *const *) -> LV2_Handle {
      const PluginInfo &p = plugin_table[d - model(FIRST)];
      return new ref::Pair(p, rate);
    };
    auto conn = [](LV2_Handle h, uint32_t port, void *data) {
      static_cast<ref::Pair *>(h)->connect(port, static_cast<float *>(data));
    };
    auto run = [](LV2_Handle h, uint32_t n) { static_cast<ref::Pair *>(h)->run(n); };
    auto clean = [](LV2_Handle h) { delete static_cast<ref::Pair *>(h); };
    std::array<LV2_Descriptor, plugin_count> all;
    for (uint32_t i = 0; i < plugin_count; ++i) // the plugin's URI: host::Instance maps by it
      all[i] = {plugin_table[i].uri, inst, conn, nullptr, run, nullptr, clean, nullptr};
    return all;
  }();
  return index < plugin_count ? &table[index] : nullptr;
}

// One instance made and destroyed through a descriptor, as a host does.
class Instance {
public:
  Instance(const LV2_Descriptor &d, double rate) : Instance(d, nullptr, rate) {}
  explicit Instance(const LV2_Descriptor &d, const LV2_Feature *const *features = nullptr,
                    double rate = 48000.0)
      : d_(&d), which_(which_of(d.URI)) {
    static const LV2_Feature *const no_features[] = {nullptr};
    h_ = d.instantiate(&d, rate, "", features ? features : no_features);
    if (!h_) {
      fprintf(stderr, "%s: instantiate failed\n", d.URI);
      exit(2);
    }
  }
#ifdef QUORVANE_LIB
  explicit Instance(uint32_t index = FIRST, double rate = 48000.0)
      : Instance(*descriptor(index), rate) {}
#endif
  ~Instance() {
    if (h_) {
      d_->cleanup(h_);
    }
  }
  Instance(Instance &&o) noexcept : d_(o.d_), which_(o.which_), h_(std::exchange(o.h_, nullptr)) {}
  Instance(const Instance &) = delete;
  Instance &operator=(const Instance &) = delete;
  Instance &operator=(Instance &&) = delete;

  void connect(Role role, float *data) { connect_index(index_of(role), data); }
  uint32_t index_of(Role role) const { return host::index_of(which_, role); }
  void connect_index(uint32_t index, float *data) { d_->connect_port(h_, index, data); }
  void run(uint32_t n) { d_->run(h_, n); }
  LV2_Handle handle() const { return h_; }

private:
  const LV2_Descriptor *d_;
  uint32_t which_;
  LV2_Handle h_;
};

// An instance (of the plugin, the model, or anything with connect and run)
// with control values held the way a host holds them. Controls start
// unconnected.
template <class P = Instance> struct Rig {
  P p;
  ByRole<float> ctl = {};

  template <class... Args> explicit Rig(Args &&...args) : p(std::forward<Args>(args)...) {
    for (Role r : control_inputs())
      p.connect(r, nullptr);
  }
  void set(Role port, float v) {
    ctl[port] = v;
    p.connect(port, &ctl[port]);
  }
  void unplug(Role port) { p.connect(port, nullptr); }

  // One block from `in` into `out` (either may be null); with in_place the
  // input is copied into `out` and that one buffer is connected to both ports.
  void block(const float *in, float *out, uint32_t n, bool in_place = false) {
    if (in_place) {
      if (n != 0)
        std::memcpy(out, in, n * sizeof(float)); // an empty block may have no buffer
      p.connect(IN, out);
    } else {
      p.connect(IN, const_cast<float *>(in));
    }
    p.connect(OUT, out);
    p.run(n);
  }

  // The whole signal in blocks of `size` samples.
  std::vector<float> render(const std::vector<float> &in, uint32_t size = 4096) {
    std::vector<float> out(in.size());
    for (size_t i = 0; i < in.size(); i += size) {
      const uint32_t n = (uint32_t)std::min<size_t>(size, in.size() - i);
      block(in.data() + i, out.data() + i, n);
    }
    return out;
  }
};

using Controls = std::vector<std::pair<Role, float>>;

#ifdef QUORVANE_LIB
// The whole signal through a fresh instance of the built plugin `which`
// with fixed controls.
inline std::vector<float> render(const std::vector<float> &in, const Controls &controls,
                                 uint32_t size = 1000, uint32_t which = FIRST) {
  Rig<> r(which);
  for (auto [port, v] : controls)
    r.set(port, v);
  return r.render(in, size);
}

// A plugin of the built library and its model side by side: the same calls
// to both, each with buffers of its own. The plugin must write exactly the
// model's samples, all finite whatever the input, nothing past the block and
// nothing into a separate input.
struct Twin {
  Rig<> plug, model;
  ByRole<bool> plugged = {};
  uint64_t taken = 0; // samples run so far

  explicit Twin(uint32_t which = FIRST, double rate = 48000.0)
      : plug(which, rate), model(*host::model(which), rate) {}

  void set(Role port, float v) {
    plug.set(port, v);
    model.set(port, v);
    plugged[port] = true;
  }
  void unplug(Role port) {
    plug.unplug(port);
    model.unplug(port);
    plugged[port] = false;
  }
  std::string controls() const {
    std::ostringstream s;
    for (Role p : control_inputs()) {
      s << info_of(p).symbol << '=';
      if (plugged[p])
        s << plug.ctl[p] << ' ';
      else
        s << "(none) ";
    }
    return s.str();
  }

  enum Mode { SEPARATE, IN_PLACE, NO_INPUT, NO_OUTPUT };

  // Runs one block on both. Empty when they agree, else the difference.
  std::string block(const float *in, uint32_t n, Mode mode = SEPARATE) {
    constexpr float guard = -12345.0f;
    std::vector<float> in_p(in, in + n), out_p(n + 8, guard), out_m(n, 0.0f);
    const bool in_place = mode == IN_PLACE;
    plug.block(mode == NO_INPUT ? nullptr : in_p.data(), mode == NO_OUTPUT ? nullptr : out_p.data(),
               n, in_place);
    model.block(mode == NO_INPUT ? nullptr : in, mode == NO_OUTPUT ? nullptr : out_m.data(), n,
                in_place);
    const uint64_t start = taken;
    taken += n;
    std::ostringstream s;
    s.precision(9); // enough to tell any two floats apart
    for (uint32_t i = n; i < n + 8; ++i)
      if (out_p[i] != guard)
        return "wrote past the block of " + std::to_string(n);
    if (!in_place && n != 0 && std::memcmp(in_p.data(), in, n * sizeof(float)) != 0)
      return "wrote into the input buffer";
    for (uint32_t i = 0; mode != NO_OUTPUT && i < n; ++i)
      if (std::memcmp(&out_p[i], &out_m[i], sizeof(float)) != 0 ||
          !(std::fabs(out_p[i]) <= 3.4028235e38f)) {
        s << "sample " << start + i << " (index " << i << " of a block of " << n << ", mode "
          << mode << "): plugin " << out_p[i] << " model " << out_m[i] << " input " << in[i] << "; "
          << controls();
        return s.str();
      }
    return "";
  }
};
#endif

} // namespace host
