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

// Set by SIGINT, SIGTERM or SIGHUP (unless ignored at start, as under nohup).
extern volatile sig_atomic_t interrupted;
void watch_signals();
// Fails with exit 130 if a signal came; `what` says what is left undone.
void stop_if_interrupted(const std::string &what);

std::string size_text(double bytes);
std::string directory_of(const std::string &path);
