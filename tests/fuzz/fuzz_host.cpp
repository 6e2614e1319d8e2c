// libFuzzer target: the input bytes are a host's life. Up to four instances
// of any of the library's plugins are created and destroyed, any port (the
// tests' numbers: a stereo plugin's right channel too; raw indices past 7)
// is connected to null or to any
// of four shared 8192-sample buffers or (ports other than audio) eight
// single-float cells, so that input, output and controls may alias each
// other; control values come from raw float bits, buffers are filled with raw
// float bits, tones of any amplitude or the largest floats, and run() is
// called with block sizes 0 to 8192.
//
// The same life is played twice, through host::Instance: on the plugin (its
// source compiled into this executable, so that coverage guides the fuzzer
// through it) and on the model of the test suite, each on its own copy of the
// buffers (and a third time on the library as built by the normal build,
// when QUORVANE_FUZZ_LIBRARY names it). After every run the copies must be
// identical, bit for bit, and everything the plugin wrote to its output
// finite.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <optional>

#include <lv2/core/lv2.h>

#include "tests/host.hpp"

namespace {

constexpr uint32_t buffer_len = 8192;
constexpr int buffer_count = 4;
constexpr int cell_count = 8; // single floats, for control ports only
constexpr size_t pool_len = buffer_count * buffer_len + cell_count;
constexpr int slots = 4;
constexpr uint32_t sample_budget = 1u << 13; // per input, to keep executions fast

// Reads the input front to back; past the end every read gives zero.
struct Bytes {
  const uint8_t *p;
  size_t left;
  uint8_t u8() {
    if (!left) {
      return 0;
    }
    --left;
    return *p++;
  }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t u32() { return u16() | (static_cast<uint32_t>(u16()) << 16); }
  float f32() {
    const uint32_t bits = u32();
    float v;
    memcpy(&v, &bits, sizeof v);
    return v;
  }
};

// The library as the normal build makes it, when QUORVANE_FUZZ_LIBRARY names
// it. On x86-64 GCC builds the transforms a second time for AVX and picks one
// at load time, which clang (this build) does not, so this is how the fuzzed
// lives reach the code that ships. It is not instrumented: coverage and
// sanitizers watch the compiled-in copy.
LV2_Descriptor_Function shipped_library = nullptr;

// One side of the life: its plugins' instances in the slots, and its own
// buffer pool.
struct World {
  const LV2_Descriptor *(*plugin)(uint32_t); // by lv2_descriptor index
  std::optional<host::Instance> slot[slots];
  int out_buffer[slots] = {-1, -1, -1, -1}; // target connected to port 1, or -1
  float *pool = static_cast<float *>(calloc(pool_len, sizeof(float))); // buffers, then cells

  explicit World(const LV2_Descriptor *(*of)(uint32_t)) : plugin(of) {}
  ~World() {
    for (auto &s : slot) {
      s.reset(); // before the pool they may write to
    }
    free(pool);
  }
  // Targets: -1 is null, 0 to 3 the audio buffers, 4 and up the cells.
  float *buffer(int b) {
    if (b < 0) {
      return nullptr;
    }
    if (b < buffer_count) {
      return pool + static_cast<size_t>(b) * buffer_len;
    }
    return pool + static_cast<size_t>(buffer_count) * buffer_len + (b - buffer_count);
  }

  void create(int s, uint32_t which) {
    if (!slot[s]) {
      slot[s].emplace(*plugin(which % host::plugin_count));
      out_buffer[s] = -1;
    }
  }
  void destroy(int s) { slot[s].reset(); }
  void connect(int s, Role port, int b) {
    if (slot[s]) {
      slot[s]->connect(port, buffer(b));
      if (slot[s]->index_of(port) == slot[s]->index_of(Role::OUT)) {
        out_buffer[s] = b;
      }
    }
  }
  void connect_index(int s, uint32_t index, int b) {
    if (slot[s]) {
      slot[s]->connect_index(index, buffer(b));
      if (index == slot[s]->index_of(Role::OUT)) {
        out_buffer[s] = b;
      }
    }
  }
  void run(int s, uint32_t n) {
    if (slot[s]) {
      slot[s]->run(n);
    }
  }
};

struct Worlds {
  World plug{lv2_descriptor};
  World ref{host::model};
  World shipped{[](uint32_t i) { return shipped_library(i); }}; // used only when loaded
};

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz invariant broken: %s\n", what);
  abort();
}

template <class F> void each(Worlds &t, F &&f) {
  f(t.plug);
  f(t.ref);
  if (shipped_library) {
    f(t.shipped);
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *shipped = getenv("QUORVANE_FUZZ_LIBRARY");
  if (shipped && *shipped) { // asked for and missing: a broken setup, not a pass
    shipped_library = host::open_library(shipped);
    for (uint32_t i = 0; i < host::plugin_count; ++i) {
      if (!shipped_library(i)) {
        fail("the shipped library lacks a plugin");
      }
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Bytes in{data, size};
  Worlds sides;
  if (!sides.plug.pool || !sides.ref.pool || !sides.shipped.pool) {
    fail("out of memory");
  }
  uint32_t budget = sample_budget;

  while (in.left && budget) {
    const uint8_t op = in.u8() % 8;
    switch (op) {
    case 0: { // instantiate into a free slot
      const int s = in.u8() % slots;
      const uint32_t which = in.u8();
      each(sides, [&](auto &w) { w.create(s, which); });
      if (!sides.plug.slot[s] != !sides.ref.slot[s]) {
        fail("instantiation differs");
      }
      break;
    }
    case 1: { // cleanup
      const int s = in.u8() % slots;
      each(sides, [&](auto &w) { w.destroy(s); });
      break;
    }
    case 2: { // connect a port, by its role or by any index, to any buffer or null
      const int s = in.u8() % slots;
      const uint8_t pb = in.u8();
      if (pb >= 0xF0) {
        // Any index: an audio buffer (whole blocks, whatever port it is) or null.
        const uint32_t index = in.u32();
        const int b = in.u8() % (buffer_count + 1) - 1;
        each(sides, [&](auto &w) { w.connect_index(s, index, b); });
        break;
      }
      // Audio ports get an audio buffer (a host must give them a whole
      // block) or null; every other port any target at all.
      const Role port = static_cast<Role>(pb % role_count);
      const PortKind kind = info_of(port).kind;
      const bool audio = kind == PortKind::AUDIO_IN || kind == PortKind::AUDIO_OUT;
      const uint8_t tb = in.u8();
      const int b = audio ? tb % (buffer_count + 1) - 1 : tb % (buffer_count + cell_count + 1) - 1;
      each(sides, [&](auto &w) { w.connect(s, port, b); });
      break;
    }
    case 3: { // a control value from raw bits, in a cell or a buffer's head
      const int b = in.u8() % (buffer_count + cell_count);
      const float v = in.f32();
      each(sides, [&](auto &w) { w.buffer(b)[0] = v; });
      break;
    }
    case 4: { // raw float bits, tiled over a whole buffer
      const int b = in.u8() % buffer_count;
      float tile[16];
      const int n = 1 + in.u8() % 16;
      for (int i = 0; i < n; ++i) {
        tile[i] = in.f32();
      }
      each(sides, [&](auto &w) {
        for (uint32_t i = 0; i < buffer_len; ++i) {
          w.buffer(b)[i] = tile[i % n];
        }
      });
      break;
    }
    case 5: { // a tone of any amplitude, finite ones up to the largest float
      const int b = in.u8() % buffer_count;
      const float amp = in.f32();
      const float step = static_cast<float>(in.u8()) * 0.01f;
      each(sides, [&](auto &w) {
        for (uint32_t i = 0; i < buffer_len; ++i) {
          w.buffer(b)[i] = amp * sinf(static_cast<float>(i) * step);
        }
      });
      break;
    }
    case 6: { // a few samples at the largest finite magnitude
      const int b = in.u8() % buffer_count;
      const int n = 1 + in.u8() % 8;
      for (int k = 0; k < n; ++k) {
        const uint16_t at = in.u16();
        const float v = at & 0x8000 ? -3.4028235e38f : 3.4028235e38f;
        each(sides, [&](auto &w) { w.buffer(b)[at % buffer_len] = v; });
      }
      break;
    }
    default: { // run
      const int s = in.u8() % slots;
      uint32_t n = in.u16() % (buffer_len + 1);
      n = n < budget ? n : budget;
      if (!sides.plug.slot[s]) {
        break;
      }
      budget -= n ? n : 1;
      each(sides, [&](auto &w) { w.run(s, n); });
      const float *out = sides.plug.buffer(sides.plug.out_buffer[s]);
      if (out) {
        for (uint32_t i = 0; i < n; ++i) {
          if (!(fabsf(out[i]) <= 3.4028235e38f)) {
            fail("non-finite output");
          }
        }
      }
      // Bit for bit, NaN payloads included: NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
      if (memcmp(sides.plug.pool, sides.ref.pool, pool_len * sizeof(float)) != 0) {
        fail("plugin and reference differ");
      }
      if (shipped_library &&
          // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
          memcmp(sides.plug.pool, sides.shipped.pool, pool_len * sizeof(float)) != 0) {
        fail("the shipped library and the compiled-in plugin differ");
      }
      break;
    }
    }
  }
  return 0;
}
