// A JACK client for tests/jalv-host.sh and tests/ui-jalv.sh: plays sines into one port, listens
// to another, and reports what came back.
//
//   jack_probe PLAY_TO LISTEN_TO HZ[+HZ...][:lead] SECONDS [HZ[+HZ...]]
//
// It connects its output to PLAY_TO and LISTEN_TO to its input, lets
// 0.5 s pass (the plugin's delay, the frames that fill it), records SECONDS,
// and prints one line: `frames N finite 0|1 rms R peak P hz F`, F the
// frequency of the recording by its zero crossings (the sine's, or where a
// shift moved it). Several sines sound together (a chord, 0.5 in all); with
// `:lead` they sound in the first 0.5 s only, then silence. Given the last
// list, the line ends with `levels A...`: the recording's amplitude at each
// of those frequencies (the largest within 3 Hz). The JACK server is the one
// JACK_DEFAULT_SERVER names.
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
  std::vector<double> phase, step;
  bool lead_only = false;
  std::vector<float> take;         // the recording, allocated before activation
  std::atomic<size_t> skip{0};     // frames still to let pass
  std::atomic<size_t> recorded{0}; // frames recorded
};

int process(jack_nframes_t n, void *arg) {
  auto *p = static_cast<Probe *>(arg);
  auto *out = static_cast<float *>(jack_port_get_buffer(p->out, n));
  const auto *in = static_cast<const float *>(jack_port_get_buffer(p->in, n));
  const size_t lead = p->skip.load();
  for (jack_nframes_t i = 0; i < n; ++i) {
    double x = 0;
    for (size_t k = 0; k < p->phase.size(); ++k) {
      x += std::sin(p->phase[k]);
      p->phase[k] = std::fmod(p->phase[k] + p->step[k], 2 * M_PI);
    }
    out[i] = p->lead_only && i >= lead ? 0.0f : static_cast<float>(0.5 * x / p->phase.size());
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
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr,
                 "usage: jack_probe PLAY_TO LISTEN_TO HZ[+HZ...][:lead] SECONDS [HZ[+HZ...]]\n");
    return 2;
  }
  const auto list = [](const char *s) { // "220+277.2": {220, 277.2}
    std::vector<double> hz;
    for (char *end;; s = end + 1) {
      hz.push_back(std::strtod(s, &end));
      if (end == s || *end != '+')
        return hz;
    }
  };
  const std::vector<double> play = list(argv[3]),
                            measure = argc == 6 ? list(argv[5]) : std::vector<double>{};
  const double seconds = std::atof(argv[4]);
  jack_status_t status;
  jack_client_t *client = jack_client_open("quorvane-probe", JackNoStartServer, &status);
  if (!client) {
    std::fprintf(stderr, "jack_probe: no JACK server (status 0x%x)\n", status);
    return 1;
  }
  Probe p;
  const double rate = jack_get_sample_rate(client);
  for (double hz : play)
    p.step.push_back(2 * M_PI * hz / rate);
  p.phase.assign(play.size(), 0.0);
  p.lead_only = std::strstr(argv[3], ":lead") != nullptr;
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
  std::printf("frames %zu finite %d rms %.6f peak %.6f hz %.1f", n, finite ? 1 : 0,
              n ? std::sqrt(energy / static_cast<double>(n)) : 0.0, peak,
              n ? static_cast<double>(crossings) * rate / (2.0 * static_cast<double>(n)) : 0.0);
  if (!measure.empty())
    std::printf(" levels");
  for (double hz : measure) {
    double best = 0;
    for (double f = hz - 3; f <= hz + 3; f += 0.5) {
      double re = 0, im = 0;
      for (size_t k = 0; k < n; ++k) {
        re += p.take[k] * std::cos(2 * M_PI * f * static_cast<double>(k) / rate);
        im -= p.take[k] * std::sin(2 * M_PI * f * static_cast<double>(k) / rate);
      }
      best = std::fmax(best, n ? 2 * std::hypot(re, im) / static_cast<double>(n) : 0.0);
    }
    std::printf(" %.6f", best);
  }
  std::printf("\n");
  return n == p.take.size() ? 0 : 1;
}
