// The built bundle as an LV2 host sees it through lilv: the metadata that
// hosts read before loading anything, and an instance created by lilv that
// must sound exactly like one created by calling the library directly.
#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/core/lv2.h>
#include <lv2/port-props/port-props.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "host.hpp"
#include "signals.hpp"

namespace {

using namespace host;

class Bundle : public ::testing::Test {
protected:
  static LilvWorld *world;
  static const LilvPlugin *plugin;

  // Only the build tree and the core vocabulary are searched, so that an
  // installed copy of the plugin cannot stand in for the one just built.
  static void SetUpTestSuite() {
    std::string path = QUORVANE_LV2_DIR;
    if (*QUORVANE_LV2_CORE_DIR)
      path += std::string(":") + QUORVANE_LV2_CORE_DIR;
    setenv("LV2_PATH", path.c_str(), 1);
    world = lilv_world_new();
    lilv_world_load_all(world);
    plugin = find(descriptor(FIRST)->URI);
  }
  static void TearDownTestSuite() { lilv_world_free(world); }

  static const LilvPlugin *find(const char *uri) {
    LilvNode *node = lilv_new_uri(world, uri);
    const LilvPlugin *p = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), node);
    lilv_node_free(node);
    return p;
  }

  // Listed under its name as a spectral effect, and valid as lilv sees it.
  void expect_spectral_plugin(const LilvPlugin *p, const char *name) {
    EXPECT_TRUE(lilv_plugin_verify(p));
    LilvNode *n = lilv_plugin_get_name(p);
    EXPECT_STREQ(lilv_node_as_string(n), name);
    lilv_node_free(n);
    EXPECT_TRUE(has(lilv_plugin_get_uri(p), "http://www.w3.org/1999/02/22-rdf-syntax-ns#type",
                    LV2_CORE__SpectralPlugin));
  }

  void SetUp() override {
    ASSERT_NE(plugin, nullptr) << "no plugin " << descriptor()->URI << " under "
                               << QUORVANE_LV2_DIR;
  }

  bool has(const LilvNode *subject, const char *predicate, const char *object) {
    LilvNode *p = lilv_new_uri(world, predicate), *o = lilv_new_uri(world, object);
    const bool yes = lilv_world_ask(world, subject, p, o);
    lilv_node_free(p);
    lilv_node_free(o);
    return yes;
  }
  const LilvPort *port(uint32_t i) { return lilv_plugin_get_port_by_index(plugin, i); }
  bool port_is(uint32_t i, const char *cls) {
    LilvNode *c = lilv_new_uri(world, cls);
    const bool yes = lilv_port_is_a(plugin, port(i), c);
    lilv_node_free(c);
    return yes;
  }
};

LilvWorld *Bundle::world = nullptr;
const LilvPlugin *Bundle::plugin = nullptr;

TEST_F(Bundle, DescribesThePluginAndPointsAtTheBuiltLibrary) {
  expect_spectral_plugin(plugin, "quorvane");
  EXPECT_FALSE(lilv_plugin_has_latency(plugin)) << "the wet delay is not reported, by design";

  LilvNodes *optional = lilv_plugin_get_optional_features(plugin);
  LilvNode *rt = lilv_new_uri(world, LV2_CORE__hardRTCapable);
  EXPECT_TRUE(lilv_nodes_contains(optional, rt));
  lilv_node_free(rt);
  lilv_nodes_free(optional);
  LilvNodes *required = lilv_plugin_get_required_features(plugin);
  EXPECT_EQ(lilv_nodes_size(required), 0u);
  lilv_nodes_free(required);

  for (auto get : {lilv_plugin_get_author_name, lilv_plugin_get_author_email,
                   lilv_plugin_get_author_homepage}) {
    LilvNode *n = get(plugin);
    EXPECT_NE(n, nullptr);
    lilv_node_free(n);
  }

  char *lib = lilv_file_uri_parse(lilv_node_as_uri(lilv_plugin_get_library_uri(plugin)), nullptr);
  char a[PATH_MAX], b[PATH_MAX];
  ASSERT_NE(realpath(lib, a), nullptr) << lib;
  ASSERT_NE(realpath(QUORVANE_LIB, b), nullptr);
  EXPECT_STREQ(a, b);
  lilv_free(lib);
}

TEST_F(Bundle, Ports) {
  struct Want {
    const char *symbol;
    const char *direction;
    const char *kind;
    float def, min, max;
  };
  const Want want[] = {
      {"in", LV2_CORE__InputPort, LV2_CORE__AudioPort, NAN, NAN, NAN},
      {"out", LV2_CORE__OutputPort, LV2_CORE__AudioPort, NAN, NAN, NAN},
      {"freeze", LV2_CORE__InputPort, LV2_CORE__ControlPort, 0, 0, 1},
      {"mix", LV2_CORE__InputPort, LV2_CORE__ControlPort, 1, 0, 1},
      {"blur", LV2_CORE__InputPort, LV2_CORE__ControlPort, 0, 0, 1},
      {"shift", LV2_CORE__InputPort, LV2_CORE__ControlPort, 0, -1, 1},
      {"threshold", LV2_CORE__InputPort, LV2_CORE__ControlPort, 0, 0, 1},
  };
  ASSERT_EQ(lilv_plugin_get_num_ports(plugin), 7u);
  for (uint32_t i = 0; i < 7; ++i) {
    const Want &w = want[i];
    SCOPED_TRACE(w.symbol);
    EXPECT_STREQ(lilv_node_as_string(lilv_port_get_symbol(plugin, port(i))), w.symbol);
    EXPECT_EQ(lilv_port_get_index(plugin, port(i)), i);
    EXPECT_TRUE(port_is(i, w.direction));
    EXPECT_TRUE(port_is(i, w.kind));
    LilvNode *name = lilv_port_get_name(plugin, port(i));
    EXPECT_NE(name, nullptr);
    lilv_node_free(name);
    if (std::isnan(w.def))
      continue;
    LilvNode *def, *min, *max;
    lilv_port_get_range(plugin, port(i), &def, &min, &max);
    ASSERT_TRUE(def && min && max);
    EXPECT_EQ(lilv_node_as_float(def), w.def);
    EXPECT_EQ(lilv_node_as_float(min), w.min);
    EXPECT_EQ(lilv_node_as_float(max), w.max);
    lilv_node_free(def);
    lilv_node_free(min);
    lilv_node_free(max);
  }

  const LilvNode *freeze = lilv_port_get_node(plugin, port(FREEZE));
  EXPECT_TRUE(has(freeze, LV2_CORE__portProperty, LV2_CORE__toggled));
  EXPECT_TRUE(has(freeze, LV2_CORE__portProperty, LV2_CORE__integer));
  LilvNode *steps_uri = lilv_new_uri(world, LV2_PORT_PROPS__rangeSteps);
  LilvNodes *steps = lilv_port_get_value(plugin, port(SHIFT), steps_uri);
  ASSERT_EQ(lilv_nodes_size(steps), 1u);
  EXPECT_EQ(lilv_node_as_int(lilv_nodes_get_first(steps)), 257);
  lilv_nodes_free(steps);
  lilv_node_free(steps_uri);
}

// The bundle's Turtle is generated from a list of plugins: the library and
// the bundle must name the same plugins, and every preset must apply to each.
TEST_F(Bundle, ListsEveryPluginOfTheLibraryWithEveryPreset) {
  LilvNode *preset_class = lilv_new_uri(world, "http://lv2plug.in/ns/ext/presets#Preset");
  LilvNodes *first_presets = lilv_plugin_get_related(plugin, preset_class);
  EXPECT_GT(lilv_nodes_size(first_presets), 0u);
  uint32_t count = 0;
  for (; const LV2_Descriptor *d = descriptor(count); ++count) {
    SCOPED_TRACE(d->URI);
    const LilvPlugin *p = find(d->URI);
    ASSERT_NE(p, nullptr) << "a plugin of the library is missing from bundle/plugins.cmake";
    EXPECT_TRUE(
        lilv_node_equals(lilv_plugin_get_library_uri(p), lilv_plugin_get_library_uri(plugin)));
    LilvNodes *presets = lilv_plugin_get_related(p, preset_class);
    EXPECT_EQ(lilv_nodes_size(presets), lilv_nodes_size(first_presets));
    LILV_FOREACH(nodes, i, first_presets) {
      EXPECT_TRUE(lilv_nodes_contains(presets, lilv_nodes_get(first_presets, i)));
    }
    lilv_nodes_free(presets);
  }
  EXPECT_GE(count, 2u);
  uint32_t ours = 0;
  const LilvPlugins *all = lilv_world_get_all_plugins(world);
  LILV_FOREACH(plugins, i, all) {
    const LilvNode *lib = lilv_plugin_get_library_uri(lilv_plugins_get(all, i));
    ours += lib && lilv_node_equals(lib, lilv_plugin_get_library_uri(plugin));
  }
  EXPECT_EQ(ours, count) << "the bundle describes a plugin that the library does not have";
  lilv_nodes_free(first_presets);
  lilv_node_free(preset_class);
}

// An instance made by lilv, driven the same way through Rig<>.
struct ViaLilv {
  static const LilvPlugin *plugin;
  LilvInstance *inst = lilv_plugin_instantiate(plugin, 44100.0, nullptr);
  ViaLilv() { lilv_instance_activate(inst); }
  ~ViaLilv() {
    lilv_instance_deactivate(inst);
    lilv_instance_free(inst);
  }
  void connect(uint32_t port, float *data) { lilv_instance_connect_port(inst, port, data); }
  void run(uint32_t n) { lilv_instance_run(inst, n); }
};
const LilvPlugin *ViaLilv::plugin = nullptr;

TEST_F(Bundle, InstanceThroughLilvSoundsLikeDirectCalls) {
  ViaLilv::plugin = plugin;
  Rig<ViaLilv> hosted;
  ASSERT_NE(hosted.p.inst, nullptr);
  Rig<Instance> direct;
  const sig::Buf in = sig::add({sig::noise(20000, 31), sig::tone(20000, 30.0)});
  sig::Buf a(in.size()), b(in.size());
  const float settings[][5] = {
      {0, 1, 0, 0, 0}, {1, 0.8f, 0.3f, -0.2f, 0.05f}, {0, 0.6f, 0.1f, 0.5f, 0.2f}};
  for (size_t i = 0, s = 0; i < in.size(); i += 1500, ++s) {
    for (uint32_t c = 0; c < 5; ++c) {
      hosted.set(FREEZE + c, settings[s % 3][c]);
      direct.set(FREEZE + c, settings[s % 3][c]);
    }
    const uint32_t n = (uint32_t)std::min<size_t>(1500, in.size() - i);
    hosted.block(in.data() + i, a.data() + i, n);
    direct.block(in.data() + i, b.data() + i, n);
  }
  EXPECT_TRUE(sig::same(a, b));
  EXPECT_GT(sig::rms(a, 1024, a.size()), 0.01);
}

// The aligned plugin: the same seven ports as the first, then a latency
// output that hosts find through lilv and that an instance fills in.
TEST_F(Bundle, AlignedPluginHasTheSamePortsPlusALatencyOutput) {
  const LilvPlugin *aligned = find(descriptor(ALIGNED)->URI);
  ASSERT_NE(aligned, nullptr);
  expect_spectral_plugin(aligned, "quorvane aligned");
  EXPECT_TRUE(
      lilv_node_equals(lilv_plugin_get_library_uri(aligned), lilv_plugin_get_library_uri(plugin)));

  ASSERT_EQ(lilv_plugin_get_num_ports(aligned), 8u);
  float lo[2][8], hi[2][8], def[2][8]; // NaN where a port declares none
  lilv_plugin_get_port_ranges_float(aligned, lo[0], hi[0], def[0]);
  lilv_plugin_get_port_ranges_float(plugin, lo[1], hi[1], def[1]);
  for (uint32_t i = 0; i < 7; ++i) {
    const LilvPort *a = lilv_plugin_get_port_by_index(aligned, i);
    EXPECT_TRUE(
        lilv_node_equals(lilv_port_get_symbol(aligned, a), lilv_port_get_symbol(plugin, port(i))));
    for (auto *v : {lo, hi, def})
      EXPECT_EQ(sig::bits(v[0][i]), sig::bits(v[1][i])) << "port " << i;
  }
  EXPECT_TRUE(lilv_plugin_has_latency(aligned));
  EXPECT_EQ(lilv_plugin_get_latency_port_index(aligned), 7u);
  const LilvPort *latency = lilv_plugin_get_port_by_index(aligned, 7);
  EXPECT_STREQ(lilv_node_as_string(lilv_port_get_symbol(aligned, latency)), "latency");
  for (const char *cls : {LV2_CORE__OutputPort, LV2_CORE__ControlPort}) {
    LilvNode *c = lilv_new_uri(world, cls);
    EXPECT_TRUE(lilv_port_is_a(aligned, latency, c)) << cls;
    lilv_node_free(c);
  }
  EXPECT_TRUE(has(lilv_port_get_node(aligned, latency), LV2_CORE__portProperty, LV2_CORE__integer));

  LilvInstance *inst = lilv_plugin_instantiate(aligned, 48000.0, nullptr);
  ASSERT_NE(inst, nullptr);
  float reported = -1.0f;
  lilv_instance_connect_port(inst, 7, &reported);
  lilv_instance_run(inst, 0);
  EXPECT_EQ(reported, 1024.0f);
  lilv_instance_free(inst);
}

} // namespace
