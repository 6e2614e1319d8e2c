// Many instances on many threads at once give, sample for sample, what the
// same streams give played one at a time: instances share nothing writable.
// Built under ThreadSanitizer as well, which reports any data race.
#include <memory>
#include <stdint.h>
#include <string.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/rt_plugin.hpp"

namespace {

constexpr uint32_t length = 48000 * 2;

// One instance playing one stream from creation to cleanup.
void life(uint32_t which, const rt::Stream *s, bool in_place, float *result) {
  rt::Player(which, in_place).play(*s, result);
}

TEST(RealTimeThreads, ConcurrentInstancesMatchSequential) {
  const int total = 12; // one thread per instance, all alive at once, three of each plugin
  auto which = [](int i) { return static_cast<uint32_t>(i) % host::plugin_count; };
  std::vector<std::unique_ptr<rt::Stream>> streams;
  streams.reserve(total);
  for (int i = 0; i < total; ++i) {
    streams.push_back(std::make_unique<rt::Stream>(1000 + i, length, i % 3 == 0));
  }
  std::vector<std::vector<float>> alone(total, std::vector<float>(length));
  std::vector<std::vector<float>> together(total, std::vector<float>(length, -1.0f));
  for (int i = 0; i < total; ++i) {
    life(which(i), streams[i].get(), i % 3 == 1, alone[i].data());
  }

  std::vector<std::thread> pool;
  pool.reserve(total);
  for (int i = 0; i < total; ++i) {
    pool.emplace_back(life, which(i), streams[i].get(), i % 3 == 1, together[i].data());
  }
  for (auto &th : pool) {
    th.join();
  }
  for (int i = 0; i < total; ++i) {
    // Bit for bit is the point: NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
    EXPECT_EQ(memcmp(alone[i].data(), together[i].data(), length * sizeof(float)), 0)
        << "stream " << i << " differs when run concurrently";
    EXPECT_TRUE(rt::all_finite(together[i].data(), length));
  }
}

} // namespace
