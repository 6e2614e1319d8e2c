// The command line: options, settings and times.

#include "cli.hpp"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "diag.hpp"

const char *const usage_text =
    "usage: quorvane-render [options] INPUT OUTPUT [SYMBOL=VALUE[@TIME]]...\n"
    "\n"
    "Renders INPUT through the plugin into OUTPUT (32-bit float WAV, same rate;\n"
    "RF64 past 4 GiB). INPUT may be - for standard input (a pipe is read to its\n"
    "end). OUTPUT may be - for standard output, or a device or FIFO.\n"
    "\n"
    "  SYMBOL=VALUE        set a control from the start, e.g. blur=0.5\n"
    "  SYMBOL=VALUE@TIME   change it at TIME: 1.5s, 250ms, or a sample index (48000)\n"
    "\n"
    "options:\n"
    "  --plugin NAME   plugin of the quorvane bundle to run, by the last part of its\n"
    "                  URI without \"quorvane-\": quorvane (default), aligned,\n"
    "                  coherent, coherent-aligned...; those found are listed below\n"
    "  --uri URI       any LV2 plugin to run, by its URI\n"
    "  --aligned       the same as --plugin aligned\n"
    "  --bundle DIR    load the plugin from this bundle only (default: search LV2_PATH)\n"
    "  --block N       samples per run call, 1 to 1048576 (default 512)\n"
    "  --vary-blocks   block sizes vary from 1 to N, reproducibly\n"
    "  --tail TIME     append TIME of silence to the input (e.g. 1024 to flush the delay)\n"
    "  --preset NAME   start from one of the plugin's presets (its label or URI);\n"
    "                  settings on the command line then apply on top of it\n"
    "  --downmix       average the channels of a multichannel input for a mono plugin\n"
    "                  (default: refuse it); a plugin with two audio inputs takes\n"
    "                  a stereo input as it is\n"
    "  --force         replace OUTPUT even if it is read-only; it stays read-only\n"
    "  --progress      show progress even when stderr is not a terminal\n"
    "  -h, --help      show this help\n"
    "  --version       show the version\n"
    "  --              what follows are files and settings, even if it starts with -\n"
    "\n"
    "A plugin that reports latency is compensated: the output lines up with the\n"
    "input sample for sample and has its length (plus --tail), and each control\n"
    "change is heard from its own sample, as a DAW places automation.\n"
    "\n"
    "Exit status: 0 done; 2 the command line cannot be carried out (an option,\n"
    "value, time, file, plugin or preset that cannot be used, or no room for the\n"
    "output), found before rendering; 1 failed while rendering (a full disk, a\n"
    "reader that quit); 130 interrupted by a signal. Unless 0, a regular OUTPUT\n"
    "file is left as it was.\n";

namespace {

bool parse_long(const char *s, long *out) {
  if (!*s) {
    return false;
  }
  char *end = nullptr;
  errno = 0;
  const long v = strtol(s, &end, 10);
  if (errno || *end) {
    return false;
  }
  *out = v;
  return true;
}

} // namespace

size_t decimal_length(const std::string &text, size_t from) {
  auto digits = [&](size_t at) {
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      ++at;
    }
    return at;
  };
  size_t at = digits(from);
  bool any = at > from;
  if (at < text.size() && text[at] == '.') {
    const size_t after = digits(at + 1);
    any = any || after > at + 1;
    at = after;
  }
  if (!any) {
    return 0;
  }
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    const size_t sign = at + 1 < text.size() && (text[at + 1] == '+' || text[at + 1] == '-');
    const size_t exponent = digits(at + 1 + sign);
    at = exponent > at + 1 + sign ? exponent : at;
  }
  return at - from;
}

long long parse_time(const std::string &text, double rate) {
  // Decimal only: strtod alone would read 0x10 as 16, and inf as a time.
  const size_t n = decimal_length(text, 0);
  if (n == 0) {
    return -1;
  }
  const double v = strtod(text.substr(0, n).c_str(), nullptr);
  if (!(v >= 0)) {
    return -1;
  }
  const std::string unit = text.substr(n);
  double samples;
  if (unit.empty()) {
    // A bare number is a sample index and must be whole.
    if (text.find_first_not_of("0123456789") != std::string::npos) {
      return -1;
    }
    samples = v;
  } else if (unit == "s") {
    samples = v * rate;
  } else if (unit == "ms") {
    samples = v * rate / 1000.0;
  } else {
    return -1;
  }
  return samples >= static_cast<double>(max_samples) ? max_samples : llround(samples);
}

Options parse_args(int argc, char **argv) {
  Options o;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char *name) -> std::string {
      if (i + 1 >= argc) {
        fail(exit_usage, "%s needs a value", name);
      }
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--bundle") {
      o.bundle = value("--bundle");
    } else if (a == "--uri") {
      o.uri = value("--uri");
      o.plugin.reset();
    } else if (a == "--plugin") {
      o.plugin = value("--plugin");
    } else if (a == "--aligned") {
      o.plugin = "aligned";
    } else if (a == "--block") {
      const std::string v = value("--block");
      if (!parse_long(v.c_str(), &o.block) || o.block < 1 || o.block > max_block) {
        fail(exit_usage, "--block %s: expected a whole number from 1 to %ld", v.c_str(), max_block);
      }
    } else if (a == "--vary-blocks") {
      o.vary = true;
    } else if (a == "--tail") {
      o.tail = value("--tail");
    } else if (a == "--preset") {
      o.preset = value("--preset");
    } else if (a == "--downmix") {
      o.downmix = true;
    } else if (a == "--force") {
      o.force = true;
    } else if (a == "--progress") {
      o.progress = true;
    } else if (a == "--") {
      for (++i; i < argc; ++i) {
        positional.push_back(argv[i]);
      }
    } else if (a.size() > 1 && a[0] == '-' && a.find('=') == std::string::npos) {
      fail(exit_usage, "unknown option %s (see --help)", a.c_str());
    } else {
      positional.push_back(a);
    }
  }
  if (o.help || o.version) {
    return o;
  }
  // The first two plain arguments are the files, the rest settings.
  if (positional.size() < 2) {
    fail(exit_usage, "need an INPUT and an OUTPUT file (see --help)");
  }
  o.input = positional[0];
  o.output = positional[1];
  o.settings.assign(positional.begin() + 2, positional.end());
  // An empty value names nothing: it is refused rather than taken as absent.
  auto refuse_empty = [](const std::optional<std::string> &text, const char *what,
                         const char *names) {
    if (text && text->empty()) {
      fail(exit_usage, "%s is empty; it must name %s", what, names);
    }
  };
  refuse_empty(o.input, "INPUT", "a file, or - for standard input");
  refuse_empty(o.output, "OUTPUT", "a file, or - for standard output");
  refuse_empty(o.bundle, "--bundle", "a bundle's directory");
  refuse_empty(o.plugin, "--plugin", "a plugin");
  refuse_empty(o.preset, "--preset", "a preset (its label or URI)");
  return o;
}
