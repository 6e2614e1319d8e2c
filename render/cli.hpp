// The command line: options, settings and times.
#pragma once

#include <string>
#include <vector>

constexpr long max_block = 1 << 20;
// Times are capped here (about 6000 years at 48 kHz): past any input, and
// far past any disk, yet a sum of two still fits in a long long.
constexpr long long max_samples = 9'000'000'000'000'000LL;

struct Options {
  std::string input;
  std::string output;
  std::string bundle;
  std::string uri;
  long block = 512;
  bool vary = false;
  bool downmix = false;
  bool progress = false;
  bool force = false;
  std::string tail = "0";
  std::string preset;
  std::vector<std::string> settings;
};

Options parse_args(int argc, char **argv);

// TIME: "1.5s", "250ms" or a whole number of samples, rounded to the nearest
// sample. Returns -1 if malformed; a time too long to mean anything is
// capped at max_samples.
long long parse_time(const std::string &text, double rate);
