// The LV2 host: finds the plugin as any host does, sets presets, and runs it
// on buffers it owns.

#include "plugin.hpp"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <lv2/core/lv2.h>
#include <lv2/port-groups/port-groups.h>

#include "cli.hpp"
#include "diag.hpp"

namespace {

constexpr const char *vendor = "http://quorvane.audio/lv2/";

// The short name of a plugin of the quorvane bundle: the last part of its
// URI without "quorvane-"; "" for another's plugin.
std::string short_name(const std::string &uri) {
  if (uri.rfind(vendor, 0) != 0) {
    return "";
  }
  std::string last = uri.substr(uri.rfind('/') + 1);
  if (last.rfind("quorvane-", 0) == 0) {
    last.erase(0, 9);
  }
  return last;
}

// Loads one bundle, or all on LV2_PATH. What lilv prints of bundles it
// cannot read is kept aside and returned, for a message of our own.
std::string load(LilvWorld *world, const std::optional<std::string> &bundle) {
  if (!bundle) {
    QuietStderr quiet;
    lilv_world_load_all(world);
    return quiet.text();
  }
  struct stat st;
  if (stat(bundle->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    fail(exit_usage, "bundle %s: not a directory", bundle->c_str());
  }
  char *abs = realpath(bundle->c_str(), nullptr);
  std::string dir = abs ? abs : *bundle;
  free(abs);
  if (dir.back() != '/') {
    dir += '/'; // lilv wants bundle URIs to end with a slash
  }
  if (access((dir + "manifest.ttl").c_str(), R_OK) != 0) {
    fail(exit_usage, "bundle %s: no readable manifest.ttl (%s), so not an LV2 bundle",
         bundle->c_str(), strerror(errno));
  }
  QuietStderr quiet;
  LilvNode *node = lilv_new_file_uri(world, nullptr, dir.c_str());
  lilv_world_load_bundle(world, node);
  lilv_node_free(node);
  return quiet.text();
}

// The short names of the quorvane plugins loaded, in order, comma-separated.
std::string names_in(LilvWorld *world) {
  std::vector<std::string> names;
  const LilvPlugins *all = lilv_world_get_all_plugins(world);
  LILV_FOREACH(plugins, it, all) {
    const std::string name =
        short_name(lilv_node_as_uri(lilv_plugin_get_uri(lilv_plugins_get(all, it))));
    if (!name.empty()) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end()); // one bundle twice on the path
  std::string text;
  for (const std::string &n : names) {
    text += (text.empty() ? "" : ", ") + n;
  }
  return text;
}

// A URI as lilv takes it: a scheme, a colon, and no spaces or characters
// that a URI cannot hold. lilv itself would print its own line first.
bool looks_like_uri(const std::string &s) {
  const size_t colon = s.find(':');
  if (colon == std::string::npos || colon == 0 || !isalpha(static_cast<unsigned char>(s[0]))) {
    return false;
  }
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = s[i];
    const bool scheme = isalnum(c) || c == '+' || c == '-' || c == '.';
    if (i < colon ? !scheme : (c <= ' ' || c == 127 || strchr("<>\"{}|\\^`", c))) {
      return false;
    }
  }
  return true;
}

} // namespace

// The first line lilv printed, as a reason.
std::string first_line(const std::string &text) {
  const std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? "" : " (lilv: " + line + ")";
}

std::string plugin_names(const std::optional<std::string> &bundle) {
  LilvWorld *world = lilv_world_new();
  std::string names;
  try {
    load(world, bundle);
    names = names_in(world);
  } catch (const Failure &) {
    // No bundle there: no names to list.
  }
  lilv_world_free(world);
  return names;
}

Plugin::Plugin(const std::string &uri_, const std::optional<std::string> &name,
               const std::optional<std::string> &bundle)
    : uri(uri_) {
  if (!name && !looks_like_uri(uri)) {
    fail(exit_usage, "--uri %s: not a URI", uri.c_str());
  }
  world_ = lilv_world_new();
  // A failure here leaves no object to destroy, so the world goes with it.
  try {
    find(name, bundle);
    sort_ports();
  } catch (...) {
    lilv_world_free(world_);
    world_ = nullptr;
    throw;
  }
}

Plugin::~Plugin() {
  if (instance_) {
    if (activated_) {
      lilv_instance_deactivate(instance_);
    }
    lilv_instance_free(instance_);
  }
  if (world_) {
    lilv_world_free(world_);
  }
}

long Plugin::control(const std::string &symbol) const {
  for (size_t p = 0; p < ports.size(); ++p) {
    if (ports[p].kind == CONTROL_IN && ports[p].symbol == symbol) {
      return static_cast<long>(p);
    }
  }
  return -1;
}

void Plugin::find(const std::optional<std::string> &name,
                  const std::optional<std::string> &bundle) {
  const std::string said = load(world_, bundle);
  const char *path = getenv("LV2_PATH");
  const std::string where =
      bundle ? "in bundle " + *bundle
             : std::string("(LV2_PATH=") + (path ? path : "unset, so the default locations") + ")";
  if (name) {
    uri.clear();
    const LilvPlugins *all = lilv_world_get_all_plugins(world_);
    LILV_FOREACH(plugins, it, all) {
      const std::string u = lilv_node_as_uri(lilv_plugin_get_uri(lilv_plugins_get(all, it)));
      if (short_name(u) == *name) {
        uri = u;
      }
    }
    if (uri.empty() || short_name(uri) != *name) {
      const std::string names = names_in(world_);
      if (names.empty()) {
        fail(exit_usage,
             "--plugin %s: no quorvane plugin found %s%s; build it or pass --bundle DIR",
             name->c_str(), where.c_str(), first_line(said).c_str());
      }
      fail(exit_usage, "--plugin %s: no such plugin; the plugins are: %s", name->c_str(),
           names.c_str());
    }
  }
  LilvNode *node = lilv_new_uri(world_, uri.c_str());
  if (!node) {
    fail(exit_usage, "--uri %s: not a URI", uri.c_str());
  }
  plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), node);
  lilv_node_free(node);
  if (!plugin_) {
    fail(exit_usage, "no such plugin %s %s%s%s", uri.c_str(), where.c_str(),
         first_line(said).c_str(), bundle ? "" : "; build it or pass --bundle DIR");
  }
  LilvNodes *required = lilv_plugin_get_required_features(plugin_);
  const unsigned n = lilv_nodes_size(required);
  lilv_nodes_free(required);
  if (n) {
    fail(exit_usage, "plugin %s requires host features this renderer does not offer", uri.c_str());
  }
}

void Plugin::sort_ports() {
  LilvNode *input_class = lilv_new_uri(world_, LV2_CORE__InputPort);
  LilvNode *audio_class = lilv_new_uri(world_, LV2_CORE__AudioPort);
  LilvNode *control_class = lilv_new_uri(world_, LV2_CORE__ControlPort);
  LilvNode *optional = lilv_new_uri(world_, LV2_CORE__connectionOptional);
  LilvNode *toggled = lilv_new_uri(world_, LV2_CORE__toggled);
  LilvNode *integer = lilv_new_uri(world_, LV2_CORE__integer);
  const uint32_t nports = lilv_plugin_get_num_ports(plugin_);
  std::vector<float> mins(nports), maxs(nports), defs(nports);
  lilv_plugin_get_port_ranges_float(plugin_, mins.data(), maxs.data(), defs.data());
  ports.resize(nports);
  controls.assign(nports, 0.0f);
  std::vector<uint32_t> audio_in, audio_out;
  std::string fault;
  for (uint32_t p = 0; p < nports; ++p) {
    const LilvPort *port = lilv_plugin_get_port_by_index(plugin_, p);
    Port &pt = ports[p];
    pt = {lilv_node_as_string(lilv_port_get_symbol(plugin_, port)),
          UNUSED,
          mins[p],
          maxs[p],
          defs[p],
          lilv_port_has_property(plugin_, port, toggled),
          lilv_port_has_property(plugin_, port, integer)};
    const bool input = lilv_port_is_a(plugin_, port, input_class);
    if (lilv_port_is_a(plugin_, port, audio_class)) {
      pt.kind = input ? AUDIO_IN : AUDIO_OUT;
      (input ? audio_in : audio_out).push_back(p);
    } else if (lilv_port_is_a(plugin_, port, control_class)) {
      pt.kind = input ? CONTROL_IN : CONTROL_OUT;
      controls[p] = std::isnan(defs[p]) ? (std::isnan(mins[p]) ? 0.0f : mins[p]) : defs[p];
      if (input) {
        control_names += " " + pt.symbol;
      }
    } else if (!lilv_port_has_property(plugin_, port, optional) && fault.empty()) {
      fault = "has a port (" + pt.symbol + ") of a kind this renderer cannot feed";
    }
  }
  lilv_node_free(input_class);
  lilv_node_free(audio_class);
  lilv_node_free(control_class);
  lilv_node_free(optional);
  lilv_node_free(toggled);
  lilv_node_free(integer);
  if (!fault.empty()) {
    fail(exit_usage, "plugin %s %s", uri.c_str(), fault.c_str());
  }
  if (audio_in.empty() || audio_out.empty()) {
    fail(exit_usage,
         "plugin %s has %s audio input%s and %s audio output%s; it needs at least one of each",
         uri.c_str(), audio_in.empty() ? "no" : std::to_string(audio_in.size()).c_str(),
         audio_in.size() == 1 ? "" : "s",
         audio_out.empty() ? "no" : std::to_string(audio_out.size()).c_str(),
         audio_out.size() == 1 ? "" : "s");
  }
  audio_in_ = audio_order(audio_in);
  audio_out_ = audio_order(audio_out);
  if (lilv_plugin_has_latency(plugin_)) {
    const uint32_t p = lilv_plugin_get_latency_port_index(plugin_);
    if (p < nports && ports[p].kind == CONTROL_OUT) {
      latency_port_ = p;
    }
  }
}

// Left before right where every port says which it is (lv2:designation
// pg:left or pg:right), else the order of the ports.
std::vector<uint32_t> Plugin::audio_order(const std::vector<uint32_t> &audio) const {
  LilvNode *designation = lilv_new_uri(world_, LV2_CORE__designation);
  std::vector<std::pair<int, uint32_t>> ranked;
  bool all_designated = true;
  for (const uint32_t p : audio) {
    const LilvPort *port = lilv_plugin_get_port_by_index(plugin_, p);
    LilvNodes *said = lilv_port_get_value(plugin_, port, designation);
    int rank = -1;
    LILV_FOREACH(nodes, it, said) {
      const LilvNode *d = lilv_nodes_get(said, it);
      if (lilv_node_is_uri(d) && strcmp(lilv_node_as_uri(d), LV2_PORT_GROUPS__left) == 0) {
        rank = 0;
      } else if (lilv_node_is_uri(d) && strcmp(lilv_node_as_uri(d), LV2_PORT_GROUPS__right) == 0) {
        rank = 1;
      }
    }
    lilv_nodes_free(said);
    all_designated = all_designated && rank >= 0;
    ranked.emplace_back(rank, p);
  }
  lilv_node_free(designation);
  if (all_designated) {
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
  }
  std::vector<uint32_t> order;
  order.reserve(ranked.size());
  for (const auto &[rank, p] : ranked) {
    order.push_back(p);
  }
  return order;
}

void Plugin::start(double rate, long block) {
  QuietStderr quiet;
  instance_ = lilv_plugin_instantiate(plugin_, rate, nullptr);
  const std::string said = quiet.text();
  if (!instance_) {
    fail(exit_failure, "plugin %s could not be instantiated%s", uri.c_str(),
         first_line(said).c_str());
  }
  block_ = block;
  in_.assign(static_cast<size_t>(block) * audio_in_.size(), 0.0f);
  out_.assign(static_cast<size_t>(block) * audio_out_.size(), 0.0f);
  for (uint32_t p = 0; p < ports.size(); ++p) {
    lilv_instance_connect_port(
        instance_, p,
        ports[p].kind == CONTROL_IN || ports[p].kind == CONTROL_OUT ? &controls[p] : nullptr);
  }
  for (size_t c = 0; c < audio_in_.size(); ++c) {
    lilv_instance_connect_port(instance_, audio_in_[c], input(static_cast<int>(c)));
  }
  for (size_t c = 0; c < audio_out_.size(); ++c) {
    lilv_instance_connect_port(instance_, audio_out_[c], out_.data() + c * block);
  }
  lilv_instance_activate(instance_);
  activated_ = true;
}
