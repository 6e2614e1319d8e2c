// Diagnostics: how the renderer fails, warns, shows progress and notices an
// interrupt.
#pragma once

#include <signal.h>

#include <string>

// One rule for exit statuses: 2 when the command line cannot be carried out
// (found before anything is rendered, and nothing is written), 1 when
// rendering fails once started, 130 when interrupted.
constexpr int exit_usage = 2;
constexpr int exit_failure = 1;
constexpr int exit_interrupted = 130;

struct Failure {
  int status;
  std::string message;
};

[[noreturn]] void fail(int status, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A progress line stays open on stderr until the next message or the end.
void show_progress(const char *text);
void end_progress();

// Set by a signal that would otherwise end the renderer (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and the like), unless it was ignored at start, as under
// nohup.
extern volatile sig_atomic_t interrupted;
void watch_signals();
// Descriptors 0 to 2 that were closed at start: they are held open on
// /dev/null, so that no file the renderer opens takes their place (and a
// message meant for stderr never lands in the sound).
extern bool closed_at_start[3];
void reserve_standard_descriptors();
// Writes `text` to standard output; fails with exit 1 if it cannot.
void print_out(const std::string &text);
// Fails with exit 130 if a signal came; `what` says what is left undone.
void stop_if_interrupted(const std::string &what);

// While one lives, what is written to stderr (by a library, which would
// print raw lines of its own) is kept aside; text() gives it back.
class QuietStderr {
public:
  QuietStderr();
  QuietStderr(const QuietStderr &) = delete;
  QuietStderr &operator=(const QuietStderr &) = delete;
  ~QuietStderr();
  // Restores stderr and returns what was written meanwhile.
  std::string text();

private:
  int saved_ = -1;
  int kept_ = -1;
};

std::string size_text(double bytes);
std::string directory_of(const std::string &path);
