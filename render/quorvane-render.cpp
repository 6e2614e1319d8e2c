// quorvane-render: renders a sound file through an LV2 plugin as a host does,
// with controls that may change at given times.
//
//   quorvane-render [options] INPUT OUTPUT [SYMBOL=VALUE[@TIME]]...
//
// The plugin is found through lilv (LV2_PATH, or one bundle with --bundle),
// instantiated at the input's sample rate and run in blocks. A block is cut
// wherever a control changes, so every change lands on its exact sample. The
// output goes to a temporary file beside OUTPUT and is renamed over it only
// when everything went well: a failed or interrupted run leaves no output.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/presets/presets.h>
#include <lv2/urid/urid.h>
#include <sndfile.h>

namespace {

constexpr const char *default_uri = "http://quorvane.audio/lv2/quorvane";
constexpr long max_block = 1 << 20;

// Exit statuses: 2 for a command line that cannot be carried out as given
// (unknown option, symbol or value, time past the end), 1 for a failure while
// doing it (unreadable input, plugin not found, write error), 130 when
// interrupted.
constexpr int exit_usage = 2;
constexpr int exit_failure = 1;

const char *usage_text =
    "usage: quorvane-render [options] INPUT OUTPUT [SYMBOL=VALUE[@TIME]]...\n"
    "\n"
    "Renders INPUT through the plugin into OUTPUT (32-bit float WAV, same rate).\n"
    "\n"
    "  SYMBOL=VALUE        set a control from the start, e.g. blur=0.5\n"
    "  SYMBOL=VALUE@TIME   change it at TIME: 1.5s, 250ms, or a sample index (48000)\n"
    "\n"
    "options:\n"
    "  --bundle DIR    load the plugin from this bundle only (default: search LV2_PATH)\n"
    "  --uri URI       plugin to run (default "
    "http://quorvane.audio/lv2/quorvane"
    ")\n"
    "  --block N       samples per run call, 1 to 1048576 (default 512)\n"
    "  --vary-blocks   block sizes vary from 1 to N, reproducibly\n"
    "  --tail TIME     append TIME of silence to the input (e.g. 1024 to flush the delay)\n"
    "  --preset NAME   start from one of the plugin's presets (its label or URI);\n"
    "                  settings on the command line then apply on top of it\n"
    "  --downmix       average the channels of a multichannel input (default: refuse it)\n"
    "  --progress      show progress even when stderr is not a terminal\n"
    "  -h, --help      show this help\n"
    "\n"
    "Exit status: 0 done, 1 failed (files, audio, plugin), 2 bad command line.\n"
    "On failure OUTPUT is left untouched.\n";

volatile sig_atomic_t interrupted = 0;
bool progress_line_open = false; // a message must then start on a new line
void on_signal(int) { interrupted = 1; }

struct Failure {
  int status;
  std::string message;
};

[[noreturn]] void fail(int status, const char *fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  // clang-tidy 14 loses track of va_start here; the list is initialised.
  vsnprintf(buf, sizeof buf, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(ap);
  throw Failure{status, buf};
}

struct Options {
  std::string input;
  std::string output;
  std::string bundle;
  std::string uri = default_uri;
  long block = 512;
  bool vary = false;
  bool downmix = false;
  bool progress = false;
  std::string tail = "0";
  std::string preset;
  std::vector<std::string> settings;
};

bool parse_long(const char *s, long *out) {
  if (!*s) {
    return false;
  }
  char *end = nullptr;
  errno = 0;
  const long v = strtol(s, &end, 10);
  if (errno || *end) {
    return false;
  }
  *out = v;
  return true;
}

// TIME: "1.5s", "250ms" or a whole number of samples. Returns -1 if malformed.
long long parse_time(const std::string &text, double rate) {
  const char *s = text.c_str();
  if (!*s || *s == '-' || *s == '+') {
    return -1;
  }
  char *end = nullptr;
  errno = 0;
  const double v = strtod(s, &end);
  if (errno || end == s || !std::isfinite(v) || v < 0) {
    return -1;
  }
  const std::string unit(end);
  double samples;
  if (unit.empty()) {
    // A bare number is a sample index and must be whole.
    if (text.find_first_not_of("0123456789") != std::string::npos) {
      return -1;
    }
    samples = v;
  } else if (unit == "s") {
    samples = v * rate;
  } else if (unit == "ms") {
    samples = v * rate / 1000.0;
  } else {
    return -1;
  }
  if (samples > 9.0e15) {
    return -1;
  }
  return llround(samples);
}

Options parse_args(int argc, char **argv) {
  Options o;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char *name) -> std::string {
      if (i + 1 >= argc) {
        fail(exit_usage, "%s needs a value", name);
      }
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      fputs(usage_text, stdout);
      exit(0);
    } else if (a == "--bundle") {
      o.bundle = value("--bundle");
    } else if (a == "--uri") {
      o.uri = value("--uri");
    } else if (a == "--block") {
      const std::string v = value("--block");
      if (!parse_long(v.c_str(), &o.block) || o.block < 1 || o.block > max_block) {
        fail(exit_usage, "--block %s: expected a whole number from 1 to %ld", v.c_str(), max_block);
      }
    } else if (a == "--vary-blocks") {
      o.vary = true;
    } else if (a == "--tail") {
      o.tail = value("--tail");
    } else if (a == "--preset") {
      o.preset = value("--preset");
    } else if (a == "--downmix") {
      o.downmix = true;
    } else if (a == "--progress") {
      o.progress = true;
    } else if (a == "--") {
      for (++i; i < argc; ++i) {
        positional.push_back(argv[i]);
      }
    } else if (a.size() > 1 && a[0] == '-' && a.find('=') == std::string::npos) {
      fail(exit_usage, "unknown option %s (see --help)", a.c_str());
    } else {
      positional.push_back(a);
    }
  }
  // The first two plain arguments are the files, the rest settings.
  if (positional.size() < 2) {
    fail(exit_usage, "need an INPUT and an OUTPUT file (see --help)");
  }
  o.input = positional[0];
  o.output = positional[1];
  for (size_t i = 2; i < positional.size(); ++i) {
    o.settings.push_back(positional[i]);
  }
  return o;
}

// One control change: at `frame`, port `port` takes `value`.
struct Event {
  long long frame;
  uint32_t port;
  float value;
};

// Frees the lilv world, the instance and the input and temporary output
// files, whatever way the program leaves.
struct Resources {
  LilvWorld *world = nullptr;
  LilvInstance *instance = nullptr;
  SNDFILE *in = nullptr;
  SNDFILE *out = nullptr;
  std::string tmp_path;
  bool activated = false;

  ~Resources() {
    if (instance) {
      if (activated) {
        lilv_instance_deactivate(instance);
      }
      lilv_instance_free(instance);
    }
    if (in) {
      sf_close(in);
    }
    if (out) {
      sf_close(out);
    }
    if (!tmp_path.empty()) {
      unlink(tmp_path.c_str());
    }
    if (world) {
      lilv_world_free(world);
    }
  }
};

// What the renderer connects a port to; UNUSED ports (optional ones of
// other kinds) stay unconnected.
enum PortKind { UNUSED, AUDIO_IN, AUDIO_OUT, CONTROL_IN, CONTROL_OUT };

struct Port {
  std::string symbol;
  float min, max, def;
};

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
  const std::vector<Port> *ports;
  const std::vector<PortKind> *kind;
  std::vector<float> *controls;
  LV2_URID float_type;
  std::string bad;
};

void set_from_preset(const char *symbol, void *user, const void *value, uint32_t size,
                     uint32_t type) {
  auto *t = static_cast<PresetTarget *>(user);
  for (size_t p = 0; p < t->ports->size(); ++p) {
    if ((*t->ports)[p].symbol == symbol && (*t->kind)[p] == CONTROL_IN) {
      if (type == t->float_type && size == sizeof(float)) {
        memcpy(&(*t->controls)[p], value, sizeof(float));
        return;
      }
      break;
    }
  }
  t->bad += std::string(" ") + symbol;
}

// Finds a preset of the plugin by label (any case) or URI and sets the
// controls it names, as a host does when the user picks it.
void apply_preset(LilvWorld *world, const LilvPlugin *plugin, const std::string &wanted,
                  const std::vector<Port> &ports, const std::vector<PortKind> &kind,
                  std::vector<float> &controls) {
  LilvNode *preset_class = lilv_new_uri(world, LV2_PRESETS__Preset);
  LilvNode *label_uri = lilv_new_uri(world, LILV_NS_RDFS "label");
  LilvNodes *presets = lilv_plugin_get_related(plugin, preset_class);
  lilv_node_free(preset_class);
  const LilvNode *found = nullptr;
  std::string names;
  LILV_FOREACH(nodes, it, presets) {
    const LilvNode *preset = lilv_nodes_get(presets, it);
    lilv_world_load_resource(world, preset);
    LilvNodes *labels = lilv_world_find_nodes(world, preset, label_uri, nullptr);
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
  LilvState *state = lilv_state_new_from_world(world, &map, found);
  lilv_nodes_free(presets);
  if (!state) {
    fail(exit_failure, "--preset %s: cannot be loaded", wanted.c_str());
  }
  PresetTarget target{&ports, &kind, &controls, UridMap::map(&urids, LV2_ATOM__Float), ""};
  lilv_state_emit_port_values(state, set_from_preset, &target);
  lilv_state_free(state);
  if (!target.bad.empty()) {
    fail(exit_failure, "--preset %s: sets what is not a control of the plugin:%s", wanted.c_str(),
         target.bad.c_str());
  }
}

std::string directory_of(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

int render(const Options &o) {
  Resources r;

  // Input first: its rate is needed to place times, and a missing or
  // unreadable file should be reported before anything else is done.
  SF_INFO info{};
  r.in = sf_open(o.input.c_str(), SFM_READ, &info);
  if (!r.in) {
    struct stat st;
    if (stat(o.input.c_str(), &st) != 0) {
      fail(exit_failure, "cannot open %s: %s", o.input.c_str(), strerror(errno));
    }
    fail(exit_failure, "cannot read %s as audio: %s", o.input.c_str(), sf_strerror(nullptr));
  }
  if (info.channels != 1 && !o.downmix) {
    fail(exit_usage,
         "%s has %d channels; the plugin is mono. Pass --downmix to render the average of the "
         "channels",
         o.input.c_str(), info.channels);
  }
  const double rate = info.samplerate;
  const long long frames = info.frames;
  const long long tail = parse_time(o.tail, rate);
  if (tail < 0) {
    fail(exit_usage, "--tail %s: expected a time such as 1.5s, 250ms or 1024 (samples)",
         o.tail.c_str());
  }
  const long long total = frames + tail;

  // The plugin, found exactly as a host finds it.
  r.world = lilv_world_new();
  if (!o.bundle.empty()) {
    struct stat st;
    if (stat(o.bundle.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      fail(exit_failure, "bundle %s: not a directory", o.bundle.c_str());
    }
    char *abs = realpath(o.bundle.c_str(), nullptr);
    std::string dir = abs ? abs : o.bundle;
    free(abs);
    if (dir.back() != '/') {
      dir += '/'; // lilv wants bundle URIs to end with a slash
    }
    LilvNode *bundle = lilv_new_file_uri(r.world, nullptr, dir.c_str());
    lilv_world_load_bundle(r.world, bundle);
    lilv_node_free(bundle);
  } else {
    lilv_world_load_all(r.world);
  }
  LilvNode *uri = lilv_new_uri(r.world, o.uri.c_str());
  if (!uri) {
    fail(exit_usage, "--uri %s: not a URI", o.uri.c_str());
  }
  const LilvPlugin *plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(r.world), uri);
  lilv_node_free(uri);
  if (!plugin) {
    if (!o.bundle.empty()) {
      fail(exit_failure, "plugin %s not found in bundle %s", o.uri.c_str(), o.bundle.c_str());
    }
    const char *path = getenv("LV2_PATH");
    fail(exit_failure, "plugin %s not found (LV2_PATH=%s); build it or pass --bundle DIR",
         o.uri.c_str(), path ? path : "unset, so the default locations");
  }
  {
    LilvNodes *required = lilv_plugin_get_required_features(plugin);
    const unsigned n = lilv_nodes_size(required);
    lilv_nodes_free(required);
    if (n) {
      fail(exit_failure, "plugin %s requires host features this renderer does not offer",
           o.uri.c_str());
    }
  }

  LilvNode *input_class = lilv_new_uri(r.world, LV2_CORE__InputPort);
  LilvNode *audio_class = lilv_new_uri(r.world, LV2_CORE__AudioPort);
  LilvNode *control_class = lilv_new_uri(r.world, LV2_CORE__ControlPort);
  LilvNode *optional = lilv_new_uri(r.world, LV2_CORE__connectionOptional);
  const uint32_t nports = lilv_plugin_get_num_ports(plugin);
  std::vector<float> mins(nports), maxs(nports), defs(nports);
  lilv_plugin_get_port_ranges_float(plugin, mins.data(), maxs.data(), defs.data());
  std::vector<Port> ports(nports);
  std::vector<float> controls(nports, 0.0f);
  std::vector<PortKind> kind(nports, UNUSED);
  int audio_in = -1, audio_out = -1;
  std::string control_names;
  for (uint32_t p = 0; p < nports; ++p) {
    const LilvPort *port = lilv_plugin_get_port_by_index(plugin, p);
    ports[p] = {lilv_node_as_string(lilv_port_get_symbol(plugin, port)), mins[p], maxs[p], defs[p]};
    const bool input = lilv_port_is_a(plugin, port, input_class);
    if (lilv_port_is_a(plugin, port, audio_class)) {
      kind[p] = input ? AUDIO_IN : AUDIO_OUT;
      int &slot = input ? audio_in : audio_out;
      if (slot >= 0) {
        fail(exit_failure, "plugin %s is not mono: it has more than one audio %s", o.uri.c_str(),
             input ? "input" : "output");
      }
      slot = static_cast<int>(p);
    } else if (lilv_port_is_a(plugin, port, control_class)) {
      kind[p] = input ? CONTROL_IN : CONTROL_OUT;
      controls[p] = std::isnan(defs[p]) ? (std::isnan(mins[p]) ? 0.0f : mins[p]) : defs[p];
      if (input) {
        control_names += " " + ports[p].symbol;
      }
    } else if (!lilv_port_has_property(plugin, port, optional)) {
      fail(exit_failure, "plugin %s has a port (%s) of a kind this renderer cannot feed",
           o.uri.c_str(), ports[p].symbol.c_str());
    }
  }
  lilv_node_free(input_class);
  lilv_node_free(audio_class);
  lilv_node_free(control_class);
  lilv_node_free(optional);
  if (audio_in < 0 || audio_out < 0) {
    fail(exit_failure, "plugin %s needs one audio input and one audio output", o.uri.c_str());
  }

  if (!o.preset.empty()) {
    apply_preset(r.world, plugin, o.preset, ports, kind, controls);
  }

  // Settings: SYMBOL=VALUE or SYMBOL=VALUE@TIME, checked against the ports
  // the plugin declares.
  std::vector<Event> events;
  for (const std::string &s : o.settings) {
    const size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0) {
      fail(exit_usage, "%s: expected SYMBOL=VALUE or SYMBOL=VALUE@TIME", s.c_str());
    }
    const std::string symbol = s.substr(0, eq);
    const size_t at = s.find('@', eq);
    const std::string value_text =
        s.substr(eq + 1, at == std::string::npos ? std::string::npos : at - eq - 1);
    uint32_t port = nports;
    for (uint32_t p = 0; p < nports; ++p) {
      if (ports[p].symbol == symbol && kind[p] == CONTROL_IN) {
        port = p;
      }
    }
    if (port == nports) {
      fail(exit_usage, "%s: unknown control '%s'; the controls are:%s", s.c_str(), symbol.c_str(),
           control_names.c_str());
    }
    char *end = nullptr;
    errno = 0;
    const float value = strtof(value_text.c_str(), &end);
    if (value_text.empty() || *end || errno || !std::isfinite(value)) {
      fail(exit_usage, "%s: '%s' is not a number", s.c_str(), value_text.c_str());
    }
    const Port &pt = ports[port];
    if ((!std::isnan(pt.min) && value < pt.min) || (!std::isnan(pt.max) && value > pt.max)) {
      fail(exit_usage, "%s: out of range; %s takes %g to %g", s.c_str(), symbol.c_str(), pt.min,
           pt.max);
    }
    long long frame = 0;
    if (at != std::string::npos) {
      const std::string time_text = s.substr(at + 1);
      frame = parse_time(time_text, rate);
      if (frame < 0) {
        fail(exit_usage, "%s: '%s' is not a time; use 1.5s, 250ms or a sample index", s.c_str(),
             time_text.c_str());
      }
      if (frame > 0 && frame >= total) {
        fail(exit_usage, "%s: sample %lld is past the end of the input (%lld samples, %.3f s)",
             s.c_str(), frame, total, static_cast<double>(total) / rate);
      }
    }
    events.push_back({frame, port, value});
  }
  // Same-time changes of one control keep their command-line order.
  std::stable_sort(events.begin(), events.end(),
                   [](const Event &a, const Event &b) { return a.frame < b.frame; });

  // Everything is checked; now the output, through a temporary file in the
  // same directory so the final rename cannot cross file systems.
  const std::string dir = directory_of(o.output);
  std::string base =
      o.output.substr(o.output.rfind('/') == std::string::npos ? 0 : o.output.rfind('/') + 1);
  if (base.empty()) {
    fail(exit_usage, "%s: the output must be a file name", o.output.c_str());
  }
  std::string tmpl = dir + "/." + base + ".XXXXXX";
  std::vector<char> tmp(tmpl.begin(), tmpl.end());
  tmp.push_back('\0');
  const int fd = mkstemp(tmp.data());
  if (fd < 0) {
    fail(exit_failure, "cannot write in %s: %s", dir.c_str(), strerror(errno));
  }
  r.tmp_path = tmp.data();
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask); // as the file would be if created directly
  SF_INFO out_info{};
  out_info.samplerate = info.samplerate;
  out_info.channels = 1;
  out_info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  r.out = sf_open_fd(fd, SFM_WRITE, &out_info, SF_TRUE);
  if (!r.out) {
    close(fd);
    fail(exit_failure, "cannot write %s: %s", o.output.c_str(), sf_strerror(nullptr));
  }

  r.instance = lilv_plugin_instantiate(plugin, rate, nullptr);
  if (!r.instance) {
    fail(exit_failure, "plugin %s could not be instantiated", o.uri.c_str());
  }
  const size_t cap = static_cast<size_t>(o.block);
  std::vector<float> in_buf(cap), out_buf(cap), raw(cap * info.channels);
  std::vector<float> control_out(nports, 0.0f);
  for (uint32_t p = 0; p < nports; ++p) {
    void *data = nullptr;
    switch (kind[p]) {
    case AUDIO_IN: data = in_buf.data(); break;
    case AUDIO_OUT: data = out_buf.data(); break;
    case CONTROL_IN: data = &controls[p]; break;
    case CONTROL_OUT: data = &control_out[p]; break;
    case UNUSED: break;
    }
    lilv_instance_connect_port(r.instance, p, data);
  }
  lilv_instance_activate(r.instance);
  r.activated = true;

  const bool show = o.progress || isatty(STDERR_FILENO);
  int shown = -1;
  uint32_t seed = 0x2545F491u; // fixed, so a varying-block render is reproducible
  size_t next = 0;
  long long pos = 0;
  while (pos < total) {
    if (interrupted) {
      fail(130, "interrupted; %s not written", o.output.c_str());
    }
    while (next < events.size() && events[next].frame == pos) {
      controls[events[next].port] = events[next].value;
      ++next;
    }
    long long n = o.block;
    if (o.vary) {
      seed = seed * 1664525u + 1013904223u;
      n = 1 + static_cast<long long>((seed >> 8) % static_cast<uint32_t>(o.block));
    }
    n = std::min(n, total - pos);
    if (next < events.size()) {
      n = std::min(n, events[next].frame - pos);
    }
    // Input samples, then silence for the tail.
    const long long from_file = std::max(0LL, std::min(n, frames - pos));
    if (from_file > 0) {
      const sf_count_t got = sf_readf_float(r.in, raw.data(), from_file);
      if (got != from_file) {
        fail(exit_failure, "cannot read %s past sample %lld: %s", o.input.c_str(), pos + got,
             sf_strerror(r.in));
      }
      const int ch = info.channels;
      for (long long i = 0; i < from_file; ++i) {
        float sum = 0.0f;
        for (int c = 0; c < ch; ++c) {
          sum += raw[i * ch + c];
        }
        in_buf[i] = ch == 1 ? sum : sum / static_cast<float>(ch);
      }
    }
    std::fill(in_buf.begin() + from_file, in_buf.begin() + n, 0.0f);
    lilv_instance_run(r.instance, static_cast<uint32_t>(n));
    if (sf_writef_float(r.out, out_buf.data(), n) != n) {
      fail(exit_failure, "cannot write %s: %s", o.output.c_str(), sf_strerror(r.out));
    }
    pos += n;
    if (show) {
      const int pct = static_cast<int>(100 * pos / total);
      if (pct != shown) {
        shown = pct;
        fprintf(stderr, "\rquorvane-render: %3d%%", pct);
        progress_line_open = true;
      }
    }
  }
  if (progress_line_open) {
    fputc('\n', stderr);
    progress_line_open = false;
  }

  const int closed = sf_close(r.out);
  r.out = nullptr;
  if (closed != 0) {
    fail(exit_failure, "cannot write %s: %s", o.output.c_str(), sf_error_number(closed));
  }
  if (rename(r.tmp_path.c_str(), o.output.c_str()) != 0) {
    fail(exit_failure, "cannot write %s: %s", o.output.c_str(), strerror(errno));
  }
  r.tmp_path.clear();
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  try {
    return render(parse_args(argc, argv));
  } catch (const Failure &f) {
    if (progress_line_open) {
      fputc('\n', stderr);
    }
    fprintf(stderr, "quorvane-render: %s\n", f.message.c_str());
    return f.status;
  }
}
