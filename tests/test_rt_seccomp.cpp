// Proof that run() makes no system call: a forked child sets everything up,
// then enters seccomp strict mode, where any system call but read, write and
// exit kills it with SIGKILL, and plays long automated streams. It reports
// through write(2) and leaves through the raw exit system call (exit_group,
// which exit() uses, is not allowed either).
#include <linux/seccomp.h>
#include <memory>
#include <stdint.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/rt_plugin.hpp"

namespace {

constexpr int instances = 3;
constexpr uint32_t length = 48000 * 15; // 15 s per instance

// FNV-1a over the output bits: the child sends this back so that the parent
// can tell that the confined run did the real work, sample for sample.
uint64_t digest(const float *x, uint32_t n, uint64_t h = 1469598103934665603ull) {
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t bits;
    memcpy(&bits, &x[i], sizeof bits);
    h = (h ^ bits) * 1099511628211ull;
  }
  return h;
}

// Instances of one plugin, the second in place, each with its stream.
struct Players {
  std::unique_ptr<rt::Player> p[instances];
  float *result = static_cast<float *>(calloc(length, sizeof(float)));

  explicit Players(uint32_t which) {
    for (int i = 0; i < instances; ++i) {
      p[i] = std::make_unique<rt::Player>(which, i == 1);
    }
  }
  ~Players() { free(result); }
  Players(const Players &) = delete;
  Players &operator=(const Players &) = delete;
  // Everything here is computation on memory that exists already.
  uint64_t play(rt::Stream *const *streams, bool *finite) {
    uint64_t h_all = 1469598103934665603ull;
    *finite = true;
    for (int i = 0; i < instances; ++i) {
      p[i]->play(*streams[i], result);
      *finite = *finite && rt::all_finite(result, length);
      h_all = digest(result, length, h_all);
    }
    return h_all;
  }
};

class RealTimeSeccomp : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RealTimeSeccomp, RunMakesNoSystemCall) {
  std::unique_ptr<rt::Stream> owned[instances];
  rt::Stream *streams[instances];
  for (int i = 0; i < instances; ++i) {
    owned[i] = std::make_unique<rt::Stream>(7 + i, length, i != 0);
    streams[i] = owned[i].get();
  }

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    Players players(GetParam()); // instantiate and connect before confinement
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) {
      _exit(3);
    }
    bool finite = false;
    struct {
      uint64_t digest;
      uint8_t finite;
    } report{};
    report.digest = players.play(streams, &finite);
    report.finite = finite ? 1 : 0;
    if (write(fds[1], &report, sizeof report) != static_cast<ssize_t>(sizeof report)) {
      syscall(SYS_exit, 4);
    }
    syscall(SYS_exit, 0);
  }
  close(fds[1]);

  // The same streams, unconfined, for comparison.
  Players players(GetParam());
  bool finite = false;
  const uint64_t expected = players.play(streams, &finite);
  EXPECT_TRUE(finite);

  struct {
    uint64_t digest;
    uint8_t finite;
  } report{};
  const ssize_t got = read(fds[0], &report, sizeof report);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_FALSE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
      << "the confined child made a forbidden system call";
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof report));
  EXPECT_EQ(report.finite, 1);
  EXPECT_EQ(report.digest, expected);
}

INSTANTIATE_TEST_SUITE_P(Plugins, RealTimeSeccomp, ::testing::Range(0u, host::plugin_count));

} // namespace
