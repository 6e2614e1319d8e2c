// What a host sees: streams of fresh audio, at least ten seconds each, through
// the built library (loaded with dlopen, as a host loads it) in blocks of 256
// samples, so that every hop ends in a frame that the processor has never
// seen. Beside it, on the same stream and in the same round:
// - the floor: the 513 atan2f, 513 sincosf and 513 sqrtf of each frame of
//   that stream, on the spectra the plugin computes, in bin order;
// - the plain transcription (tests/reference.hpp), the model that the plugin
//   must match bit for bit, run the same way;
// - optionally an earlier build of the library (--baseline LIB), with the
//   ratio to it round by round as well.
// Within a round everything is fed the stream together, 64 hops at a time in
// a shuffled order; each round gives its own ratios, and the table shows
// their medians.
// Round r uses instance records that start 16 (r mod 4) bytes past a 64-byte
// boundary, since where calloc puts the record moves the results by a few
// percent. All times are the thread's CPU time.
//
// Usage: stream_bench [--rounds N] [--seconds S] [--demo FILE] [--baseline LIB]
//                     [--only TEXT]   (only the settings whose names contain TEXT; the
//                                      presses of the coherent plugins, mono and stereo, run
//                                      when "coherent presses" contains it, with the live
//                                      neutral hop they are held against)
//                     [--rate HZ]     (the instances' sample rate; 48000)
// FILE is raw 32-bit float mono at 48 kHz (scripts/bench.sh makes the demo
// phrase with sox); it is repeated up to the stream length.

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <lv2/core/lv2.h>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "dsp/accumulate.hpp" // the calling order, for the grouped floor
#pragma GCC diagnostic pop
#include "floor.hpp"
#include "tests/host.hpp"
#include "tests/reference.hpp"

namespace {

double rate = 48000.0;            // --rate: the instances' sample rate (the streams' too)
constexpr unsigned warm_hops = 4; // the ring is full after these
constexpr size_t stretch = 64;    // hops run in one go

double cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// ---- the streams ----

std::vector<float> white_noise(size_t n) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> u(-0.5f, 0.5f);
  std::vector<float> x(n);
  for (float &v : x) {
    v = u(rng);
  }
  return x;
}

// Plucked notes of an A-minor scale over three octaves, a new one every
// 0.15 to 0.45 s, each with eight slightly stretched partials that decay
// faster the higher they are; under them a low A with a slow vibrato and a
// noise bed 50 dB down. Peak about 0.5.
std::vector<float> music_like(size_t n) {
  std::mt19937 rng(2);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const int scale[] = {0, 2, 3, 5, 7, 8, 10};
  std::vector<double> y(n, 0.0);
  size_t start = 0;
  while (start < n) {
    const int degree = static_cast<int>(rng() % 21);
    const double f0 =
        220.0 * pow(2.0, (12 * (degree / 7) + scale[degree % 7] - 12) / 12.0); // 110-880 Hz
    const double amp = 0.1 + 0.1 * u(rng);
    const size_t len = std::min(n - start, static_cast<size_t>(2.5 * rate));
    for (int h = 1; h <= 8; ++h) {
      const double f = f0 * h * sqrt(1.0 + 0.0004 * h * h);
      if (f > 0.45 * rate) {
        break;
      }
      const double a = amp / h;
      const double decay = 1.5 + 1.2 * h;
      const double phase = 6.283185307179586 * u(rng);
      for (size_t i = 0; i < len; ++i) {
        const double t = static_cast<double>(i) / rate;
        y[start + i] += a * exp(-decay * t) * sin(6.283185307179586 * f * t + phase);
      }
    }
    start += static_cast<size_t>((0.15 + 0.3 * u(rng)) * rate);
  }
  std::normal_distribution<double> bed(0.0, 0.003);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    y[i] += 0.08 * sin(6.283185307179586 * 55.0 * t + 0.3 * sin(6.283185307179586 * 5.0 * t));
    y[i] += bed(rng);
  }
  double peak = 0.0;
  for (double v : y) {
    peak = std::max(peak, fabs(v));
  }
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) {
    x[i] = static_cast<float>(0.5 * y[i] / peak);
  }
  return x;
}

std::vector<float> from_file(const char *path, size_t n) {
  std::ifstream f(path, std::ios::binary);
  std::vector<float> one;
  float v;
  while (f.read(reinterpret_cast<char *>(&v), sizeof v)) {
    one.push_back(v);
  }
  std::vector<float> x;
  while (!one.empty() && x.size() < n) {
    x.insert(x.end(), one.begin(), one.end());
  }
  x.resize(one.empty() ? 0 : std::max(n, x.size()) / hop_size * hop_size);
  return x;
}

// ---- the settings ----

struct Setting {
  const char *name;
  float freeze, blur, shift, threshold;
  bool quiet;       // the stream scaled into the subnormal range
  bool ftz;         // run with flush-to-zero and denormals-are-zero
  uint32_t plugin;  // descriptor index: 0 quorvane, 2 quorvane coherent, ...
  int against = -1; // a setting to hold this one against
};

// The first plugin's settings before the coherent ones, whose stereo
// counterparts are held against them.
#if defined(__SSE__)
constexpr int coherent_settings = 7;
#else
constexpr int coherent_settings = 6;
#endif
constexpr uint32_t stereo_plugin = [] {
  for (uint32_t i = 0; i < host::plugin_count; ++i)
    if (std::string_view(plugin_table[i].uri).ends_with("/quorvane-coherent-stereo"))
      return i;
  return host::plugin_count;
}();

// The coherent settings come last, each held against the first plugin's
// live hop of the same settings (its cost targets are given in those terms).
const Setting settings[] = {
    {"live, neutral", 0, 0, 0, 0, false, false, 0},
    {"live, busy", 0, 0.5f, 0.1f, 0.02f, false, false, 0},
    {"frozen, neutral", 1, 0, 0, 0, false, false, 0},
    {"frozen, busy", 1, 0.5f, 0.1f, 0.02f, false, false, 0},
    {"gated (threshold 0.5)", 0, 0, 0, 0.5f, false, false, 0},
    {"subnormal input", 0, 0, 0, 0, true, false, 0},
#if defined(__SSE__)
    {"subnormal input, FTZ|DAZ", 0, 0, 0, 0, true, true, 0},
#endif
    {"coherent live, neutral", 0, 0, 0, 0, false, false, 2, 0},
    {"coherent live, busy", 0, 0.5f, 0.1f, 0.02f, false, false, 2, 1},
    {"coherent frozen, neutral", 1, 0, 0, 0, false, false, 2, 0},
    {"coherent frozen, busy", 1, 0.5f, 0.1f, 0.02f, false, false, 2, 1},
    // Held against the mono coherent plugin's hop of the same settings.
    {"stereo live, neutral", 0, 0, 0, 0, false, false, stereo_plugin, coherent_settings},
    {"stereo live, busy", 0, 0.5f, 0.1f, 0.02f, false, false, stereo_plugin, coherent_settings + 1},
    {"stereo frozen, neutral", 1, 0, 0, 0, false, false, stereo_plugin, coherent_settings + 2},
    {"stereo frozen, busy", 1, 0.5f, 0.1f, 0.02f, false, false, stereo_plugin,
     coherent_settings + 3},
};
constexpr unsigned n_settings = sizeof settings / sizeof settings[0];

class FlushToZero {
public:
  explicit FlushToZero(bool on) {
#if defined(__SSE__)
    saved_ = _mm_getcsr();
    if (on) {
      _mm_setcsr(saved_ | 0x8040); // FTZ and DAZ
    }
#else
    (void)on;
#endif
  }
  ~FlushToZero() {
#if defined(__SSE__)
    _mm_setcsr(saved_);
#endif
  }
  FlushToZero(const FlushToZero &) = delete;
  FlushToZero &operator=(const FlushToZero &) = delete;

private:
  unsigned saved_ = 0;
};

// ---- what is timed ----

// Something timed on a stream, a stretch of hops at a time.
struct Runner {
  virtual ~Runner() = default;
  virtual void hops(size_t from, size_t to) = 0;
  double ns = 0; // CPU time so far
};

// One instance (of the plugin or the model, through its descriptor) fed the
// stream x in blocks of 256 samples, as a host feeds it. The warm-up hops run at construction,
// untimed; then the freeze switch goes on for a frozen setting, so that it holds a full frame. The
// instance kept is one whose record starts `offset` bytes past a 64-byte boundary (instances are
// made, and held, until one does, with a small allocation between tries).
class Hosted : public Runner {
public:
  Hosted(const LV2_Descriptor &d, const std::vector<float> &x, const Setting &s, unsigned offset)
      : x_(x), ftz_(s.ftz) {
    ports_.blur = s.blur;
    ports_.shift = s.shift;
    ports_.threshold = s.threshold;
    std::vector<host::Instance> misfits;
    std::vector<void *> gaps;
    inst_.emplace(d, rate);
    for (int tries = 0; tries < 64 && where() % 64 != offset; ++tries) {
      misfits.push_back(std::move(*inst_));
      gaps.push_back(malloc(1100));
      inst_.emplace(d, rate);
    }
    misfits.clear();
    for (void *g : gaps) {
      free(g);
    }
    inst_->connect(Role::OUT, ports_.out);
    inst_->connect(Role::OUT_R, ports_.out_r); // a stereo plugin's right channel
    inst_->connect(Role::FREEZE, &ports_.freeze);
    inst_->connect(Role::MIX, &ports_.mix);
    inst_->connect(Role::BLUR, &ports_.blur);
    inst_->connect(Role::SHIFT, &ports_.shift);
    inst_->connect(Role::THRESHOLD, &ports_.threshold);
    hops_ = x_.size() / hop_size;
    hops(0, warm_hops);
    ports_.freeze = s.freeze;
  }

  void hops(size_t from, size_t to) override {
    FlushToZero mode(ftz_);
    for (size_t h = from; h < to; ++h) {
      inst_->connect(Role::IN, const_cast<float *>(x_.data() + h * hop_size));
      // The right channel hears the stream seven hops later.
      inst_->connect(Role::IN_R, const_cast<float *>(x_.data() + (h + 7) % hops_ * hop_size));
      inst_->run(hop_size);
    }
  }
  uintptr_t where() const { return reinterpret_cast<uintptr_t>(inst_->handle()); }

private:
  struct Ports {
    float out[hop_size] = {};
    float out_r[hop_size] = {};
    float freeze = 0, mix = 1, blur = 0, shift = 0, threshold = 0;
  };
  const std::vector<float> &x_;
  bool ftz_;
  size_t hops_ = 1;
  Ports ports_;
  std::optional<host::Instance> inst_;
};

// The coherent plugin with its switch pressed every 128 hops and held for
// 96 at 48 kHz (as long in time at other rates: analysis, hold, and the
// refinement of a hold taken at a strike), each hop timed on its own and
// kept by its place in that cycle, so that the dearest hop of a press (the
// window, a slice of the long transform, the peaks, the fade) shows beside
// the others. The first hop of each stretch finds the caches emptied by the
// other runners; so that it is not the same place of the cycle in every
// round (the stretches and the cycle are both whole multiples of 64 hops),
// each round starts the cycle `phase` hops later, and the medians over the
// rounds leave that hop out as they leave out any other round's outlier.
class Presses : public Runner {
public:
  static inline size_t cycle = 128;
  static inline size_t held = 96;
  Presses(const LV2_Descriptor &d, const std::vector<float> &x, size_t phase)
      : x_(x), inst_(d, rate), phase_(phase), at_(cycle), count_(cycle) {
    inst_.connect(Role::OUT, out_);
    inst_.connect(Role::OUT_R, out_r_);
    inst_.connect(Role::FREEZE, &freeze_);
    inst_.connect(Role::MIX, &mix_);
    for (Role port : {Role::BLUR, Role::SHIFT, Role::THRESHOLD}) {
      inst_.connect(port, &zero_);
    }
  }
  void hops(size_t from, size_t to) override {
    for (size_t h = from; h < to; ++h) {
      const size_t place = (h + cycle - phase_) % cycle;
      freeze_ = place < held ? 1.0f : 0.0f;
      inst_.connect(Role::IN, const_cast<float *>(x_.data() + h * hop_size));
      // A stereo plugin's right channel hears the stream seven hops later.
      inst_.connect(Role::IN_R,
                    const_cast<float *>(x_.data() + (h + 7) % (x_.size() / hop_size) * hop_size));
      const double t = cpu_ns();
      inst_.run(hop_size);
      at_[place] += cpu_ns() - t;
      ++count_[place];
    }
  }
  // Mean CPU time of the hop at each place of the cycle.
  std::vector<double> means() const {
    std::vector<double> m(cycle);
    for (size_t i = 0; i < cycle; ++i) {
      m[i] = count_[i] ? at_[i] / static_cast<double>(count_[i]) : 0.0;
    }
    return m;
  }

private:
  const std::vector<float> &x_;
  host::Instance inst_;
  float out_[hop_size] = {};
  float out_r_[hop_size] = {};
  float freeze_ = 0, mix_ = 1, zero_ = 0;
  size_t phase_;
  std::vector<double> at_;
  std::vector<size_t> count_;
};

// The operands of the floor's calls for every frame of the stream that the
// passes time: the windowed latest 1024 samples after each hop, transformed.
struct Spectra {
  std::vector<float> re, im, power;
  size_t frames = 0;
};

Spectra spectra_of(const std::vector<float> &x) {
  Spectra sp;
  const size_t hops = x.size() / hop_size;
  sp.frames = hops - warm_hops;
  sp.re.resize(sp.frames * bins);
  sp.im.resize(sp.frames * bins);
  sp.power.resize(sp.frames * bins);
  std::vector<ref::Cpx> spec(block_size);
  for (size_t f = 0; f < sp.frames; ++f) {
    const long end = static_cast<long>((warm_hops + f + 1) * hop_size);
    for (unsigned i = 0; i < block_size; ++i) {
      const long at = end - static_cast<long>(block_size) + static_cast<long>(i);
      spec[i] = {at < 0 ? 0.0f : x[static_cast<size_t>(at)] * ref::hann(static_cast<int>(i)), 0.0f};
    }
    ref::fft(spec.data(), 0);
    floor_operands(spec.data(), &sp.re[f * bins], &sp.im[f * bins], &sp.power[f * bins]);
  }
  return sp;
}

// The same calls in the plugin's calling order, its sorting included.
__attribute__((noinline)) void grouped_calls(const float *re, const float *im, const float *power,
                                             float *phase, float (*out)[bins]) {
  uint16_t order[bins];
  const unsigned n = group_order(re, im, power, 0, bins - 1, order);
  for (unsigned j = 0; j < n; ++j) {
    phase[order[j]] = atan2f(im[order[j]], re[order[j]]);
  }
  for (unsigned j = 0; j < n; ++j) {
    sincosf(phase[order[j]], &out[0][order[j]], &out[1][order[j]]);
  }
  for (unsigned k = 0; k < bins; ++k) {
    out[2][k] = sqrtf(power[k]);
  }
}

// The floor's calls on the frames that end the given hops: in bin order, as
// a plain loop makes them, or (a diagnostic) in the plugin's calling order.
class Floor : public Runner {
public:
  Floor(const Spectra &sp, bool grouped) : sp_(sp), grouped_(grouped) {}
  void hops(size_t from, size_t to) override {
    for (size_t f = from - warm_hops; f < to - warm_hops; ++f) {
      const size_t at = f * bins;
      (grouped_ ? grouped_calls : floor_calls)(&sp_.re[at], &sp_.im[at], &sp_.power[at], phase_,
                                               out_);
    }
  }

private:
  const Spectra &sp_;
  bool grouped_;
  float phase_[bins] = {};
  float out_[3][bins] = {};
};

// ---- rounds and report ----

double median(std::vector<double> v) {
  if (v.empty()) {
    return NAN;
  }
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

const char *c_library() {
#if defined(__GLIBC__)
  static const std::string name = std::string("glibc ") + gnu_get_libc_version();
  return name.c_str();
#else
  return "not glibc";
#endif
}

std::string processor() {
  std::ifstream f("/proc/cpuinfo");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("model name", 0) == 0 || line.rfind("Model name", 0) == 0) {
      return line.substr(line.find(':') + 2);
    }
  }
  return "unknown";
}

struct Timed {
  std::vector<double> plugin, plain, base;
};

struct StreamRun {
  std::string name;
  std::vector<float> x, quiet;
  Spectra spectra;
  std::vector<double> floor, grouped;
  Timed t[n_settings];
  // mono, stereo, then the baseline's: per round, per place in the cycle
  std::vector<std::vector<double>> presses[4];
};

} // namespace

int main(int argc, char **argv) {
  int rounds = 11;
  double seconds = 10.0;
  const char *demo = nullptr;
  const char *baseline = nullptr;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rate" && i + 1 < argc) {
      rate = atof(argv[++i]);
      const size_t scale = rate > 135000.0 ? 4 : rate > 67000.0 ? 2 : 1;
      Presses::cycle = 128 * scale;
      Presses::held = 96 * scale;
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = atoi(argv[++i]);
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = atof(argv[++i]);
    } else if (a == "--demo" && i + 1 < argc) {
      demo = argv[++i];
    } else if (a == "--baseline" && i + 1 < argc) {
      baseline = argv[++i];
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      fprintf(stderr,
              "usage: %s [--rounds N] [--seconds S] [--demo FILE] [--baseline LIB] "
              "[--only TEXT] [--rate HZ]\n",
              argv[0]);
      return 2;
    }
  }
  rounds = std::max(rounds, 1);
  const bool with_presses =
      only.empty() || std::string("coherent presses").find(only) != std::string::npos;
  const size_t n = static_cast<size_t>(seconds * rate) / hop_size * hop_size;
  const LV2_Descriptor_Function base = baseline ? host::open_library(baseline) : nullptr;

  std::vector<StreamRun> streams(2);
  streams[0].name = "white noise";
  streams[0].x = white_noise(n);
  streams[1].name = "music-like (plucked notes, drone, noise bed)";
  streams[1].x = music_like(n);
  if (demo) {
    StreamRun d;
    d.name = std::string("demo phrase (") + demo + ", repeated)";
    d.x = from_file(demo, n);
    if (d.x.size() < 4 * block_size) {
      fprintf(stderr, "cannot read %s\n", demo);
      return 1;
    }
    streams.push_back(std::move(d));
  }
  for (StreamRun &s : streams) {
    s.spectra = spectra_of(s.x);
    s.quiet = s.x;
    for (float &v : s.quiet) {
      v *= 2e-38f; // peak 1e-38, below the smallest normal float
    }
  }

  // A round runs each stream once through everything at once: a fresh
  // floor, plugin, model (and baseline) per setting, all fed the stream a
  // stretch of hops at a time, in an order shuffled anew for every stretch,
  // so that a busy spell of a shared machine falls on all of them alike.
  // Subnormal input only on the noise stream: it costs the same whatever the
  // signal.
  std::vector<unsigned> offsets; // of the plugin's records, mod 64
  for (int r = 0; r < rounds; ++r) {
    std::mt19937 rng(static_cast<unsigned>(r) + 1);
    const unsigned offset = 16 * static_cast<unsigned>(r % 4);
    for (unsigned si = 0; si < streams.size(); ++si) {
      StreamRun &s = streams[si];
      std::vector<std::unique_ptr<Runner>> run;
      std::vector<std::vector<double> *> results; // where each one's time goes
      run.push_back(std::make_unique<Floor>(s.spectra, false));
      results.push_back(&s.floor);
      run.push_back(std::make_unique<Floor>(s.spectra, true));
      results.push_back(&s.grouped);
      for (unsigned k = 0; k < n_settings; ++k) {
        const Setting &set = settings[k];
        // The presses are held against setting 0, which runs with them.
        if ((set.quiet && si != 0) ||
            (std::string(set.name).find(only) == std::string::npos && !(k == 0 && with_presses))) {
          continue;
        }
        const std::vector<float> &x = set.quiet ? s.quiet : s.x;
        auto plugin = std::make_unique<Hosted>(*host::descriptor(set.plugin), x, set, offset);
        offsets.push_back(static_cast<unsigned>(plugin->where() % 64));
        run.push_back(std::move(plugin));
        results.push_back(&s.t[k].plugin);
        run.push_back(std::make_unique<Hosted>(*host::model(set.plugin), x, set, offset));
        results.push_back(&s.t[k].plain);
        if (const LV2_Descriptor *b = base ? base(set.plugin) : nullptr) {
          run.push_back(std::make_unique<Hosted>(*b, x, set, offset));
          results.push_back(&s.t[k].base);
        }
      }
      Presses *presses[4] = {};
      for (unsigned c = 0; with_presses && c < 4; ++c) {
        const uint32_t which = c % 2 == 0 ? 2 : stereo_plugin;
        const LV2_Descriptor *d = c < 2 ? host::descriptor(which) : base ? base(which) : nullptr;
        if (!d) {
          continue;
        }
        auto p =
            std::make_unique<Presses>(*d, s.x, (16 + 41 * static_cast<size_t>(r)) % Presses::cycle);
        presses[c] = p.get();
        run.push_back(std::move(p));
        results.push_back(nullptr);
      }
      std::vector<size_t> turn(run.size());
      for (size_t i = 0; i < turn.size(); ++i) {
        turn[i] = i;
      }
      const size_t hops = s.x.size() / hop_size;
      for (size_t from = warm_hops; from < hops; from += stretch) {
        const size_t to = std::min(hops, from + stretch);
        std::shuffle(turn.begin(), turn.end(), rng);
        for (size_t i : turn) {
          const double t = cpu_ns();
          run[i]->hops(from, to);
          run[i]->ns += cpu_ns() - t;
        }
      }
      for (size_t i = 0; i < run.size(); ++i) {
        if (results[i]) {
          results[i]->push_back(run[i]->ns / static_cast<double>(hops - warm_hops));
        }
      }
      for (unsigned c = 0; c < 4; ++c) {
        if (presses[c]) {
          s.presses[c].push_back(presses[c]->means());
        }
      }
    }
  }

  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  printf("Processor: %s (%u cores online); C library: %s\n", processor().c_str(),
         static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN)), c_library());
  printf("Streams of %.1f s at 48 kHz in blocks of 256 samples through %s\n",
         static_cast<double>(n) / rate, QUORVANE_LIB);
  printf("%d interleaved rounds; medians of the per-round ratios; CPU time.\n", rounds);
  printf("Record offsets mod 64 covered by the rounds:");
  for (unsigned o : offsets) {
    printf(" %u", o);
  }
  printf("\n");
  for (const StreamRun &s : streams) {
    const double fl = median(s.floor);
    printf("\n%s: floor %.2f us per frame in bin order (%.2f us in the plugin's calling order, "
           "sorting included)\n",
           s.name.c_str(), fl / 1e3, median(s.grouped) / 1e3);
    printf("  %-26s %9s %8s %8s %9s%s\n", "per hop (256 samples + frame)", "us", "x floor",
           "x plain", "plain us", base ? "  x baseline" : "");
    for (unsigned k = 0; k < n_settings; ++k) {
      const Timed &t = s.t[k];
      if (t.plugin.empty()) {
        continue;
      }
      std::vector<double> to_floor, to_plain, to_base;
      for (size_t r = 0; r < t.plugin.size(); ++r) {
        to_floor.push_back(t.plugin[r] / s.floor[r]);
        to_plain.push_back(t.plugin[r] / t.plain[r]);
        if (!t.base.empty()) {
          to_base.push_back(t.plugin[r] / t.base[r]);
        }
      }
      printf("  %-26s %9.2f %8.3f %8.3f %9.2f", settings[k].name, median(t.plugin) / 1e3,
             median(to_floor), median(to_plain), median(t.plain) / 1e3);
      if (base && !t.base.empty()) {
        printf("  %6.3f (%.2f us)", median(to_base), median(t.base) / 1e3);
      }
      const int against = settings[k].against;
      if (against >= 0 && !s.t[against].plugin.empty()) {
        std::vector<double> ratio;
        for (size_t r = 0; r < t.plugin.size(); ++r) {
          ratio.push_back(t.plugin[r] / s.t[against].plugin[r]);
        }
        printf("  %.3f x quorvane %s", median(ratio), settings[against].name);
      }
      printf("\n");
      if (base && to_base.size() > 1) {
        printf("  %26s", "x baseline, per round:");
        for (double q : to_base) {
          printf(" %.3f", q);
        }
        printf("\n");
      }
    }
  }
  // The presses: each place of the cycle against the first plugin's live
  // neutral hop of the same round (setting 0).
  for (const StreamRun &s : streams) {
    for (unsigned c = 0; c < 4; ++c) {
      const std::vector<std::vector<double>> &presses = s.presses[c];
      if (presses.empty() || s.t[0].plugin.empty()) {
        continue;
      }
      printf("\n%s, %scoherent%s, pressed every %zu hops for %zu: hop by place (us, x quorvane "
             "live)\n",
             s.name.c_str(), c < 2 ? "" : "baseline ", c % 2 ? " stereo" : "", Presses::cycle,
             Presses::held);
      double worst = 0, worst_held = 0;
      size_t worst_at = 0;
      std::vector<double> worst_per_round(presses.size(), 0.0);
      for (size_t i = 0; i < Presses::cycle; ++i) {
        std::vector<double> us, ratio;
        for (size_t r = 0; r < presses.size(); ++r) {
          us.push_back(presses[r][i]);
          ratio.push_back(presses[r][i] / s.t[0].plugin[r]);
          worst_per_round[r] = std::max(worst_per_round[r], ratio.back());
        }
        const double q = median(ratio);
        if (q > worst) {
          worst = q;
          worst_at = i;
        }
        if (i >= 12 && i < Presses::held) {
          worst_held = std::max(worst_held, q);
        }
        printf("  %2zu %7.2f %6.3f%s", i, median(us) / 1e3, q, i % 4 == 3 ? "\n" : "");
      }
      printf("  dearest hop: place %zu, %.3f x quorvane live; dearest held hop (places 12..%zu): "
             "%.3f x\n",
             worst_at, worst, Presses::held - 1, worst_held);
      printf("  dearest hop of each round (x quorvane live):");
      for (double q : worst_per_round) {
        printf(" %.3f", q);
      }
      printf("\n");
    }
  }
  return 0;
}
