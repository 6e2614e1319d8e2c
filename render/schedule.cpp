// The control changes, checked against the plugin's ports and placed on
// the input's clock.

#include "schedule.hpp"

#include <float.h>
#include <math.h>
#include <stdlib.h>

#include <algorithm>

#include "cli.hpp"
#include "diag.hpp"

namespace {

// A control's value: a decimal number within the control's declared range;
// a switch takes its two ends only, a whole-number control whole numbers.
// A number too small for a float is taken as the float nearest it (0 or a
// subnormal); only text that does not read as a number is called not one.
float parse_value(const std::string &setting, const std::string &text, const Port &pt) {
  const size_t sign = !text.empty() && (text[0] == '-' || text[0] == '+');
  if (decimal_length(text, sign) + sign != text.size() || text.size() == sign) {
    fail(exit_usage, "%s: '%s' is not a number", setting.c_str(), text.c_str());
  }
  const double v = strtod(text.c_str(), nullptr);
  const double lo = std::isnan(pt.min) ? -FLT_MAX : pt.min;
  const double hi = std::isnan(pt.max) ? FLT_MAX : pt.max;
  if (v < lo || v > hi) {
    fail(exit_usage, "%s: out of range; %s takes %g to %g", setting.c_str(), pt.symbol.c_str(), lo,
         hi);
  }
  if (pt.toggled && v != lo && v != hi) {
    fail(exit_usage, "%s: %s is a switch; it takes %g (off) or %g (on)", setting.c_str(),
         pt.symbol.c_str(), lo, hi);
  }
  if (pt.integer && v != floor(v)) {
    fail(exit_usage, "%s: %s takes whole numbers only", setting.c_str(), pt.symbol.c_str());
  }
  return static_cast<float>(v);
}

} // namespace

std::vector<Event> schedule(const std::vector<std::string> &settings, const Plugin &pl, double rate,
                            long long total) {
  std::vector<Event> events;
  for (const std::string &s : settings) {
    const size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0) {
      fail(exit_usage, "%s: expected SYMBOL=VALUE or SYMBOL=VALUE@TIME", s.c_str());
    }
    const std::string symbol = s.substr(0, eq);
    const size_t at = s.find('@', eq);
    const std::string value_text =
        s.substr(eq + 1, at == std::string::npos ? std::string::npos : at - eq - 1);
    const long port = pl.control(symbol);
    if (port < 0) {
      fail(exit_usage, "%s: unknown control '%s'; the controls are:%s", s.c_str(), symbol.c_str(),
           pl.control_names.c_str());
    }
    const float value = parse_value(s, value_text, pl.ports[port]);
    long long frame = 0;
    if (at != std::string::npos) {
      const std::string time_text = s.substr(at + 1);
      frame = parse_time(time_text, rate);
      if (frame < 0) {
        fail(exit_usage, "%s: '%s' is not a time; use 1.5s, 250ms or a sample index", s.c_str(),
             time_text.c_str());
      }
    }
    events.push_back({frame, static_cast<uint32_t>(port), value, s});
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const Event &a, const Event &b) { return a.frame < b.frame; });
  if (total >= 0) {
    check_within(events, total, rate);
  }
  return events;
}

void check_within(const std::vector<Event> &events, long long total, double rate) {
  for (const Event &e : events) {
    if (e.frame > 0 && e.frame >= total) {
      fail(exit_usage, "%s: sample %lld is past the end of the input (%lld samples, %.3f s)",
           e.setting.c_str(), e.frame, total, static_cast<double>(total) / rate);
    }
  }
}
