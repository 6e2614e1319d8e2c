// Diagnostics: failures, warnings, the progress line and signals.

#include "diag.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

volatile sig_atomic_t interrupted = 0;
bool closed_at_start[3] = {false, false, false};

namespace {

bool progress_line_open = false; // a message must then start on a new line

void on_signal(int) { interrupted = 1; }

// The signals of a crash, when another process sends them (kill -SEGV), are
// an interrupt like any other; raised by a fault, the default action is put
// back and the faulting instruction, run again, ends the renderer.
void on_crash_signal(int sig, siginfo_t *info, void *) {
  if (info->si_code <= 0) {
    interrupted = 1;
  } else {
    signal(sig, SIG_DFL);
  }
}

} // namespace

void fail(int status, const char *fmt, ...) {
  // As long as it needs: a long path must not push the reason off the end.
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  // clang-tidy 14 loses track of va_start here; the list is initialised.
  const int n = vsnprintf(nullptr, 0, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(ap);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  vsnprintf(text.data(), text.size() + 1, fmt,
            again); // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(again);
  throw Failure{status, text};
}

void warn(const char *fmt, ...) {
  end_progress();
  va_list ap;
  va_start(ap, fmt);
  fputs("quorvane-render: ", stderr);
  vfprintf(stderr, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
  fputc('\n', stderr);
  va_end(ap);
}

void show_progress(const char *text) {
  fprintf(stderr, "\rquorvane-render: %s", text);
  progress_line_open = true;
}

void end_progress() {
  if (progress_line_open) {
    fputc('\n', stderr);
    progress_line_open = false;
  }
}

void reserve_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      closed_at_start[fd] = true;
      const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
      }
    }
  }
}

void print_out(const std::string &text) {
  errno = 0;
  if (closed_at_start[1] || fputs(text.c_str(), stdout) < 0 || fflush(stdout) != 0 ||
      ferror(stdout)) {
    fail(exit_failure, "cannot write standard output: %s",
         closed_at_start[1] ? "it is closed" : strerror(errno ? errno : EIO));
  }
}

// No SA_RESTART: a blocking open or read (a FIFO waiting for its other end)
// returns EINTR, so an interrupt is seen wherever the renderer waits. A
// signal that was ignored when the renderer started stays ignored. Every
// signal that would end the renderer on the spot is caught, so that it
// always gets to remove its temporary file and say why it stopped.
void watch_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  auto watch = [&sa](int sig) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      sigaction(sig, &sa, nullptr);
    }
  };
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                        SIGPROF, SIGXCPU, SIGIO, SIGPWR, SIGSTKFLT, SIGTRAP, SIGSYS}) {
    watch(sig);
  }
  // The real-time signals end a program by default too; those the C
  // library keeps for itself lie below SIGRTMIN.
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
    watch(sig);
  }
  sa.sa_flags = SA_SIGINFO;
  sa.sa_sigaction = on_crash_signal;
  for (const int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
    watch(sig);
  }
  // Past the file-size limit a write then fails with EFBIG, which is
  // reported, instead of the signal killing the renderer without a word.
  signal(SIGXFSZ, SIG_IGN);
  // A reader that quits (| head) makes a write fail with EPIPE: into the
  // output, a failure that is reported; into stderr, a message lost while
  // the render goes on.
  signal(SIGPIPE, SIG_IGN);
}

void stop_if_interrupted(const std::string &what) {
  if (interrupted) {
    fail(exit_interrupted, "interrupted; %s", what.c_str());
  }
}

QuietStderr::QuietStderr() {
  fflush(stderr);
  const char *tmpdir = getenv("TMPDIR");
  kept_ = open(tmpdir && *tmpdir ? tmpdir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (kept_ < 0) {
    kept_ = open("/dev/null", O_WRONLY | O_CLOEXEC);
  }
  saved_ = kept_ < 0 ? -1 : fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved_ >= 0) {
    dup2(kept_, STDERR_FILENO);
  }
}

QuietStderr::~QuietStderr() { text(); }

std::string QuietStderr::text() {
  std::string kept;
  if (saved_ < 0) {
    return kept;
  }
  fflush(stderr);
  dup2(saved_, STDERR_FILENO);
  close(saved_);
  saved_ = -1;
  char buf[4096];
  for (ssize_t n; (n = pread(kept_, buf, sizeof buf, static_cast<off_t>(kept.size()))) > 0;) {
    kept.append(buf, static_cast<size_t>(n));
  }
  close(kept_);
  kept_ = -1;
  return kept;
}

std::string size_text(double bytes) {
  char buf[32];
  if (bytes >= 1024.0 * 1024 * 1024) {
    snprintf(buf, sizeof buf, "%.2f GiB", bytes / (1024.0 * 1024 * 1024));
  } else {
    snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024));
  }
  return buf;
}

std::string directory_of(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}
