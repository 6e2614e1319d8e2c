// A minimal LV2 host for the tests: loads the built library the way a host
// does (dlopen, then lv2_descriptor) and drives instances through the
// descriptor's callbacks. Rig<> wraps either a hosted instance or the
// reference model behind the same calls, so one driver can feed both.
#pragma once

#include <dlfcn.h>
#include <lv2/core/lv2.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace host {

enum Port : uint32_t { IN = 0, OUT, FREEZE, MIX, BLUR, SHIFT, THRESHOLD, LATENCY };

// The library's plugins: the first, and the aligned one (delayed dry signal,
// reported latency).
enum Which : uint32_t { FIRST = 0, ALIGNED = 1, COHERENT = 2, COHERENT_ALIGNED = 3 };

inline LV2_Descriptor_Function entry_point() {
  static void *lib = dlopen(QUORVANE_LIB, RTLD_NOW | RTLD_LOCAL);
  if (!lib)
    throw std::runtime_error(std::string("dlopen: ") + dlerror());
  auto fn = reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib, "lv2_descriptor"));
  if (!fn)
    throw std::runtime_error("lv2_descriptor not exported");
  return fn;
}

inline const LV2_Descriptor *descriptor(uint32_t index = FIRST) { return entry_point()(index); }

// One plugin instance created and destroyed through the descriptor.
class Instance {
public:
  explicit Instance(uint32_t index = FIRST) : d_(descriptor(index)) {
    if (!d_)
      throw std::runtime_error("no descriptor " + std::to_string(index));
    static const LV2_Feature *const no_features[] = {nullptr};
    h_ = d_->instantiate(d_, 48000.0, QUORVANE_BUNDLE_DIR, no_features);
    if (!h_)
      throw std::runtime_error("instantiate failed");
  }
  ~Instance() { d_->cleanup(h_); }
  Instance(const Instance &) = delete;
  Instance &operator=(const Instance &) = delete;

  void connect(uint32_t port, float *data) { d_->connect_port(h_, port, data); }
  void run(uint32_t n) { d_->run(h_, n); }
  LV2_Handle handle() const { return h_; }

private:
  const LV2_Descriptor *d_;
  LV2_Handle h_;
};

// An instance (hosted plugin or reference model) with control values held
// the way a host holds them. Controls start unconnected.
template <class P> struct Rig {
  P p;
  float ctl[7] = {};

  template <class... Args> explicit Rig(Args... args) : p(args...) {
    for (uint32_t port = FREEZE; port <= THRESHOLD; ++port)
      p.connect(port, nullptr);
  }
  void set(uint32_t port, float v) {
    ctl[port] = v;
    p.connect(port, &ctl[port]);
  }
  void unplug(uint32_t port) { p.connect(port, nullptr); }

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

using Controls = std::vector<std::pair<uint32_t, float>>;

// The whole signal through a fresh hosted instance with fixed controls.
inline std::vector<float> render(const std::vector<float> &in, const Controls &controls,
                                 uint32_t size = 1000) {
  Rig<Instance> r;
  for (auto [port, v] : controls)
    r.set(port, v);
  return r.render(in, size);
}

} // namespace host
