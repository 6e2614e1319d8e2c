// Counts every allocation the plugin makes. This executable defines the
// allocator itself (malloc and friends on top of glibc's __libc_* entry
// points, operator new/delete on top of those), so the library loaded by
// dlopen() binds to these definitions, as it would to any host's.
#include <errno.h>
#include <memory>
#include <new>
#include <stdint.h>
#include <stdlib.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/rt_plugin.hpp"

// glibc's own allocator entry points, under its own (reserved) names.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}
// NOLINTEND(bugprone-reserved-identifier)

namespace {
bool counting = false;
unsigned long allocations = 0;
unsigned long releases = 0;
void note_alloc() { allocations += counting; }
void note_free(void *p) { releases += counting && p; }
} // namespace

extern "C" {
void *malloc(size_t n) {
  note_alloc();
  return __libc_malloc(n);
}
void *calloc(size_t n, size_t m) {
  note_alloc();
  return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n) {
  note_alloc();
  return __libc_realloc(p, n);
}
void free(void *p) {
  note_free(p);
  __libc_free(p);
}
void *aligned_alloc(size_t a, size_t n) {
  note_alloc();
  return __libc_memalign(a, n);
}
void *memalign(size_t a, size_t n) {
  note_alloc();
  return __libc_memalign(a, n);
}
int posix_memalign(void **p, size_t a, size_t n) {
  note_alloc();
  *p = __libc_memalign(a, n);
  return *p ? 0 : ENOMEM;
}
}

void *operator new(size_t n) {
  note_alloc();
  if (void *p = __libc_malloc(n ? n : 1)) {
    return p;
  }
  throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept {
  note_alloc();
  return __libc_malloc(n ? n : 1);
}
void *operator new[](size_t n, const std::nothrow_t &t) noexcept { return operator new(n, t); }
void operator delete(void *p) noexcept {
  note_free(p);
  __libc_free(p);
}
void operator delete[](void *p) noexcept { operator delete(p); }
void operator delete(void *p, size_t) noexcept { operator delete(p); }
void operator delete[](void *p, size_t) noexcept { operator delete(p); }

namespace {

struct Counted {
  unsigned long allocations;
  unsigned long releases;
};
template <class F> Counted count(F &&f) {
  allocations = releases = 0;
  counting = true;
  f();
  counting = false;
  return {allocations, releases};
}

// Exactly one allocation per instance and one release at cleanup. This also
// proves that the counters see the library's calls at all.
TEST(RealTimeAlloc, OneAllocationPerInstance) {
  for (uint32_t i = 0; i < host::plugin_count; ++i) {
    const LV2_Descriptor *d = host::descriptor(i);
    LV2_Handle h = nullptr;
    Counted c = count([&] { h = d->instantiate(d, 48000.0, "/nowhere", nullptr); });
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(c.allocations, 1u);
    EXPECT_EQ(c.releases, 0u);
    c = count([&] { d->cleanup(h); });
    EXPECT_EQ(c.allocations, 0u);
    EXPECT_EQ(c.releases, 1u);
  }
}

// Long streams with every control moving, huge and non-finite samples, block
// sizes from 0 to 4096, ports reconnected, in place and not, two instances
// of each plugin, interleaved, a window listening to those that have one:
// run() never touches the allocator.
TEST(RealTimeAlloc, RunNeverAllocates) {
  constexpr uint32_t n = 2 * host::plugin_count;
  const uint32_t length = 48000 * 6;
  std::unique_ptr<rt::Player> player[n];
  std::unique_ptr<rt::Stream> streams[n];
  std::vector<float> result[n];
  for (uint32_t i = 0; i < n; ++i) {
    player[i] = std::make_unique<rt::Player>(i % host::plugin_count, i % 2 != 0); // odd: in place
    streams[i] = std::make_unique<rt::Stream>(100 + i, length, i >= host::plugin_count);
    result[i].resize(length);
  }
  const Counted c = count([&] {
    for (uint32_t i = 0; i < n; ++i) {
      player[i]->play(*streams[i], result[i].data());
    }
    // Instances with nothing connected run too.
    for (uint32_t i = 0; i < n; ++i) {
      for (uint32_t p = 0; p < max_ports; ++p) {
        player[i]->inst.connect_index(p, nullptr);
      }
      for (int k = 0; k < 25; ++k) {
        player[i]->inst.run(8192);
      }
    }
  });
  EXPECT_EQ(c.allocations, 0u);
  EXPECT_EQ(c.releases, 0u);
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_TRUE(rt::all_finite(result[i].data(), length)) << "stream " << i;
    EXPECT_EQ(player[i]->sent > 10, plugin_table[i % host::plugin_count].ui) << "stream " << i;
  }
  EXPECT_GT(rt::strip_marks, 100);
}

} // namespace
