// Many instances on many threads at once give, sample for sample, what the
// same streams give played one at a time: instances share nothing writable;
// and save() beside run() always stores a hold. Built under
// ThreadSanitizer as well, which reports any data race.
#include <atomic>
#include <chrono>
#include <memory>
#include <stdint.h>
#include <string.h>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

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

// save() while run() goes on in another thread, back to back or at the pace
// of audio (freeze pressed every 50 blocks, so saves land in analyses too),
// or while run() is not called at all, mid-analysis: every save succeeds
// and is a state that restore() takes.
std::vector<unsigned char> saved;
LV2_State_Status store(LV2_State_Handle, uint32_t, const void *v, size_t n, uint32_t, uint32_t) {
  saved.assign(static_cast<const unsigned char *>(v), static_cast<const unsigned char *>(v) + n);
  return LV2_STATE_SUCCESS;
}
const void *retrieve(LV2_State_Handle, uint32_t key, size_t *n, uint32_t *type, uint32_t *) {
  *n = saved.size();
  *type = key + 1; // the chunk type: mapped right after the key
  return saved.data();
}

TEST(RealTimeThreads, SavesBesideRunNeverFail) {
  static uint32_t mapped = 0; // a URID map for two URIs, in the order the plugin maps them
  LV2_URID_Map map{nullptr, [](LV2_URID_Map_Handle, const char *) { return ++mapped; }};
  const LV2_Feature feature{LV2_URID__map, &map}, *const features[] = {&feature, nullptr};
  for (uint32_t which = 1; which < host::plugin_count; ++which) {
    const LV2_Descriptor *d = host::descriptor(which);
    const auto *state =
        static_cast<const LV2_State_Interface *>(d->extension_data(LV2_STATE__interface));
    for (int pace = 0; pace < 3; ++pace) { // back to back, audio's pace, not run
      SCOPED_TRACE(std::string(d->URI) + " pace " + std::to_string(pace));
      mapped = 0;
      LV2_Handle h = d->instantiate(d, 48000.0, "", features);
      mapped = 0;
      LV2_Handle other = d->instantiate(d, 48000.0, "", features);
      float freeze = 0.0f, buf[4][256] = {};
      const Role roles[4] = {Role::IN, Role::OUT, Role::IN_R, Role::OUT_R};
      for (uint32_t p = 0; p < 4; ++p)
        d->connect_port(h, host::index_of(which, roles[p]), buf[p]);
      d->connect_port(h, host::index_of(which, Role::FREEZE), &freeze);
      std::atomic<bool> stop{false};
      auto play = [&](int blocks) {
        for (int b = 0; blocks < 0 ? !stop.load() : b < blocks; ++b) {
          for (int i = 0; i < 256; ++i)
            buf[0][i] = buf[2][i] = 0.3f * sinf(0.0577f * static_cast<float>(b * 256 + i));
          freeze = b % 50 < 40 ? 1.0f : 0.0f;
          d->run(h, 256);
          if (pace == 1)
            std::this_thread::sleep_for(std::chrono::microseconds(5333));
        }
      };
      play(53); // the last press three blocks ago: the analysis under way
      std::thread runner(play, pace == 2 ? 0 : -1);
      int failures = 0, held = 0;
      for (int n = 0; n < 200; ++n) {
        failures += state->save(h, store, nullptr, 0, nullptr) != LV2_STATE_SUCCESS ||
                    state->restore(other, retrieve, nullptr, 0, nullptr) != LV2_STATE_SUCCESS;
        held += saved.size() > 12 && saved[12] == 1; // the header's frozen word
      }
      stop = true;
      runner.join();
      EXPECT_EQ(failures, 0);
      EXPECT_TRUE(pace != 2 || held == 200) << "a save mid-analysis holds what it makes";
      d->cleanup(h);
      d->cleanup(other);
    }
  }
}

} // namespace
