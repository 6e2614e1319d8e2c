// The render loop: the input, then the tail's silence, through the plugin.
#pragma once

#include <vector>

#include "cli.hpp"
#include "input.hpp"
#include "output.hpp"
#include "plugin.hpp"
#include "schedule.hpp"

void render(const Options &o, Input &in, Plugin &pl, const std::vector<Event> &events,
            long long tail, Output &out);
