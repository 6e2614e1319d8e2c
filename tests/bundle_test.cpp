// What a host shows a user, read through lilv from the built bundle: the
// plugin's category, each port's name, help text, unit and kind of control,
// and the presets, each applied to a live instance. (Symbols, indices,
// ranges and defaults are covered by the lilv host test.)

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/presets/presets.h>
#include <lv2/urid/urid.h>

namespace {

constexpr const char *plugin_uri = "http://quorvane.audio/lv2/quorvane";
constexpr const char *units_coef = "http://lv2plug.in/ns/extensions/units#coef";
constexpr const char *units_unit = "http://lv2plug.in/ns/extensions/units#unit";

class HostView : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    // As a host finds it: everything on the search path, which here is the
    // build tree and LV2's schema bundles (for the plugin
    // classes), not whatever else is installed beside them.
    const std::string bundle = QUORVANE_BUNDLE_DIR;
    const std::string path =
        bundle.substr(0, bundle.rfind('/')) + ":" + std::string(QUORVANE_LV2_CORE_DIR);
    setenv("LV2_PATH", path.c_str(), 1);
    world = lilv_world_new();
    lilv_world_load_all(world);
    LilvNode *uri = lilv_new_uri(world, plugin_uri);
    plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    lilv_node_free(uri);
  }
  static void TearDownTestSuite() {
    lilv_world_free(world);
    world = nullptr;
  }

  LilvNode *node(const char *uri) {
    nodes.push_back(lilv_new_uri(world, uri));
    return nodes.back();
  }
  void TearDown() override {
    for (LilvNode *n : nodes) {
      lilv_node_free(n);
    }
  }

  static LilvWorld *world;
  static const LilvPlugin *plugin;
  std::vector<LilvNode *> nodes;
};
LilvWorld *HostView::world = nullptr;
const LilvPlugin *HostView::plugin = nullptr;

struct Expected {
  const char *symbol;
  const char *name;
  bool input;
  bool audio;
  float min, max, def;
};

// What a host shows for each port, by index.
const Expected expected_ports[] = {
    {"in", "In", true, true, NAN, NAN, NAN},          {"out", "Out", false, true, NAN, NAN, NAN},
    {"freeze", "Freeze", true, false, 0, 1, 0},       {"mix", "Mix", true, false, 0, 1, 1},
    {"blur", "Blur", true, false, 0, 1, 0},           {"shift", "Shift", true, false, -1, 1, 0},
    {"threshold", "Threshold", true, false, 0, 1, 0},
};

TEST_F(HostView, PluginIsListedAsASpectralEffect) {
  ASSERT_NE(plugin, nullptr) << "no " << plugin_uri << " in " << QUORVANE_BUNDLE_DIR;
  // Hosts sort their plugin menus by this class, which lilv derives from
  // the class hierarchy of LV2 core.
  const LilvPluginClass *cls = lilv_plugin_get_class(plugin);
  EXPECT_STREQ(lilv_node_as_uri(lilv_plugin_class_get_uri(cls)), LV2_CORE__SpectralPlugin);
  EXPECT_STREQ(lilv_node_as_string(lilv_plugin_class_get_label(cls)), "Spectral Plugin");
}

TEST_F(HostView, PortsHaveNamesAndHelpText) {
  ASSERT_NE(plugin, nullptr);
  ASSERT_EQ(lilv_plugin_get_num_ports(plugin), 7u);
  for (uint32_t i = 0; i < 7; ++i) {
    const Expected &e = expected_ports[i];
    SCOPED_TRACE(e.symbol);
    const LilvPort *port = lilv_plugin_get_port_by_index(plugin, i);
    LilvNode *name = lilv_port_get_name(plugin, port);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(lilv_node_as_string(name), e.name);
    lilv_node_free(name);
    LilvNodes *comment = lilv_port_get_value(plugin, port, node(LILV_NS_RDFS "comment"));
    EXPECT_EQ(lilv_nodes_size(comment), 1u);
    lilv_nodes_free(comment);
  }
}

TEST_F(HostView, PortPropertiesAndUnits) {
  ASSERT_NE(plugin, nullptr);
  auto port = [&](const char *symbol) {
    LilvNode *s = lilv_new_string(world, symbol);
    const LilvPort *p = lilv_plugin_get_port_by_symbol(plugin, s);
    lilv_node_free(s);
    return p;
  };
  auto has = [&](const char *symbol, const char *property) {
    return lilv_port_has_property(plugin, port(symbol), node(property));
  };
  // Freeze is the only switch: hosts draw the others as continuous knobs.
  for (const char *s : {"mix", "blur", "shift", "threshold"}) {
    EXPECT_FALSE(has(s, LV2_CORE__toggled)) << s;
    EXPECT_FALSE(has(s, LV2_CORE__integer)) << s;
  }
  // All four are proportions: mix and threshold of the signal, blur of the
  // widest smear, shift of the largest shift (none is a count of bins).
  for (const char *s : {"mix", "blur", "shift", "threshold"}) {
    LilvNodes *unit = lilv_port_get_value(plugin, port(s), node(units_unit));
    ASSERT_EQ(lilv_nodes_size(unit), 1u) << s;
    EXPECT_STREQ(lilv_node_as_uri(lilv_nodes_get_first(unit)), units_coef) << s;
    lilv_nodes_free(unit);
  }
}

// A URID map, as a host provides to load state.
struct UridMap {
  std::vector<std::string> uris;
  static LV2_URID map(LV2_URID_Map_Handle h, const char *uri) {
    auto *self = static_cast<UridMap *>(h);
    for (size_t i = 0; i < self->uris.size(); ++i) {
      if (self->uris[i] == uri) {
        return static_cast<LV2_URID>(i + 1);
      }
    }
    self->uris.emplace_back(uri);
    return static_cast<LV2_URID>(self->uris.size());
  }
};

struct Preset {
  const char *label;
  std::map<std::string, float> values;
};

// The presets the bundle ships, with every control they set.
const std::map<std::string, Preset> expected_presets = {
    {"frozen-pad",
     {"Frozen pad", {{"freeze", 0}, {"mix", 1}, {"blur", 0.25f}, {"shift", 0}, {"threshold", 0}}}},
    {"smeared-wash",
     {"Smeared wash",
      {{"freeze", 0}, {"mix", 0.7f}, {"blur", 0.8f}, {"shift", 0}, {"threshold", 0}}}},
    {"shifted-shimmer",
     {"Shifted shimmer",
      {{"freeze", 0}, {"mix", 0.5f}, {"blur", 0.1f}, {"shift", 0.125f}, {"threshold", 0}}}},
    {"spectral-gate",
     {"Spectral gate",
      {{"freeze", 0}, {"mix", 1}, {"blur", 0}, {"shift", 0}, {"threshold", 0.05f}}}},
    {"sunken-skeleton",
     {"Sunken skeleton",
      {{"freeze", 0}, {"mix", 1}, {"blur", 0}, {"shift", -0.0625f}, {"threshold", 0.3f}}}},
};

struct Host {
  const LilvPlugin *plugin;
  float controls[7];
  uint32_t float_type;
  int set = 0;
  int bad_type = 0;
};

void set_port(const char *symbol, void *user, const void *value, uint32_t size, uint32_t type) {
  auto *host = static_cast<Host *>(user);
  if (type != host->float_type || size != sizeof(float)) {
    ++host->bad_type;
    return;
  }
  for (uint32_t i = 2; i < 7; ++i) {
    if (strcmp(expected_ports[i].symbol, symbol) == 0) {
      memcpy(&host->controls[i], value, sizeof(float));
      ++host->set;
    }
  }
}

TEST_F(HostView, EveryPresetLoadsAndAppliesToAnInstance) {
  ASSERT_NE(plugin, nullptr);
  UridMap urids;
  LV2_URID_Map map = {&urids, UridMap::map};
  LilvNodes *presets = lilv_plugin_get_related(plugin, node(LV2_PRESETS__Preset));
  EXPECT_EQ(lilv_nodes_size(presets), expected_presets.size());

  // A preset is often applied before any audio flows (a session loading), so
  // each goes to a fresh instance, which then hears 1 s of silence and only
  // then a signal: whatever it sets, that signal must come through.
  std::vector<float> silence(48000, 0.0f), in(4096), out(4096);
  for (size_t i = 0; i < in.size(); ++i) {
    in[i] = 0.5f * sinf(0.05f * static_cast<float>(i)) + 0.1f * sinf(0.71f * static_cast<float>(i));
  }
  size_t seen = 0;
  LILV_FOREACH(nodes, it, presets) {
    const LilvNode *preset = lilv_nodes_get(presets, it);
    const std::string uri = lilv_node_as_uri(preset);
    SCOPED_TRACE(uri);
    const size_t hash = uri.rfind('#');
    ASSERT_NE(hash, std::string::npos);
    ASSERT_EQ(uri.substr(0, hash), plugin_uri);
    const auto want = expected_presets.find(uri.substr(hash + 1));
    ASSERT_NE(want, expected_presets.end());
    ++seen;

    ASSERT_GE(lilv_world_load_resource(world, preset), 0);
    LilvNodes *labels = lilv_world_find_nodes(world, preset, node(LILV_NS_RDFS "label"), nullptr);
    ASSERT_EQ(lilv_nodes_size(labels), 1u);
    EXPECT_STREQ(lilv_node_as_string(lilv_nodes_get_first(labels)), want->second.label);
    lilv_nodes_free(labels);

    LilvState *state = lilv_state_new_from_world(world, &map, preset);
    ASSERT_NE(state, nullptr);
    EXPECT_STREQ(lilv_state_get_label(state), want->second.label);
    EXPECT_EQ(lilv_state_get_num_properties(state), 0u);

    // A live instance with every control at its default, then the preset.
    Host host{plugin, {0, 0, 0, 1, 0, 0, 0}, map.map(map.handle, LV2_ATOM__Float)};
    LilvInstance *instance = lilv_plugin_instantiate(plugin, 48000.0, nullptr);
    ASSERT_NE(instance, nullptr);
    for (uint32_t p = 2; p < 7; ++p) {
      lilv_instance_connect_port(instance, p, &host.controls[p]);
    }
    lilv_state_emit_port_values(state, set_port, &host);
    lilv_instance_activate(instance);
    lilv_instance_connect_port(instance, 0, silence.data());
    lilv_instance_connect_port(instance, 1, silence.data());
    lilv_instance_run(instance, static_cast<uint32_t>(silence.size()));
    lilv_instance_connect_port(instance, 0, in.data());
    lilv_instance_connect_port(instance, 1, out.data());
    EXPECT_EQ(host.bad_type, 0);
    EXPECT_EQ(host.set, 5) << "every preset sets all five controls";
    for (uint32_t p = 2; p < 7; ++p) {
      const Expected &e = expected_ports[p];
      EXPECT_EQ(host.controls[p], want->second.values.at(e.symbol)) << e.symbol;
      EXPECT_GE(host.controls[p], e.min) << e.symbol;
      EXPECT_LE(host.controls[p], e.max) << e.symbol;
    }
    EXPECT_LT(host.controls[2], 0.5f) << "no preset turns freeze on";
    lilv_instance_run(instance, 4096);
    bool finite = true;
    float energy = 0.0f;
    for (float v : out) {
      finite = finite && isfinite(v);
      energy += v * v;
    }
    EXPECT_TRUE(finite);
    // The input's RMS is about 0.36; a preset that held the silence (or gated
    // everything away) would leave 0 here.
    EXPECT_GT(sqrtf(energy / static_cast<float>(out.size())), 0.01f)
        << "a preset applied first must not silence the signal that follows";
    lilv_instance_deactivate(instance);
    lilv_instance_free(instance);
    lilv_state_free(state);
  }
  EXPECT_EQ(seen, expected_presets.size());
  lilv_nodes_free(presets);
}

} // namespace
