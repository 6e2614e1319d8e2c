// The LV2 host: finds the plugin as any host does, sets presets, and runs it
// on buffers it owns.

#include "plugin.hpp"

#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/presets/presets.h>
#include <lv2/urid/urid.h>

#include "diag.hpp"

namespace {

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

// A URID map for loading presets: lilv needs one to type their values.
struct UridMap {
  std::vector<std::string> uris;
  static LV2_URID map(LV2_URID_Map_Handle handle, const char *uri) {
    auto *self = static_cast<UridMap *>(handle);
    for (size_t i = 0; i < self->uris.size(); ++i) {
      if (self->uris[i] == uri) {
        return static_cast<LV2_URID>(i + 1);
      }
    }
    self->uris.emplace_back(uri);
    return static_cast<LV2_URID>(self->uris.size());
  }
};

struct PresetTarget {
  Plugin *plugin;
  LV2_URID float_type;
  std::string bad;
};

void set_from_preset(const char *symbol, void *user, const void *value, uint32_t size,
                     uint32_t type) {
  auto *t = static_cast<PresetTarget *>(user);
  const long p = t->plugin->control(symbol);
  if (p >= 0 && type == t->float_type && size == sizeof(float)) {
    memcpy(&t->plugin->controls[p], value, sizeof(float));
  } else {
    t->bad += std::string(" ") + symbol;
  }
}

} // namespace

Plugin::Plugin(const std::string &uri_, const std::string &bundle) : uri(uri_) {
  if (!looks_like_uri(uri)) {
    fail(exit_usage, "--uri %s: not a URI", uri.c_str());
  }
  world_ = lilv_world_new();
  // A failure here leaves no object to destroy, so the world goes with it.
  try {
    find(bundle);
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

void Plugin::find(const std::string &bundle) {
  if (!bundle.empty()) {
    struct stat st;
    if (stat(bundle.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      fail(exit_usage, "bundle %s: not a directory", bundle.c_str());
    }
    char *abs = realpath(bundle.c_str(), nullptr);
    std::string dir = abs ? abs : bundle;
    free(abs);
    if (dir.back() != '/') {
      dir += '/'; // lilv wants bundle URIs to end with a slash
    }
    LilvNode *node = lilv_new_file_uri(world_, nullptr, dir.c_str());
    lilv_world_load_bundle(world_, node);
    lilv_node_free(node);
  } else {
    lilv_world_load_all(world_);
  }
  LilvNode *node = lilv_new_uri(world_, uri.c_str());
  if (!node) {
    fail(exit_usage, "--uri %s: not a URI", uri.c_str());
  }
  plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), node);
  lilv_node_free(node);
  if (!plugin_) {
    if (!bundle.empty()) {
      fail(exit_usage, "no such plugin %s in bundle %s", uri.c_str(), bundle.c_str());
    }
    const char *path = getenv("LV2_PATH");
    fail(exit_usage, "no such plugin %s (LV2_PATH=%s); build it or pass --bundle DIR", uri.c_str(),
         path ? path : "unset, so the default locations");
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
  const uint32_t nports = lilv_plugin_get_num_ports(plugin_);
  std::vector<float> mins(nports), maxs(nports), defs(nports);
  lilv_plugin_get_port_ranges_float(plugin_, mins.data(), maxs.data(), defs.data());
  ports.resize(nports);
  controls.assign(nports, 0.0f);
  int audio[2] = {0, 0}; // inputs, outputs
  std::string fault;
  for (uint32_t p = 0; p < nports; ++p) {
    const LilvPort *port = lilv_plugin_get_port_by_index(plugin_, p);
    Port &pt = ports[p];
    pt = {lilv_node_as_string(lilv_port_get_symbol(plugin_, port)), UNUSED, mins[p], maxs[p],
          defs[p]};
    const bool input = lilv_port_is_a(plugin_, port, input_class);
    if (lilv_port_is_a(plugin_, port, audio_class)) {
      pt.kind = input ? AUDIO_IN : AUDIO_OUT;
      ++audio[input ? 0 : 1];
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
  if (!fault.empty()) {
    fail(exit_usage, "plugin %s %s", uri.c_str(), fault.c_str());
  }
  if (audio[0] != 1 || audio[1] != 1) {
    fail(exit_usage, "plugin %s is not mono: it needs one audio input and one audio output",
         uri.c_str());
  }
  if (lilv_plugin_has_latency(plugin_)) {
    const uint32_t p = lilv_plugin_get_latency_port_index(plugin_);
    if (p < nports && ports[p].kind == CONTROL_OUT) {
      latency_port_ = p;
    }
  }
}

void Plugin::apply_preset(const std::string &wanted) {
  LilvNode *preset_class = lilv_new_uri(world_, LV2_PRESETS__Preset);
  LilvNode *label_uri = lilv_new_uri(world_, LILV_NS_RDFS "label");
  LilvNodes *presets = lilv_plugin_get_related(plugin_, preset_class);
  lilv_node_free(preset_class);
  const LilvNode *found = nullptr;
  std::string names;
  LILV_FOREACH(nodes, it, presets) {
    const LilvNode *preset = lilv_nodes_get(presets, it);
    lilv_world_load_resource(world_, preset);
    LilvNodes *labels = lilv_world_find_nodes(world_, preset, label_uri, nullptr);
    const LilvNode *first = labels ? lilv_nodes_get_first(labels) : nullptr;
    const char *label = first ? lilv_node_as_string(first) : "";
    names += std::string(" '") + label + "'";
    if (strcasecmp(label, wanted.c_str()) == 0 || wanted == lilv_node_as_uri(preset)) {
      found = preset;
    }
    lilv_nodes_free(labels);
  }
  lilv_node_free(label_uri);
  if (!found) {
    lilv_nodes_free(presets);
    fail(exit_usage, "--preset %s: no such preset; the presets are:%s", wanted.c_str(),
         names.empty() ? " none" : names.c_str());
  }
  UridMap urids;
  LV2_URID_Map map = {&urids, UridMap::map};
  LilvState *state = lilv_state_new_from_world(world_, &map, found);
  lilv_nodes_free(presets);
  if (!state) {
    fail(exit_usage, "--preset %s: cannot be loaded", wanted.c_str());
  }
  PresetTarget target{this, UridMap::map(&urids, LV2_ATOM__Float), ""};
  lilv_state_emit_port_values(state, set_from_preset, &target);
  lilv_state_free(state);
  if (!target.bad.empty()) {
    fail(exit_usage, "--preset %s: sets what is not a control of the plugin:%s", wanted.c_str(),
         target.bad.c_str());
  }
}

void Plugin::start(double rate, long block) {
  instance_ = lilv_plugin_instantiate(plugin_, rate, nullptr);
  if (!instance_) {
    fail(exit_failure, "plugin %s could not be instantiated", uri.c_str());
  }
  in_.assign(static_cast<size_t>(block), 0.0f);
  out_.assign(static_cast<size_t>(block), 0.0f);
  for (uint32_t p = 0; p < ports.size(); ++p) {
    void *data = nullptr;
    switch (ports[p].kind) {
    case AUDIO_IN: data = in_.data(); break;
    case AUDIO_OUT: data = out_.data(); break;
    case CONTROL_IN:
    case CONTROL_OUT: data = &controls[p]; break;
    case UNUSED: break;
    }
    lilv_instance_connect_port(instance_, p, data);
  }
  lilv_instance_activate(instance_);
  activated_ = true;
}
