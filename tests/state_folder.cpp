// A saved session for tests/jalv-host.sh, as a host saves one: the plugin,
// loaded through lilv, hears a chord for a second and freeze turns on
// halfway; then its state (what it holds, and its controls) is saved into a
// folder, as jalv's `-l DIR` and the hosts of the boards read it back.
//
//   state_folder URI DIR HZ[+HZ...]   (LV2_PATH says where the bundle is)
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

std::vector<std::string> uris;
LV2_URID map(LV2_URID_Map_Handle, const char *uri) {
  for (size_t i = 0; i < uris.size(); ++i)
    if (uris[i] == uri)
      return static_cast<LV2_URID>(i + 1);
  uris.emplace_back(uri);
  return static_cast<LV2_URID>(uris.size());
}
const char *unmap(LV2_URID_Unmap_Handle, LV2_URID urid) {
  return urid >= 1 && urid <= uris.size() ? uris[urid - 1].c_str() : nullptr;
}

std::map<std::string, float *> controls; // by symbol
const void *port_value(const char *symbol, void *, uint32_t *size, uint32_t *type) {
  *size = sizeof(float);
  *type = map(nullptr, LV2_ATOM__Float);
  return controls.count(symbol) ? controls[symbol] : nullptr;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: state_folder URI DIR HZ[+HZ...]\n");
    return 2;
  }
  std::vector<double> chord;
  for (char *s = argv[3], *end;; s = end + 1) {
    chord.push_back(std::strtod(s, &end));
    if (end == s || *end != '+')
      break;
  }
  LilvWorld *world = lilv_world_new();
  lilv_world_load_all(world);
  LilvNode *uri = lilv_new_uri(world, argv[1]);
  const LilvPlugin *plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
  LV2_URID_Map urid_map = {nullptr, map};
  LV2_URID_Unmap urid_unmap = {nullptr, unmap};
  const LV2_Feature map_feature = {LV2_URID__map, &urid_map};
  const LV2_Feature unmap_feature = {LV2_URID__unmap, &urid_unmap};
  const LV2_Feature *features[] = {&map_feature, &unmap_feature, nullptr};
  const double rate = 48000;
  LilvInstance *instance = plugin ? lilv_plugin_instantiate(plugin, rate, features) : nullptr;
  if (!instance) {
    std::fprintf(stderr, "state_folder: cannot load %s\n", argv[1]);
    return 1;
  }

  // Audio inputs play the chord, controls sit at their defaults.
  constexpr uint32_t block = 256;
  const uint32_t count = lilv_plugin_get_num_ports(plugin);
  std::vector<float> values(count, 0.0f), in(block), out(block);
  LilvNode *audio = lilv_new_uri(world, LILV_URI_AUDIO_PORT);
  LilvNode *input = lilv_new_uri(world, LILV_URI_INPUT_PORT);
  for (uint32_t i = 0; i < count; ++i) {
    const LilvPort *port = lilv_plugin_get_port_by_index(plugin, i);
    if (lilv_port_is_a(plugin, port, audio)) {
      lilv_instance_connect_port(instance, i,
                                 lilv_port_is_a(plugin, port, input) ? in.data() : out.data());
      continue;
    }
    LilvNode *def = nullptr;
    lilv_port_get_range(plugin, port, &def, nullptr, nullptr);
    values[i] = def ? lilv_node_as_float(def) : 0.0f;
    lilv_node_free(def);
    lilv_instance_connect_port(instance, i, &values[i]);
    controls[lilv_node_as_string(lilv_port_get_symbol(plugin, port))] = &values[i];
  }
  if (!controls.count("freeze")) {
    std::fprintf(stderr, "state_folder: %s has no freeze\n", argv[1]);
    return 1;
  }

  lilv_instance_activate(instance);
  for (uint32_t n = 0; n < rate; n += block) {
    *controls["freeze"] = n >= rate / 2 ? 1.0f : 0.0f;
    for (uint32_t k = 0; k < block; ++k) {
      double x = 0;
      for (double hz : chord)
        x += std::sin(2 * M_PI * hz * (n + k) / rate);
      in[k] = static_cast<float>(0.5 * x / static_cast<double>(chord.size()));
    }
    lilv_instance_run(instance, block);
  }
  LilvState *state =
      lilv_state_new_from_instance(plugin, instance, &urid_map, nullptr, nullptr, nullptr, argv[2],
                                   port_value, nullptr, LV2_STATE_IS_POD, nullptr);
  const int failed = !state || lilv_state_save(world, &urid_map, &urid_unmap, state, nullptr,
                                               argv[2], "state.ttl");
  if (failed)
    std::fprintf(stderr, "state_folder: cannot save into %s\n", argv[2]);
  lilv_state_free(state);
  lilv_instance_deactivate(instance);
  lilv_instance_free(instance);
  lilv_node_free(audio);
  lilv_node_free(input);
  lilv_node_free(uri);
  lilv_world_free(world);
  return failed;
}
