// Presets: found by label or URI among the plugin's, and their port values
// set as the plugin's starting controls.

#include <string.h>
#include <strings.h>

#include <lv2/atom/atom.h>
#include <lv2/presets/presets.h>
#include <lv2/urid/urid.h>

#include "diag.hpp"
#include "plugin.hpp"

namespace {

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

void Plugin::apply_preset(const std::string &wanted) {
  LilvNode *preset_class = lilv_new_uri(world_, LV2_PRESETS__Preset);
  LilvNode *label_uri = lilv_new_uri(world_, LILV_NS_RDFS "label");
  LilvNodes *presets = lilv_plugin_get_related(plugin_, preset_class);
  lilv_node_free(preset_class);
  const LilvNode *found = nullptr;
  std::string names;
  QuietStderr quiet; // lilv's lines about a preset it cannot read
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
  quiet.text();
  if (!found) {
    lilv_nodes_free(presets);
    fail(exit_usage, "--preset %s: no such preset; the presets are:%s", wanted.c_str(),
         names.empty() ? " none" : names.c_str());
  }
  UridMap urids;
  LV2_URID_Map map = {&urids, UridMap::map};
  QuietStderr quiet_state;
  LilvState *state = lilv_state_new_from_world(world_, &map, found);
  lilv_nodes_free(presets);
  const std::string said = quiet_state.text();
  if (!state) {
    fail(exit_usage, "--preset %s: cannot be loaded%s", wanted.c_str(), first_line(said).c_str());
  }
  PresetTarget target{this, UridMap::map(&urids, LV2_ATOM__Float), ""};
  lilv_state_emit_port_values(state, set_from_preset, &target);
  lilv_state_free(state);
  if (!target.bad.empty()) {
    fail(exit_usage, "--preset %s: sets what is not a control of the plugin:%s", wanted.c_str(),
         target.bad.c_str());
  }
}
