// The control changes, checked against the plugin's ports and placed on
// the input's clock.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "plugin.hpp"

// One control change: at `frame`, port `port` takes `value`.
struct Event {
  long long frame;
  uint32_t port;
  float value;
  std::string setting; // as given, for messages
};

// Settings: SYMBOL=VALUE or SYMBOL=VALUE@TIME. `total` is the length of the
// input and the tail if known before reading it, -1 otherwise; same-time
// changes keep their command-line order.
std::vector<Event> schedule(const std::vector<std::string> &settings, const Plugin &pl, double rate,
                            long long total);

// Fails if a change falls at or past `total`, the length once known.
void check_within(const std::vector<Event> &events, long long total, double rate);
