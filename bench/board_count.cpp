// Instructions per hop on the boards, counted under qemu-user (see
// scripts/bench-boards.sh and bench/qcount.c): every plugin of a built
// library, and the plain model of the frame (tests/reference.hpp, compiled
// into this program with the same flags as the library), fed the same
// stream side by side in three states. Each span to count is marked with a
// system call that the counting plugin sees (natively, or under qemu
// without it, the call fails with ENOSYS and nothing is counted).
//
// The plugins are found the way a host finds them: lv2_descriptor(0, 1, ...)
// until it returns null, and each one's port indices by their symbols in
// the bundle's Turtle, through lilv. The model stands beside a plugin with
// the mono ports (in, out, freeze, mix, blur, shift, threshold); it is the
// coherent model when the URI says "coherent" and the aligned one when the
// plugin has a latency port.
//
// Usage: board_count LIBRARY BUNDLE_DIR MAPS_OUT [OUTPUT_OUT]
// Prints one line per counted segment ("segment ID PLUGIN_URI STATE WHO")
// and whether each plugin's output equals its model's, bit for bit, over
// the warm-up and the counted hops; MAPS_OUT receives /proc/self/maps, to
// tell which object each counted address belongs to. OUTPUT_OUT, when
// given, receives every plugin's output in every state, in that order, as
// raw 32-bit floats: to compare the targets' C libraries with each other.

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/core/lv2.h>

#include "tests/reference.hpp"

namespace {

constexpr uint32_t hop = 256;
constexpr unsigned warm_hops = 40;     // not counted; the freeze goes on in them
constexpr unsigned freeze_at = 20;     // hop of the warm-up where a frozen state freezes
constexpr unsigned counted_hops = 200; // counted
constexpr long marker = 7919;

void mark(long what, long segment) { syscall(marker, what, segment); }

// The controls of a state, by symbol.
struct State {
  const char *name;
  float freeze, mix, blur, shift, threshold;
};
const State states[] = {
    {"live-neutral", 0.0f, 1.0f, 0.0f, 0.0f, 0.0f},
    {"busy", 0.0f, 0.5f, 0.5f, 0.1f, 0.05f},
    {"frozen", 1.0f, 1.0f, 0.0f, 0.0f, 0.0f},
};

// White noise (a fixed linear congruential generator) plus a sawtooth of
// period 109.7 samples (about 438 Hz at 48 kHz), peak about 0.6.
std::vector<float> stream(size_t n) {
  std::vector<float> x(n);
  uint32_t seed = 12345;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const float noise = static_cast<float>(seed >> 8) * (1.0f / 16777216.0f) - 0.5f;
    const double phase = static_cast<double>(i) / 109.7;
    const auto saw = static_cast<float>(phase - static_cast<double>(static_cast<long>(phase)));
    x[i] = 0.3f * noise + 0.6f * (saw - 0.5f);
  }
  return x;
}

// The symbols of the mono plugins, in the model's port order.
const char *const mono_symbols[] = {"in",   "out",   "freeze",    "mix",
                                    "blur", "shift", "threshold", "latency"};
constexpr unsigned n_symbols = 8;
constexpr int absent = -1;

// One side of a comparison: an instance behind a descriptor, or the model.
struct Side {
  virtual ~Side() = default;
  virtual void connect(unsigned symbol, float *data) = 0;
  virtual void run(uint32_t n) = 0;
};

struct Hosted : Side {
  const LV2_Descriptor *d;
  LV2_Handle h;
  int port[n_symbols];
  Hosted(const LV2_Descriptor *desc, const int *ports) : d(desc) {
    static const LV2_Feature *const none[] = {nullptr};
    h = d->instantiate(d, 48000.0, "", none);
    if (!h) {
      fprintf(stderr, "%s: instantiate failed\n", d->URI);
      exit(2);
    }
    memcpy(port, ports, sizeof port);
  }
  ~Hosted() override { d->cleanup(h); }
  Hosted(const Hosted &) = delete;
  Hosted &operator=(const Hosted &) = delete;
  void connect(unsigned symbol, float *data) override {
    if (port[symbol] != absent) {
      d->connect_port(h, static_cast<uint32_t>(port[symbol]), data);
    }
  }
  void run(uint32_t n) override { d->run(h, n); }
};

struct Model : Side {
  ref::Plugin p;
  Model(bool aligned, bool coherent) : p(aligned, coherent) {}
  void connect(unsigned symbol, float *data) override { p.connect(symbol, data); }
  void run(uint32_t n) override { p.run(n); }
};

// Controls and buffers of one side, connected once; the input moves.
struct Rig {
  std::unique_ptr<Side> side;
  float ctl[n_symbols] = {};
  std::vector<float> out;
  Rig(std::unique_ptr<Side> s, const State &st, size_t n) : side(std::move(s)), out(n) {
    ctl[3] = st.mix;
    ctl[4] = st.blur;
    ctl[5] = st.shift;
    ctl[6] = st.threshold;
    for (unsigned c = 2; c < n_symbols; ++c) {
      side->connect(c, &ctl[c]);
    }
  }
  void hops(const State &st, const std::vector<float> &x, unsigned from, unsigned to) {
    for (unsigned h = from; h < to; ++h) {
      ctl[2] = h >= freeze_at ? st.freeze : 0.0f;
      side->connect(0, const_cast<float *>(x.data() + size_t{h} * hop));
      side->connect(1, out.data() + size_t{h} * hop);
      side->run(hop);
    }
  }
};

// Port indices of the plugin `uri` by symbol (absent where it has none).
bool find_ports(LilvWorld *world, const char *uri, int *port) {
  LilvNode *u = lilv_new_uri(world, uri);
  const LilvPlugin *p = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), u);
  lilv_node_free(u);
  if (!p) {
    return false;
  }
  for (unsigned s = 0; s < n_symbols; ++s) {
    LilvNode *sym = lilv_new_string(world, mono_symbols[s]);
    const LilvPort *q = lilv_plugin_get_port_by_symbol(p, sym);
    lilv_node_free(sym);
    port[s] = q ? static_cast<int>(lilv_port_get_index(p, q)) : absent;
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4 && argc != 5) {
    fprintf(stderr, "usage: %s LIBRARY BUNDLE_DIR MAPS_OUT [OUTPUT_OUT]\n", argv[0]);
    return 2;
  }
  void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  const auto entry =
      lib ? reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib, "lv2_descriptor")) : nullptr;
  if (!entry) {
    fprintf(stderr, "cannot load %s: %s\n", argv[1], lib ? "no lv2_descriptor" : dlerror());
    return 2;
  }
  LilvWorld *world = lilv_world_new();
  std::string bundle = argv[2];
  if (bundle.empty() || bundle.back() != '/') {
    bundle += '/';
  }
  LilvNode *bundle_uri = lilv_new_file_uri(world, nullptr, bundle.c_str());
  lilv_world_load_bundle(world, bundle_uri);
  lilv_node_free(bundle_uri);

  const std::vector<float> x = stream(size_t{hop} * (warm_hops + counted_hops));
  long segment = 0;
  int failures = 0;
  std::ofstream outputs;
  if (argc == 5) {
    outputs.open(argv[4], std::ios::binary);
  }
  for (uint32_t index = 0; const LV2_Descriptor *d = entry(index); ++index) {
    int port[n_symbols];
    if (!find_ports(world, d->URI, port)) {
      fprintf(stderr, "%s: not described in %s\n", d->URI, argv[2]);
      return 2;
    }
    bool mono = true;
    for (unsigned s = 0; s < 7; ++s) {
      mono = mono && port[s] != absent;
    }
    const bool coherent = strstr(d->URI, "coherent") != nullptr;
    for (const State &st : states) {
      Rig plugin(std::make_unique<Hosted>(d, port), st, x.size());
      std::unique_ptr<Rig> model;
      if (mono) {
        model = std::make_unique<Rig>(std::make_unique<Model>(port[7] != absent, coherent), st,
                                      x.size());
      }
      plugin.hops(st, x, 0, warm_hops);
      if (model) {
        model->hops(st, x, 0, warm_hops);
      }
      printf("segment %ld %s %s plugin\n", segment, d->URI, st.name);
      mark(1, segment);
      plugin.hops(st, x, warm_hops, warm_hops + counted_hops);
      mark(2, segment);
      ++segment;
      if (outputs.is_open()) {
        outputs.write(reinterpret_cast<const char *>(plugin.out.data()),
                      static_cast<std::streamsize>(plugin.out.size() * sizeof(float)));
      }
      if (model) {
        printf("segment %ld %s %s model\n", segment, d->URI, st.name);
        mark(1, segment);
        model->hops(st, x, warm_hops, warm_hops + counted_hops);
        mark(2, segment);
        ++segment;
        const bool same =
            memcmp(plugin.out.data(), model->out.data(), x.size() * sizeof(float)) == 0;
        printf("exact %s %s %s\n", d->URI, st.name, same ? "yes" : "NO");
        failures += same ? 0 : 1;
      } else {
        printf("exact %s %s no-model\n", d->URI, st.name);
      }
    }
  }
  printf("hops %u warm %u\n", counted_hops, warm_hops);
  fflush(stdout);

  std::ifstream maps("/proc/self/maps");
  std::ofstream copy(argv[3]);
  copy << maps.rdbuf();
  lilv_world_free(world);
  return failures == 0 ? 0 : 1;
}
