// The mono plugins' port indices, which saved sessions and hosts that go by
// index rely on: never renumbered. They follow from bundle/ports.cmake (the
// checks below hold them to it); other plugins' indices come from the table.
#pragma once

#include <stdint.h>

#include "quorvane_table.hpp"

namespace {

enum Port : uint32_t {
  IN = 0,
  OUT = 1,
  FREEZE = 2,
  MIX = 3,
  BLUR = 4,
  SHIFT = 5,
  THRESHOLD = 6,
  LATENCY = 7, // the aligned plugins only
};

constexpr uint32_t port_count = 7; // the first plugin's; the others add LATENCY and ENABLED

constexpr bool mono_ports_hold(const PluginInfo &p) {
  const Role roles_in_order[] = {Role::IN,   Role::OUT,   Role::FREEZE,   Role::MIX,
                                 Role::BLUR, Role::SHIFT, Role::THRESHOLD};
  for (uint32_t i = 0; i < port_count; ++i) {
    if (port_index(p, roles_in_order[i]) != i) {
      return false;
    }
  }
  return !p.latency || port_index(p, Role::LATENCY) == LATENCY;
}

constexpr bool all_mono_ports_hold() {
  for (const PluginInfo &p : plugin_table) {
    if (p.channels == 1 && !mono_ports_hold(p)) {
      return false;
    }
  }
  return true;
}
static_assert(all_mono_ports_hold(), "a mono plugin's ports were renumbered");

} // namespace
