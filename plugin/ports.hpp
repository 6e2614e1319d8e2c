// The ports of each released plugin, in index order, as saved sessions and
// hosts that go by index know them: they never move. A released plugin may
// gain ports after these (a new row of bundle/ports.cmake goes after every
// port an existing plugin has); a new plugin is not listed here until it is
// released, and until then its ports are whatever the table gives it.
#pragma once

#include <stdint.h>

#include "quorvane_table.hpp"

namespace {

struct Released {
  const char *uri;
  Role ports[max_ports];
  uint32_t count;
};

constexpr Released released[] = {
    {"http://quorvane.audio/lv2/quorvane",
     {Role::IN, Role::OUT, Role::FREEZE, Role::MIX, Role::BLUR, Role::SHIFT, Role::THRESHOLD},
     7},
    {"http://quorvane.audio/lv2/quorvane-aligned",
     {Role::IN, Role::OUT, Role::FREEZE, Role::MIX, Role::BLUR, Role::SHIFT, Role::THRESHOLD,
      Role::LATENCY, Role::ENABLED},
     9},
    {"http://quorvane.audio/lv2/quorvane-coherent",
     {Role::IN, Role::OUT, Role::FREEZE, Role::MIX, Role::BLUR, Role::SHIFT, Role::THRESHOLD,
      Role::ENABLED},
     8},
    {"http://quorvane.audio/lv2/quorvane-coherent-aligned",
     {Role::IN, Role::OUT, Role::FREEZE, Role::MIX, Role::BLUR, Role::SHIFT, Role::THRESHOLD,
      Role::LATENCY, Role::ENABLED},
     9},
    {"http://quorvane.audio/lv2/quorvane-coherent-stereo",
     {Role::IN_L, Role::IN_R, Role::OUT_L, Role::OUT_R, Role::FREEZE, Role::MIX, Role::BLUR,
      Role::SHIFT, Role::THRESHOLD, Role::ENABLED},
     10},
    {"http://quorvane.audio/lv2/quorvane-coherent-aligned-stereo",
     {Role::IN_L, Role::IN_R, Role::OUT_L, Role::OUT_R, Role::FREEZE, Role::MIX, Role::BLUR,
      Role::SHIFT, Role::THRESHOLD, Role::LATENCY, Role::ENABLED},
     11},
};

constexpr bool same_text(const char *a, const char *b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// Whether every released plugin is in the table with its released ports
// first, in their order.
constexpr bool released_ports_hold() {
  for (const Released &r : released) {
    const PluginInfo *p = nullptr;
    for (const PluginInfo &q : plugin_table) {
      p = same_text(q.uri, r.uri) ? &q : p;
    }
    if (!p || p->port_count < r.count) {
      return false;
    }
    for (uint32_t i = 0; i < r.count; ++i) {
      if (p->ports[i] != r.ports[i]) {
        return false;
      }
    }
  }
  return true;
}
static_assert(released_ports_hold(),
              "a released plugin's ports moved or went: new ports go after every existing one");

} // namespace
