// The command line: options, settings and times.
#pragma once

#include <optional>
#include <string>
#include <vector>

constexpr long max_block = 1 << 20;
// Times are capped here (about 6000 years at 48 kHz): past any input, and
// far past any disk, yet a sum of two still fits in a long long.
constexpr long long max_samples = 9'000'000'000'000'000LL;

// The plugins of the quorvane bundle have URIs under this one: quorvane's
// own, and quorvane-NAME for the others.
constexpr const char *uri_base = "http://quorvane.audio/lv2/quorvane";

struct Options {
  bool help = false;
  bool version = false;
  std::string input;
  std::string output;
  std::optional<std::string> bundle; // given, even if empty
  std::string uri = uri_base;
  std::optional<std::string> plugin; // a short name, found in the bundle
  long block = 512;
  bool vary = false;
  bool downmix = false;
  bool progress = false;
  bool force = false;
  std::string tail = "0";
  std::optional<std::string> preset;
  std::vector<std::string> settings;
};

Options parse_args(int argc, char **argv);
extern const char *const usage_text;

// TIME: "1.5s", "250ms" or a whole number of samples, rounded to the nearest
// sample. Returns -1 if malformed; a time too long to mean anything is
// capped at max_samples.
long long parse_time(const std::string &text, double rate);
// The length of the plain decimal number (digits, a point, an exponent; no
// sign) at `from` in `text`; 0 if there is none.
size_t decimal_length(const std::string &text, size_t from);
