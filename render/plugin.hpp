// The LV2 host: finds the plugin as any host does, sets presets, and runs it
// on buffers it owns.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include <lilv/lilv.h>

// What the renderer connects a port to; UNUSED ports (optional ones of
// other kinds) stay unconnected.
enum PortKind { UNUSED, AUDIO_IN, AUDIO_OUT, CONTROL_IN, CONTROL_OUT };

struct Port {
  std::string symbol;
  PortKind kind;
  float min, max, def;
  bool toggled; // a switch: 0 off, 1 on
  bool integer; // whole numbers only
};

class Plugin {
public:
  // Finds the plugin named `name` (see plugin_names), or else `uri`, in
  // `bundle` (or on LV2_PATH if none) and sorts its ports; fails if it
  // cannot be run here.
  Plugin(const std::string &uri, const std::optional<std::string> &name,
         const std::optional<std::string> &bundle);
  Plugin(const Plugin &) = delete;
  Plugin &operator=(const Plugin &) = delete;
  ~Plugin();

  // Sets the controls that a preset (by label, any case, or URI) names.
  void apply_preset(const std::string &wanted);
  // Instantiates it at `rate` for blocks up to `block` and connects every port.
  void start(double rate, long block);
  void run(uint32_t n) { lilv_instance_run(instance_, n); }
  // The audio channels, in the plugin's order: left before right where its
  // ports say which is which, else the order of the ports.
  int inputs() const { return static_cast<int>(audio_in_.size()); }
  int outputs() const { return static_cast<int>(audio_out_.size()); }
  float *input(int channel) { return in_.data() + channel * block_; }
  const float *output(int channel) const { return out_.data() + channel * block_; }
  // What the latency port reports, or 0 if there is none.
  float latency() const { return latency_port_ < 0 ? 0.0f : controls[latency_port_]; }

  // Control inputs by symbol; -1 if none.
  long control(const std::string &symbol) const;

  std::string uri;
  std::vector<Port> ports;
  // Every control port, input or output, is connected to its float here:
  // hosts must connect them all.
  std::vector<float> controls;
  std::string control_names; // of the inputs, for messages

private:
  void find(const std::optional<std::string> &name, const std::optional<std::string> &bundle);
  void sort_ports();
  std::vector<uint32_t> audio_order(const std::vector<uint32_t> &ports) const;

  LilvWorld *world_ = nullptr;
  const LilvPlugin *plugin_ = nullptr;
  LilvInstance *instance_ = nullptr;
  bool activated_ = false;
  long latency_port_ = -1;                     // the output control that reports latency, if any
  std::vector<uint32_t> audio_in_, audio_out_; // port indices, by channel
  long block_ = 0;
  std::vector<float> in_, out_; // one block per channel, one after the other
};

// The first line lilv printed (kept aside by QuietStderr), as a reason to
// append to a message; "" if it printed nothing.
std::string first_line(const std::string &text);

// The short names of the quorvane plugins lilv finds in `bundle` (or on
// LV2_PATH), for --help: each URI's last part without "quorvane-".
std::string plugin_names(const std::optional<std::string> &bundle);
