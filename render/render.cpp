// The render loop: the input, then the tail's silence, through the plugin.

#include "render.hpp"

#include <math.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

#include "diag.hpp"

namespace {

// A latency beyond this (about 6 minutes at 48 kHz) is taken as a fault of
// the plugin rather than rendered as silence.
constexpr long long max_latency = 1 << 24;

} // namespace

// Feeds the input until its decoder stops, then the tail, in blocks cut
// wherever a control changes, and writes what comes out. A plugin that
// reports latency (read after its first run call, as a DAW reads it) is run
// that many samples longer on silence, and as many samples are dropped from
// the start of what it gives, so the output lines up with the input; its
// control changes come as much later, as a DAW that compensates latency
// plays its automation, so each is heard from its own sample of the output.
// A change at 0 is a starting value, set before the first run call.
void render(const Options &o, Input &in, Plugin &pl, const std::vector<Event> &events,
            long long tail, Output &out) {
  const double rate = in.rate();
  long long total = -1; // frames of output, once the input has ended
  long long latency = 0;
  bool latency_known = false;
  const bool show = o.progress || isatty(STDERR_FILENO);
  const long long expected = in.expected() < 0 ? -1 : in.expected() + tail;
  long long shown = -1;
  const int ins = pl.inputs(), outs = pl.outputs();
  std::vector<float> frames(static_cast<size_t>(o.block) * static_cast<size_t>(outs));
  uint32_t seed = 0x2545F491u;          // fixed, so a varying-block render is reproducible
  std::vector<Event> timeline = events; // the changes, on the plugin's clock
  size_t next = 0;
  long long pos = 0; // samples fed to the plugin so far
  while (total < 0 || pos < total + latency) {
    stop_if_interrupted(out.left());
    while (next < timeline.size() && timeline[next].frame == pos) {
      pl.controls[timeline[next].port] = timeline[next].value;
      ++next;
    }
    long long n = o.block;
    if (o.vary) {
      seed = seed * 1664525u + 1013904223u;
      n = 1 + static_cast<long long>((seed >> 8) % static_cast<uint32_t>(o.block));
    }
    if (total >= 0) {
      n = std::min(n, total + latency - pos);
    }
    if (next < timeline.size()) {
      n = std::min(n, timeline[next].frame - pos);
    }
    long long got = 0;
    if (total < 0) {
      got = in.read(pl.input(0), o.block, n);
      if (got < n) {
        total = in.frames() + tail;
        check_within(events, total, rate);
        n = std::min(n, total + latency - pos);
        if (n <= 0) {
          continue;
        }
      }
    }
    for (int c = 0; c < ins; ++c) {
      std::fill(pl.input(c) + got, pl.input(c) + n, 0.0f);
    }
    pl.run(static_cast<uint32_t>(n));
    if (!latency_known) {
      const float reported = pl.latency();
      if (!(reported >= 0.0f && reported <= static_cast<float>(max_latency))) {
        fail(exit_failure, "plugin %s reports a latency of %g samples; expected 0 to %lld",
             pl.uri.c_str(), reported, max_latency);
      }
      latency = llroundf(reported);
      latency_known = true;
      // The first block ended at or before the first change past 0.
      for (size_t e = next; e < timeline.size(); ++e) {
        timeline[e].frame += latency;
      }
    }
    const long long skip = std::clamp(latency - pos, 0LL, n);
    if (outs == 1) {
      out.write(pl.output(0) + skip, n - skip);
    } else {
      for (long long i = skip; i < n; ++i) {
        for (int c = 0; c < outs; ++c) {
          frames[static_cast<size_t>((i - skip) * outs + c)] = pl.output(c)[i];
        }
      }
      out.write(frames.data(), n - skip);
    }
    pos += n;
    if (show) {
      // A percentage where the length is known, else the time rendered.
      const long long whole = total >= 0 ? total : expected;
      const long long now = whole > 0 ? std::min(99LL, 100 * pos / (whole + latency))
                                      : static_cast<long long>(static_cast<double>(pos) / rate);
      if (now != shown) {
        shown = now;
        char text[48];
        snprintf(text, sizeof text, whole > 0 ? "%3lld%%" : "%lld s", now);
        show_progress(text);
      }
    }
  }
  if (show && shown >= 0) {
    show_progress(expected > 0 || total > 0 ? "100%" : "done");
  }
  end_progress();
}
