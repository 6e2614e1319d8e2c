// quorvane-render: renders a sound file through an LV2 plugin as a host does,
// with controls that may change at given times.
//
//   quorvane-render [options] INPUT OUTPUT [SYMBOL=VALUE[@TIME]]...
//
// The steps, in order: read the input's header, find and set up the plugin
// and fit the input's channels to it, schedule the control changes, open
// the output, run the plugin in blocks and write what it gives. Everything the command line asks
// for is checked before the output is touched; a failed or interrupted run leaves a regular output
// file as it was.

#include <stdio.h>

#include <algorithm>
#include <exception>

#include "diag.hpp"
#include "render.hpp"

namespace {

// --version, or --help with the plugins found for --plugin: written and
// checked like any output.
int inform(const Options &o) {
  if (o.version) {
    print_out("quorvane-render " QUORVANE_VERSION "\n");
  } else {
    const std::string names = plugin_names(o.bundle);
    print_out(std::string(usage_text) +
              (names.empty() ? "" : "\nPlugins found for --plugin: " + names + "\n"));
  }
  return 0;
}

int run(const Options &o) {
  if (o.help || o.version) {
    return inform(o);
  }
  Input in;
  in.open(o.input);
  const double rate = in.rate();
  const long long tail = parse_time(o.tail, rate);
  if (tail < 0) {
    fail(exit_usage, "--tail %s: expected a time such as 1.5s, 250ms or 1024 (samples)",
         o.tail.c_str());
  }
  Plugin pl(o.uri, o.plugin, o.bundle);
  in.fit(pl.inputs(), o.downmix);
  if (o.preset) {
    pl.apply_preset(*o.preset);
  }
  // The input's length is known up front for most files, not for a stream
  // cut short or an MP3 without a frame count; the tail is known always.
  const long long known = in.expected();
  const long long total = known < 0 ? -1 : std::min(known + tail, max_samples);
  const std::vector<Event> events = schedule(o.settings, pl, rate, total);
  Output out;
  out.open(o.output, in.file(), o.force, in.rate(), pl.outputs(), total < 0 ? tail : total,
           total >= 0);
  pl.start(rate, o.block);
  render(o, in, pl, events, tail, out);
  out.finish();
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  reserve_standard_descriptors();
  watch_signals();
  try {
    return run(parse_args(argc, argv));
  } catch (const Failure &f) {
    end_progress();
    fprintf(stderr, "quorvane-render: %s\n", f.message.c_str());
    return f.status;
  } catch (const std::exception &e) {
    // Out of memory, say: the temporary file still goes.
    end_progress();
    fprintf(stderr, "quorvane-render: %s\n", e.what());
    return exit_failure;
  }
}
