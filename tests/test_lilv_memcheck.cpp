// A host's whole life through lilv, kept small so that valgrind can watch
// it: load the bundle, instantiate, connect, run, free everything.
#include <math.h>
#include <stdio.h>

#include <lilv/lilv.h>

int main() {
  LilvWorld *world = lilv_world_new();
  LilvNode *bundle = lilv_new_file_uri(world, nullptr, QUORVANE_BUNDLE "/");
  lilv_world_load_bundle(world, bundle);
  LilvNode *uri = lilv_new_uri(world, "http://quorvane.audio/lv2/quorvane");
  const LilvPlugin *plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
  int failures = 0;
  if (!plugin) {
    fprintf(stderr, "plugin not found in %s\n", QUORVANE_BUNDLE);
    failures = 1;
  } else {
    for (int copy = 0; copy < 2; ++copy) {
      LilvInstance *instance = lilv_plugin_instantiate(plugin, 48000.0, nullptr);
      if (!instance) {
        fprintf(stderr, "instantiation failed\n");
        failures = 1;
        break;
      }
      float in[700];
      float out[700];
      float controls[5] = {0.0f, 0.7f, 0.3f, 0.1f, 0.05f}; // freeze mix blur shift threshold
      lilv_instance_connect_port(instance, 0, in);
      lilv_instance_connect_port(instance, 1, copy ? in : out);
      for (uint32_t p = 2; p < 7; ++p) {
        lilv_instance_connect_port(instance, p, &controls[p - 2]);
      }
      for (int block = 0; block < 40; ++block) {
        for (int i = 0; i < 700; ++i) {
          in[i] = sinf(0.05f * static_cast<float>(block * 700 + i));
        }
        controls[0] = (block / 8) % 2 ? 1.0f : 0.0f;
        lilv_instance_run(instance, 700);
        const float *result = copy ? in : out;
        for (int i = 0; i < 700; ++i) {
          if (!(fabsf(result[i]) < 100.0f)) {
            failures = 1;
          }
        }
      }
      lilv_instance_free(instance);
    }
  }
  lilv_node_free(uri);
  lilv_node_free(bundle);
  lilv_world_free(world);
  if (failures) {
    fprintf(stderr, "lilv host life failed\n");
  }
  return failures;
}
