// Diagnostics: failures, warnings, the progress line and signals.

#include "diag.hpp"

#include <stdarg.h>
#include <stdio.h>

volatile sig_atomic_t interrupted = 0;

namespace {

bool progress_line_open = false; // a message must then start on a new line

void on_signal(int) { interrupted = 1; }

} // namespace

void fail(int status, const char *fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  // clang-tidy 14 loses track of va_start here; the list is initialised.
  vsnprintf(buf, sizeof buf, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(ap);
  throw Failure{status, buf};
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

// No SA_RESTART: a blocking open or read (a FIFO waiting for its other end)
// returns EINTR, so an interrupt is seen wherever the renderer waits. A
// signal that was ignored when the renderer started stays ignored.
void watch_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      sigaction(sig, &sa, nullptr);
    }
  }
  // Past the file-size limit a write then fails with EFBIG, which is
  // reported, instead of the signal killing the renderer without a word.
  signal(SIGXFSZ, SIG_IGN);
}

void stop_if_interrupted(const std::string &what) {
  if (interrupted) {
    fail(exit_interrupted, "interrupted; %s", what.c_str());
  }
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
