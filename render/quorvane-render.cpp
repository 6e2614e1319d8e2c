// quorvane-render: renders a sound file through an LV2 plugin as a host does,
// with controls that may change at given times.
//
//   quorvane-render [options] INPUT OUTPUT [SYMBOL=VALUE[@TIME]]...
//
// The steps, in order: read the input's header, find and set up the plugin,
// schedule the control changes, open the output, run the plugin in blocks and
// write what it gives. A block is cut wherever a control changes, so every
// change lands on its exact sample. A plugin that reports latency is
// compensated as a DAW does, so the output lines up with the input.
//
// A regular output file is written to a temporary file beside it and renamed
// over it only when everything went well: a failed or interrupted run leaves
// no output. Devices, FIFOs and standard output are written in place.

#include <errno.h>
#include <fcntl.h>
#include <float.h>
#include <limits.h>
#include <math.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
constexpr const char *aligned_uri = "http://quorvane.audio/lv2/quorvane-aligned";
constexpr long max_block = 1 << 20;
// Times are capped here (about 6000 years at 48 kHz): past any input, and
// far past any disk, yet a sum of two still fits in a long long.
constexpr long long max_samples = 9'000'000'000'000'000LL;
// A latency beyond this (about 6 minutes at 48 kHz) is taken as a fault of
// the plugin rather than rendered as silence.
constexpr long long max_latency = 1 << 24;

// Exit statuses: 2 for a command line that cannot be carried out as given
// (unknown option, symbol or value, time past the end, the input named as
// the output), 1 for a failure while doing it (unreadable input, plugin not
// found, no room for the output, write error), 130 when interrupted.
constexpr int exit_usage = 2;
constexpr int exit_failure = 1;

const char *usage_text =
    "usage: quorvane-render [options] INPUT OUTPUT [SYMBOL=VALUE[@TIME]]...\n"
    "\n"
    "Renders INPUT through the plugin into OUTPUT (32-bit float WAV, same rate;\n"
    "RF64 past 4 GiB). OUTPUT may be - for standard output, or a device or FIFO.\n"
    "\n"
    "  SYMBOL=VALUE        set a control from the start, e.g. blur=0.5\n"
    "  SYMBOL=VALUE@TIME   change it at TIME: 1.5s, 250ms, or a sample index (48000)\n"
    "\n"
    "options:\n"
    "  --bundle DIR    load the plugin from this bundle only (default: search LV2_PATH)\n"
    "  --uri URI       plugin to run (default "
    "http://quorvane.audio/lv2/quorvane"
    ")\n"
    "  --aligned       run quorvane aligned ("
    "http://quorvane.audio/lv2/quorvane-aligned"
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
    "A plugin that reports latency is compensated: the output lines up with the\n"
    "input sample for sample and has its length (plus --tail).\n"
    "\n"
    "Exit status: 0 done, 1 failed (files, audio, plugin), 2 bad command line.\n"
    "On failure a regular OUTPUT file is left untouched.\n";

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

void warn(const char *fmt, ...) {
  if (progress_line_open) {
    fputc('\n', stderr);
    progress_line_open = false;
  }
  va_list ap;
  va_start(ap, fmt);
  fputs("quorvane-render: ", stderr);
  vfprintf(stderr, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
  fputc('\n', stderr);
  va_end(ap);
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

// TIME: "1.5s", "250ms" or a whole number of samples. Returns -1 if malformed;
// a time too long to mean anything is capped at max_samples, which is past
// any input and too long to write.
long long parse_time(const std::string &text, double rate) {
  const char *s = text.c_str();
  if (!*s || *s == '-' || *s == '+') {
    return -1;
  }
  char *end = nullptr;
  const double v = strtod(s, &end);
  if (end == s || !(v >= 0)) {
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
  return samples >= static_cast<double>(max_samples) ? max_samples : llround(samples);
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
    } else if (a == "--aligned") {
      o.uri = aligned_uri;
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

std::string directory_of(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string size_text(double bytes) {
  char buf[32];
  if (bytes >= 1024.0 * 1024 * 1024) {
    snprintf(buf, sizeof buf, "%.2f GiB", bytes / (1024.0 * 1024 * 1024));
  } else {
    snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024));
  }
  return buf;
}

// ---- Reading the input ----------------------------------------------------

struct Input {
  SNDFILE *file = nullptr;
  SF_INFO info{};
  struct stat st {};
  long long frames = 0; // what can be read, which a cut-short file may make less than promised
  long long promised = 0;

  Input() = default;
  Input(const Input &) = delete;
  Input &operator=(const Input &) = delete;
  ~Input() {
    if (file) {
      sf_close(file);
    }
  }
};

// libsndfile's view of a file that claims to be far longer than it is.
struct PaddedFile {
  int fd;
  sf_count_t length;
};
sf_count_t padded_length(void *user) { return static_cast<PaddedFile *>(user)->length; }
sf_count_t padded_seek(sf_count_t offset, int whence, void *user) {
  return lseek(static_cast<PaddedFile *>(user)->fd, offset, whence);
}
sf_count_t padded_read(void *ptr, sf_count_t count, void *user) {
  const ssize_t got = read(static_cast<PaddedFile *>(user)->fd, ptr, static_cast<size_t>(count));
  return got < 0 ? 0 : got;
}
sf_count_t padded_write(const void *, sf_count_t, void *) { return 0; }
sf_count_t padded_tell(void *user) {
  return lseek(static_cast<PaddedFile *>(user)->fd, 0, SEEK_CUR);
}

// The number of frames the file's header promises, or -1 if it states none.
// libsndfile quietly trims a header's count to what the file holds; told that
// the file is far longer than it is, it reports the header's own count. A
// format whose count is worked out from the file's length gives a different
// count for each length it is told, and states no promise.
long long header_frames(const std::string &path) {
  long long counts[2] = {-1, -2};
  const sf_count_t lengths[2] = {sf_count_t{1} << 40, sf_count_t{1} << 41};
  for (int k = 0; k < 2; ++k) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return -1;
    }
    PaddedFile padded{fd, lengths[k]};
    SF_VIRTUAL_IO io{padded_length, padded_seek, padded_read, padded_write, padded_tell};
    SF_INFO info{};
    SNDFILE *f = sf_open_virtual(&io, SFM_READ, &info, &padded);
    if (f) {
      counts[k] = info.frames;
      sf_close(f);
    }
    close(fd);
  }
  return counts[0] == counts[1] ? counts[0] : -1;
}

void cut_short(const Input &in, const std::string &path, const char *why = nullptr) {
  warn("warning: %s is cut short: its header promises %lld frames, the file holds %lld%s%s%s; "
       "rendering those",
       path.c_str(), in.promised, in.frames, why ? " (" : "", why ? why : "", why ? ")" : "");
}

// Opens the input first: its rate is needed to place times, and a missing or
// unreadable file should be reported before anything else is done.
void read_input(const Options &o, Input &in) {
  in.file = sf_open(o.input.c_str(), SFM_READ, &in.info);
  if (!in.file) {
    if (stat(o.input.c_str(), &in.st) != 0) {
      fail(exit_failure, "cannot open %s: %s", o.input.c_str(), strerror(errno));
    }
    fail(exit_failure, "cannot read %s as audio: %s", o.input.c_str(), sf_strerror(nullptr));
  }
  if (in.info.channels != 1 && !o.downmix) {
    fail(exit_usage,
         "%s has %d channels; the plugin is mono. Pass --downmix to render the average of the "
         "channels",
         o.input.c_str(), in.info.channels);
  }
  stat(o.input.c_str(), &in.st);
  in.frames = in.promised = in.info.frames;
  if (S_ISREG(in.st.st_mode)) {
    in.promised = std::max(in.frames, header_frames(o.input));
    if (in.promised > in.frames) {
      cut_short(in, o.input);
    }
  }
}

// ---- Finding and setting up the plugin -------------------------------------

// What the renderer connects a port to; UNUSED ports (optional ones of
// other kinds) stay unconnected.
enum PortKind { UNUSED, AUDIO_IN, AUDIO_OUT, CONTROL_IN, CONTROL_OUT };

struct Port {
  std::string symbol;
  PortKind kind;
  float min, max, def;
};

// The plugin as the host sees it. Every control port, input or output, is
// connected to its float in `controls`: hosts must connect them all.
struct Plugin {
  LilvWorld *world = nullptr;
  const LilvPlugin *plugin = nullptr;
  LilvInstance *instance = nullptr;
  bool activated = false;
  std::vector<Port> ports;
  std::vector<float> controls;
  std::string control_names; // of the inputs, for messages
  long latency_port = -1;    // the output control that reports latency, if any

  Plugin() = default;
  Plugin(const Plugin &) = delete;
  Plugin &operator=(const Plugin &) = delete;
  ~Plugin() {
    if (instance) {
      if (activated) {
        lilv_instance_deactivate(instance);
      }
      lilv_instance_free(instance);
    }
    if (world) {
      lilv_world_free(world);
    }
  }
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
  Plugin *plugin;
  LV2_URID float_type;
  std::string bad;
};

void set_from_preset(const char *symbol, void *user, const void *value, uint32_t size,
                     uint32_t type) {
  auto *t = static_cast<PresetTarget *>(user);
  const std::vector<Port> &ports = t->plugin->ports;
  for (size_t p = 0; p < ports.size(); ++p) {
    if (ports[p].symbol == symbol && ports[p].kind == CONTROL_IN) {
      if (type == t->float_type && size == sizeof(float)) {
        memcpy(&t->plugin->controls[p], value, sizeof(float));
        return;
      }
      break;
    }
  }
  t->bad += std::string(" ") + symbol;
}

// Finds a preset of the plugin by label (any case) or URI and sets the
// controls it names, as a host does when the user picks it.
void apply_preset(Plugin &pl, const std::string &wanted) {
  LilvWorld *world = pl.world;
  LilvNode *preset_class = lilv_new_uri(world, LV2_PRESETS__Preset);
  LilvNode *label_uri = lilv_new_uri(world, LILV_NS_RDFS "label");
  LilvNodes *presets = lilv_plugin_get_related(pl.plugin, preset_class);
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
  PresetTarget target{&pl, UridMap::map(&urids, LV2_ATOM__Float), ""};
  lilv_state_emit_port_values(state, set_from_preset, &target);
  lilv_state_free(state);
  if (!target.bad.empty()) {
    fail(exit_failure, "--preset %s: sets what is not a control of the plugin:%s", wanted.c_str(),
         target.bad.c_str());
  }
}

// Finds the plugin exactly as a host finds it, and sorts its ports.
void find_plugin(const Options &o, Plugin &pl) {
  pl.world = lilv_world_new();
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
    LilvNode *bundle = lilv_new_file_uri(pl.world, nullptr, dir.c_str());
    lilv_world_load_bundle(pl.world, bundle);
    lilv_node_free(bundle);
  } else {
    lilv_world_load_all(pl.world);
  }
  LilvNode *uri = lilv_new_uri(pl.world, o.uri.c_str());
  if (!uri) {
    fail(exit_usage, "--uri %s: not a URI", o.uri.c_str());
  }
  const LilvPlugin *plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(pl.world), uri);
  lilv_node_free(uri);
  if (!plugin) {
    if (!o.bundle.empty()) {
      fail(exit_failure, "plugin %s not found in bundle %s", o.uri.c_str(), o.bundle.c_str());
    }
    const char *path = getenv("LV2_PATH");
    fail(exit_failure, "plugin %s not found (LV2_PATH=%s); build it or pass --bundle DIR",
         o.uri.c_str(), path ? path : "unset, so the default locations");
  }
  pl.plugin = plugin;
  {
    LilvNodes *required = lilv_plugin_get_required_features(plugin);
    const unsigned n = lilv_nodes_size(required);
    lilv_nodes_free(required);
    if (n) {
      fail(exit_failure, "plugin %s requires host features this renderer does not offer",
           o.uri.c_str());
    }
  }

  LilvNode *input_class = lilv_new_uri(pl.world, LV2_CORE__InputPort);
  LilvNode *audio_class = lilv_new_uri(pl.world, LV2_CORE__AudioPort);
  LilvNode *control_class = lilv_new_uri(pl.world, LV2_CORE__ControlPort);
  LilvNode *optional = lilv_new_uri(pl.world, LV2_CORE__connectionOptional);
  const uint32_t nports = lilv_plugin_get_num_ports(plugin);
  std::vector<float> mins(nports), maxs(nports), defs(nports);
  lilv_plugin_get_port_ranges_float(plugin, mins.data(), maxs.data(), defs.data());
  pl.ports.resize(nports);
  pl.controls.assign(nports, 0.0f);
  int audio[2] = {0, 0}; // inputs, outputs
  for (uint32_t p = 0; p < nports; ++p) {
    const LilvPort *port = lilv_plugin_get_port_by_index(plugin, p);
    Port &pt = pl.ports[p];
    pt = {lilv_node_as_string(lilv_port_get_symbol(plugin, port)), UNUSED, mins[p], maxs[p],
          defs[p]};
    const bool input = lilv_port_is_a(plugin, port, input_class);
    if (lilv_port_is_a(plugin, port, audio_class)) {
      pt.kind = input ? AUDIO_IN : AUDIO_OUT;
      if (++audio[input ? 0 : 1] > 1) {
        fail(exit_failure, "plugin %s is not mono: it has more than one audio %s", o.uri.c_str(),
             input ? "input" : "output");
      }
    } else if (lilv_port_is_a(plugin, port, control_class)) {
      pt.kind = input ? CONTROL_IN : CONTROL_OUT;
      pl.controls[p] = std::isnan(defs[p]) ? (std::isnan(mins[p]) ? 0.0f : mins[p]) : defs[p];
      if (input) {
        pl.control_names += " " + pt.symbol;
      }
    } else if (!lilv_port_has_property(plugin, port, optional)) {
      fail(exit_failure, "plugin %s has a port (%s) of a kind this renderer cannot feed",
           o.uri.c_str(), pt.symbol.c_str());
    }
  }
  lilv_node_free(input_class);
  lilv_node_free(audio_class);
  lilv_node_free(control_class);
  lilv_node_free(optional);
  if (audio[0] != 1 || audio[1] != 1) {
    fail(exit_failure, "plugin %s needs one audio input and one audio output", o.uri.c_str());
  }
  if (lilv_plugin_has_latency(plugin)) {
    const uint32_t p = lilv_plugin_get_latency_port_index(plugin);
    if (p < nports && pl.ports[p].kind == CONTROL_OUT) {
      pl.latency_port = p;
    }
  }
  if (!o.preset.empty()) {
    apply_preset(pl, o.preset);
  }
}

// Instantiates the plugin and connects every port it has.
void start_plugin(const Options &o, Plugin &pl, double rate, float *in, float *out) {
  pl.instance = lilv_plugin_instantiate(pl.plugin, rate, nullptr);
  if (!pl.instance) {
    fail(exit_failure, "plugin %s could not be instantiated", o.uri.c_str());
  }
  for (uint32_t p = 0; p < pl.ports.size(); ++p) {
    void *data = nullptr;
    switch (pl.ports[p].kind) {
    case AUDIO_IN: data = in; break;
    case AUDIO_OUT: data = out; break;
    case CONTROL_IN:
    case CONTROL_OUT: data = &pl.controls[p]; break;
    case UNUSED: break;
    }
    lilv_instance_connect_port(pl.instance, p, data);
  }
  lilv_instance_activate(pl.instance);
  pl.activated = true;
}

// ---- Scheduling the control changes ---------------------------------------

// One control change: at `frame`, port `port` takes `value`.
struct Event {
  long long frame;
  uint32_t port;
  float value;
};

// A control's value: a number within the control's declared range. A number
// too small for a float is taken as the float nearest it (0 or a subnormal);
// only text that does not read as a number is called not one.
float parse_value(const std::string &setting, const std::string &text, const Port &pt) {
  char *end = nullptr;
  const double v = strtod(text.c_str(), &end);
  if (text.empty() || *end || std::isnan(v)) {
    fail(exit_usage, "%s: '%s' is not a number", setting.c_str(), text.c_str());
  }
  const double lo = std::isnan(pt.min) ? -FLT_MAX : pt.min;
  const double hi = std::isnan(pt.max) ? FLT_MAX : pt.max;
  if (v < lo || v > hi) {
    fail(exit_usage, "%s: out of range; %s takes %g to %g", setting.c_str(), pt.symbol.c_str(), lo,
         hi);
  }
  return static_cast<float>(v);
}

// Settings: SYMBOL=VALUE or SYMBOL=VALUE@TIME, checked against the ports
// the plugin declares. Times are on the input's clock; `total` is the length
// of the input and the tail.
std::vector<Event> schedule(const Options &o, const Plugin &pl, double rate, long long total) {
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
    uint32_t port = pl.ports.size();
    for (uint32_t p = 0; p < pl.ports.size(); ++p) {
      if (pl.ports[p].symbol == symbol && pl.ports[p].kind == CONTROL_IN) {
        port = p;
      }
    }
    if (port == pl.ports.size()) {
      fail(exit_usage, "%s: unknown control '%s'; the controls are:%s", s.c_str(), symbol.c_str(),
           pl.control_names.c_str());
    }
    const float value = parse_value(s, value_text, pl.ports[port]);
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
  return events;
}

// ---- Writing the output ----------------------------------------------------

// A WAV's sizes are 32-bit; past them libsndfile's RF64 carries 64-bit ones.
// The margin covers the header (under a hundred bytes as libsndfile writes
// it for float data).
constexpr long long header_margin = 4096;
bool needs_rf64(long long frames) { return frames * 4 + header_margin > 0xFFFFFFFFLL; }

// Follows a chain of symbolic links to the file it ends at, which may not
// exist yet (a dangling link is written through, as a shell would).
std::string follow_links(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      break;
    }
    std::vector<char> buf(static_cast<size_t>(std::max<off_t>(st.st_size, PATH_MAX)) + 1);
    const ssize_t n = readlink(path.c_str(), buf.data(), buf.size() - 1);
    if (n < 0) {
      break;
    }
    const std::string link(buf.data(), static_cast<size_t>(n));
    if (link[0] == '/') {
      path = link;
    } else {
      path = directory_of(path).append("/").append(link);
    }
  }
  return path;
}

// The output and how it is written, which depends on what it is:
// - a regular file (or none yet) is written beside itself under a hidden
//   name and renamed over itself at the end, keeping its permissions and,
//   where allowed, its owner. A symbolic link is followed, so the link stays
//   and the file it points at is replaced.
// - a regular file with other hard links is rendered in full beside itself
//   first, then copied into itself, so every name sees the new sound.
// - a device that can seek (/dev/null, a disk, standard output redirected to
//   a file) is written in place.
// - a FIFO, pipe or socket cannot seek back to complete a WAV header, so the
//   render goes to an unnamed temporary file and is copied out at the end.
class Output {
public:
  Output() = default;
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;
  ~Output() {
    if (sound_) {
      sf_close(sound_);
    }
    if (tmp_fd_ >= 0) {
      close(tmp_fd_);
    }
    if (fd_ > STDERR_FILENO) {
      close(fd_);
    }
    if (!tmp_path_.empty()) {
      unlink(tmp_path_.c_str());
    }
  }

  // Decides how to write `name` and opens it for `frames` frames at `rate`,
  // after checking that it is not the input and that it fits.
  void open(const std::string &name, const struct stat &input, int rate, long long frames) {
    name_ = name;
    struct stat st {};
    bool exists = true;
    if (name == "-") {
      fd_ = STDOUT_FILENO;
      if (fstat(fd_, &st) != 0) {
        fail(exit_failure, "cannot write standard output: %s", strerror(errno));
      }
    } else if (stat(name.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        fail(exit_failure, "cannot write %s: %s", name.c_str(), strerror(errno));
      }
      exists = false;
    }
    if (exists && S_ISDIR(st.st_mode)) {
      fail(exit_usage, "%s is a directory; the output must be a file", name.c_str());
    }
    if (exists && st.st_dev == input.st_dev && st.st_ino == input.st_ino) {
      fail(exit_usage, "%s is the input file; writing it would destroy the input", name.c_str());
    }
    old_size_ = exists && S_ISREG(st.st_mode) ? st.st_size : 0;

    if (fd_ < 0 && (!exists || S_ISREG(st.st_mode))) {
      const std::string target = follow_links(name);
      if (exists && st.st_nlink > 1) {
        mode_ = COPY;
        fd_ = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) {
          fail(exit_failure, "cannot write %s: %s", name.c_str(), strerror(errno));
        }
        make_temp(directory_of(target), false);
      } else {
        mode_ = REPLACE;
        target_ = target;
        make_temp(directory_of(target), true);
        keep_or_set_permissions(exists ? &st : nullptr);
      }
    } else {
      if (fd_ < 0) {
        // A FIFO's open waits here for its reader, before the render starts.
        fd_ = ::open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) {
          fail(exit_failure, "cannot write %s: %s", name.c_str(), strerror(errno));
        }
      }
      if (isatty(fd_)) {
        fail(exit_usage, "%s is a terminal; send the sound to a file or a pipe", name.c_str());
      }
      if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || lseek(fd_, 0, SEEK_CUR) < 0) {
        mode_ = COPY;
        const char *tmpdir = getenv("TMPDIR");
        make_temp(tmpdir && *tmpdir ? tmpdir : "/tmp", false);
      } else {
        mode_ = DIRECT;
      }
    }

    const bool rf64 = needs_rf64(frames);
    const double bytes = static_cast<double>(frames) * 4 + header_margin;
    check_room(bytes, rf64 ? "RF64 (a WAV past 4 GiB)" : "WAV", S_ISREG(st.st_mode));
    if (rf64) {
      warn("note: the output takes %s, more than a WAV can hold; writing RF64",
           size_text(bytes).c_str());
    }

    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = (rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | SF_FORMAT_FLOAT;
    sound_ = sf_open_fd(mode_ == DIRECT ? fd_ : tmp_fd_, SFM_WRITE, &info, SF_FALSE);
    if (!sound_) {
      fail(exit_failure, "cannot write %s: %s", name.c_str(), sf_strerror(nullptr));
    }
  }

  void write(const float *samples, long long n) {
    if (n > 0 && sf_writef_float(sound_, samples, n) != n) {
      fail(exit_failure, "cannot write %s: %s", name_.c_str(), sf_strerror(sound_));
    }
  }

  // Completes the file and puts it in its place.
  void finish() {
    const int closed = sf_close(sound_);
    sound_ = nullptr;
    if (closed != 0) {
      fail(exit_failure, "cannot write %s: %s", name_.c_str(), sf_error_number(closed));
    }
    if (mode_ == REPLACE) {
      if (rename(tmp_path_.c_str(), target_.c_str()) != 0) {
        fail(exit_failure, "cannot write %s: %s", name_.c_str(), strerror(errno));
      }
      tmp_path_.clear();
    } else if (mode_ == COPY) {
      copy_out();
    }
  }

  // Whether an unfinished run has already changed the output.
  bool in_place() const { return mode_ == DIRECT; }

private:
  enum Mode { REPLACE, COPY, DIRECT };

  // A temporary file in `dir`; kept under a hidden name beside the output
  // when it is to be renamed over it, unnamed at once otherwise.
  void make_temp(const std::string &dir, bool named) {
    const size_t slash = name_.rfind('/');
    const std::string base = name_.substr(slash == std::string::npos ? 0 : slash + 1);
    std::string tmpl = dir + "/." + (base.empty() ? "quorvane-render" : base) + ".XXXXXX";
    std::vector<char> tmp(tmpl.begin(), tmpl.end());
    tmp.push_back('\0');
    tmp_fd_ = mkostemp(tmp.data(), O_CLOEXEC);
    if (tmp_fd_ < 0) {
      fail(exit_failure, "cannot write %s: cannot create a file in %s: %s", name_.c_str(),
           dir.c_str(), strerror(errno));
    }
    if (named) {
      tmp_path_ = tmp.data();
    } else {
      unlink(tmp.data());
    }
  }

  // An existing file keeps its owner (where the user may keep it) and mode;
  // a new one gets the mode it would have if created directly.
  void keep_or_set_permissions(const struct stat *old) {
    if (old) {
      if (fchown(tmp_fd_, old->st_uid, old->st_gid) != 0) {
        // Not allowed to give the file away: it stays the user's own.
      }
      fchmod(tmp_fd_, old->st_mode & 07777);
    } else {
      const mode_t mask = umask(0);
      umask(mask);
      fchmod(tmp_fd_, 0666 & ~mask);
    }
  }

  // Refuses up front an output that cannot fit: in the free space of the
  // file system it is written to, or under the size limit for files
  // (ulimit -f).
  void check_room(double bytes, const char *format, bool output_is_regular) {
    double needed = bytes;
    if (mode_ == COPY && output_is_regular) {
      needed += std::max(0.0, bytes - static_cast<double>(old_size_)); // the file grows
    }
    const int fd = mode_ == DIRECT ? fd_ : tmp_fd_;
    struct statvfs fs;
    if ((mode_ != DIRECT || output_is_regular) && fstatvfs(fd, &fs) == 0) {
      const double blocks = static_cast<double>(geteuid() == 0 ? fs.f_bfree : fs.f_bavail);
      const double room = blocks * static_cast<double>(fs.f_frsize);
      if (needed > room) {
        fail(exit_failure,
             "cannot write %s: it would take %s as %s, and its file system has %s free",
             name_.c_str(), size_text(needed).c_str(), format, size_text(room).c_str());
      }
    }
    struct rlimit limit;
    if ((mode_ != DIRECT || output_is_regular) && getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
        limit.rlim_cur != RLIM_INFINITY && bytes > static_cast<double>(limit.rlim_cur)) {
      fail(exit_failure, "cannot write %s: it would take %s as %s, over the %s allowed (ulimit -f)",
           name_.c_str(), size_text(bytes).c_str(), format,
           size_text(static_cast<double>(limit.rlim_cur)).c_str());
    }
  }

  void copy_out() {
    if (old_size_ > 0 && ftruncate(fd_, 0) != 0) {
      fail(exit_failure, "cannot write %s: %s", name_.c_str(), strerror(errno));
    }
    if (lseek(tmp_fd_, 0, SEEK_SET) != 0) {
      fail(exit_failure, "cannot write %s: %s", name_.c_str(), strerror(errno));
    }
    std::vector<char> buf(1 << 20);
    for (;;) {
      if (interrupted) {
        fail(130, "interrupted; %s is incomplete", name_.c_str());
      }
      const ssize_t got = read(tmp_fd_, buf.data(), buf.size());
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        fail(exit_failure, "cannot write %s: %s", name_.c_str(), strerror(errno));
      }
      if (got == 0) {
        return;
      }
      for (ssize_t done = 0; done < got;) {
        const ssize_t put = ::write(fd_, buf.data() + done, static_cast<size_t>(got - done));
        if (put < 0 && errno == EINTR && interrupted) {
          fail(130, "interrupted; %s is incomplete", name_.c_str());
        }
        if (put < 0 && errno != EINTR) {
          fail(exit_failure, "cannot write %s: %s", name_.c_str(), strerror(errno));
        }
        done += std::max<ssize_t>(put, 0);
      }
    }
  }

  std::string name_;     // as given
  std::string target_;   // REPLACE: the file renamed over, links followed
  std::string tmp_path_; // REPLACE: the hidden file, removed unless renamed
  Mode mode_ = REPLACE;
  int fd_ = -1;     // COPY and DIRECT: the output itself
  int tmp_fd_ = -1; // REPLACE and COPY: where the render goes
  off_t old_size_ = 0;
  SNDFILE *sound_ = nullptr;
};

// ---- Running the plugin ----------------------------------------------------

// Feeds the input, then the tail's silence, through the plugin in blocks and
// writes what comes out. A plugin that reports latency (read after its first
// run call, as a DAW reads it) is run that many samples longer on silence,
// and as many samples are dropped from the start of what it gives, so the
// output lines up with the input and has its length.
void run(const Options &o, Input &in, Plugin &pl, const std::vector<Event> &events, long long tail,
         Output &out, std::vector<float> &in_buf, std::vector<float> &out_buf) {
  const int channels = in.info.channels;
  std::vector<float> raw(in_buf.size() * static_cast<size_t>(channels));
  long long total = in.frames + tail; // frames of output
  long long latency = 0;
  bool latency_known = pl.latency_port < 0;
  const bool show = o.progress || isatty(STDERR_FILENO);
  int shown = -1;
  uint32_t seed = 0x2545F491u; // fixed, so a varying-block render is reproducible
  size_t next = 0;
  long long pos = 0; // samples fed to the plugin so far
  while (pos < total + latency) {
    if (interrupted) {
      fail(130, "interrupted; %s %s", o.output.c_str(),
           out.in_place() ? "is incomplete" : "not written");
    }
    while (next < events.size() && events[next].frame == pos) {
      pl.controls[events[next].port] = events[next].value;
      ++next;
    }
    long long n = o.block;
    if (o.vary) {
      seed = seed * 1664525u + 1013904223u;
      n = 1 + static_cast<long long>((seed >> 8) % static_cast<uint32_t>(o.block));
    }
    n = std::min(n, total + latency - pos);
    if (next < events.size()) {
      n = std::min(n, events[next].frame - pos);
    }
    // Input samples, then silence for the tail.
    long long from_file = std::max(0LL, std::min(n, in.frames - pos));
    if (from_file > 0) {
      const sf_count_t got = sf_readf_float(in.file, raw.data(), from_file);
      if (got != from_file) {
        // A failing disk is a failure; a decoder that runs out of data (a
        // compressed file cut short) is a short file: what is there is
        // rendered, with the tail after it.
        const int error = sf_error(in.file);
        if (error == SF_ERR_SYSTEM) {
          fail(exit_failure, "cannot read %s past sample %lld: %s", o.input.c_str(), pos + got,
               sf_strerror(in.file));
        }
        in.frames = pos + got;
        total = in.frames + tail;
        cut_short(in, o.input, error ? sf_strerror(in.file) : nullptr);
        from_file = got;
        n = std::min(n, total + latency - pos);
        if (n == 0) {
          continue;
        }
      }
      for (long long i = 0; i < from_file; ++i) {
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c) {
          sum += raw[i * channels + c];
        }
        in_buf[i] = channels == 1 ? sum : sum / static_cast<float>(channels);
      }
    }
    std::fill(in_buf.begin() + from_file, in_buf.begin() + n, 0.0f);
    lilv_instance_run(pl.instance, static_cast<uint32_t>(n));
    if (!latency_known) {
      const float reported = pl.controls[pl.latency_port];
      if (!(reported >= 0.0f && reported <= static_cast<float>(max_latency))) {
        fail(exit_failure, "plugin %s reports a latency of %g samples; expected 0 to %lld",
             o.uri.c_str(), reported, max_latency);
      }
      latency = llroundf(reported);
      latency_known = true;
    }
    const long long skip = std::clamp(latency - pos, 0LL, n);
    out.write(out_buf.data() + skip, n - skip);
    pos += n;
    if (show) {
      const int pct = static_cast<int>(100 * pos / (total + latency));
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
}

int render(const Options &o) {
  Input in;
  read_input(o, in);
  const double rate = in.info.samplerate;
  const long long tail = parse_time(o.tail, rate);
  if (tail < 0) {
    fail(exit_usage, "--tail %s: expected a time such as 1.5s, 250ms or 1024 (samples)",
         o.tail.c_str());
  }
  Plugin pl;
  find_plugin(o, pl);
  const std::vector<Event> events = schedule(o, pl, rate, in.frames + tail);
  // Everything is checked; now the output.
  Output out;
  out.open(o.output, in.st, in.info.samplerate, in.frames + tail);
  std::vector<float> in_buf(static_cast<size_t>(o.block)), out_buf(in_buf.size());
  start_plugin(o, pl, rate, in_buf.data(), out_buf.data());
  run(o, in, pl, events, tail, out, in_buf, out_buf);
  out.finish();
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
