// A JACK client for tests/jalv-host.sh and tests/ui-jalv.sh: plays a sine
// (or a chord, HZ,HZ,...) into one port, listens to another, and reports
// what came back.
//
//   jack_probe PLAY_TO LISTEN_TO HZ[,HZ...] SECONDS
//
// It connects its output to PLAY_TO and LISTEN_TO to its input, lets
// 0.5 s pass (the plugin's delay, the frames that fill it), records SECONDS,
// and prints one line: `frames N finite 0|1 rms R peak P hz F`, F the
// frequency of the recording by its zero crossings (the sine's, or where a
// shift moved it). The JACK server is the one JACK_DEFAULT_SERVER names.
#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct Probe {
  jack_port_t *out = nullptr, *in = nullptr;
  double phase[8] = {}, step[8] = {};
  int tones = 0;
  std::vector<float> take;         // the recording, allocated before activation
  std::atomic<size_t> skip{0};     // frames still to let pass
  std::atomic<size_t> recorded{0}; // frames recorded
};

int process(jack_nframes_t n, void *arg) {
  auto *p = static_cast<Probe *>(arg);
  auto *out = static_cast<float *>(jack_port_get_buffer(p->out, n));
  const auto *in = static_cast<const float *>(jack_port_get_buffer(p->in, n));
  for (jack_nframes_t i = 0; i < n; ++i) {
    double x = 0;
    for (int t = 0; t < p->tones; ++t) {
      x += std::sin(p->phase[t]);
      p->phase[t] = std::fmod(p->phase[t] + p->step[t], 2 * M_PI);
    }
    out[i] = static_cast<float>(0.5 / p->tones * x);
  }
  jack_nframes_t i = 0;
  for (size_t skip = p->skip.load(); i < n && skip > 0; ++i)
    p->skip.store(--skip);
  size_t r = p->recorded.load();
  for (; i < n && r < p->take.size(); ++i)
    p->take[r++] = in[i];
  p->recorded.store(r);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: jack_probe PLAY_TO LISTEN_TO HZ SECONDS\n");
    return 2;
  }
  const double seconds = std::atof(argv[4]);
  jack_status_t status;
  jack_client_t *client = jack_client_open("quorvane-probe", JackNoStartServer, &status);
  if (!client) {
    std::fprintf(stderr, "jack_probe: no JACK server (status 0x%x)\n", status);
    return 1;
  }
  Probe p;
  const double rate = jack_get_sample_rate(client);
  for (const char *hz = argv[3]; hz && p.tones < 8; hz = std::strchr(hz, ',')) {
    hz += *hz == ',';
    p.step[p.tones++] = 2 * M_PI * std::atof(hz) / rate;
  }
  p.take.assign(static_cast<size_t>(seconds * rate), 0.0f);
  p.skip = static_cast<size_t>(rate / 2);
  p.out = jack_port_register(client, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  p.in = jack_port_register(client, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
  if (!p.out || !p.in || jack_set_process_callback(client, process, &p) || jack_activate(client) ||
      jack_connect(client, jack_port_name(p.out), argv[1]) ||
      jack_connect(client, argv[2], jack_port_name(p.in))) {
    std::fprintf(stderr, "jack_probe: cannot connect to %s and %s\n", argv[1], argv[2]);
    jack_client_close(client);
    return 1;
  }
  // The dummy backend runs in real time: wait for the recording, at most
  // twice as long as it should take.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(2 * (seconds + 0.5) + 1);
  while (p.recorded.load() < p.take.size() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  jack_deactivate(client);
  jack_client_close(client);

  const size_t n = p.recorded.load();
  bool finite = true;
  double energy = 0, peak = 0;
  size_t crossings = 0;
  for (size_t i = 0; i < n; ++i) {
    const float x = p.take[i];
    finite = finite && std::isfinite(x);
    energy += static_cast<double>(x) * x;
    peak = std::fmax(peak, std::fabs(x));
    crossings += i > 0 && (p.take[i - 1] < 0) != (x < 0);
  }
  std::printf("frames %zu finite %d rms %.6f peak %.6f hz %.1f\n", n, finite ? 1 : 0,
              n ? std::sqrt(energy / static_cast<double>(n)) : 0.0, peak,
              n ? static_cast<double>(crossings) * rate / (2.0 * static_cast<double>(n)) : 0.0);
  return n == p.take.size() ? 0 : 1;
}
