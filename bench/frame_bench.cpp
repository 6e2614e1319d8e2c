// Single-frame diagnostics: the cost of one frame, against its floor and
// against the plain transcription, each run on the same input frame over and
// over. The processor then learns the branches that the math library takes
// for those exact arguments, which it cannot do on a host's stream, where no
// frame repeats: these figures are for comparing pieces of the frame, not
// what a host sees (bench/stream_bench.cpp measures that).
//
// The floor is what every live frame must pay whatever the code around it:
// 513 atan2f, 513 sincosf and 513 sqrtf on the values of a real spectrum.
// Everything else in a frame (two transforms, windowing, magnitudes, blur,
// accumulation, overlap-add) is overhead over it. All timings are medians of
// repeated runs in one process, in CPU time (on a shared machine wall time
// also counts the other processes); a summary of ratios ends the output.
//
// The plain transcription is the test suite's model (tests/reference.hpp),
// which the plugin must match bit for bit. Also timed: a whole hop through
// the built library (256 samples and the frame they complete), loaded with
// dlopen as a host does, against the model's sample loop.

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <lv2/core/lv2.h>

#include "dsp/frame.hpp"
#include "floor.hpp"
#include "tests/host.hpp"
#include "tests/reference.hpp"

namespace {

// Controls of one frame (freeze, blur, shift, threshold): dsp/channel.hpp.

// A block of music-like input: five partials of a 220 Hz tone at 48 kHz over
// a noise floor 40 dB down, scaled by `level` (tiny levels give subnormals).
std::vector<float> input_block(float level) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> noise(-0.01f, 0.01f);
  std::vector<float> x(block_size);
  for (unsigned i = 0; i < block_size; ++i) {
    float v = noise(rng);
    for (int h = 1; h <= 5; ++h) {
      v += 0.3f / static_cast<float>(h) *
           sinf(6.2831853f * 220.0f * static_cast<float>(h) * static_cast<float>(i) / 48000.0f);
    }
    x[i] = v * level;
  }
  return x;
}

// A channel as the plugin makes one (zero-filled, with its window), or the
// model connected to `c`, whose input ring holds that block.
void prepare(Channel *self, Controls *, float level) {
  const std::vector<float> x = input_block(level);
  memcpy(self->in_ring, x.data(), sizeof self->in_ring);
  prepare(*self);
}

void prepare(ref::Plugin *self, Controls *c, float level) {
  const std::vector<float> x = input_block(level);
  memcpy(self->in_ring, x.data(), sizeof self->in_ring);
  self->freeze = &c->freeze;
  self->blur = &c->blur;
  self->shift = &c->shift;
  self->threshold = &c->threshold;
}

void fast(benchmark::State &state, Controls c, float level) {
  auto *self = static_cast<Channel *>(calloc(1, sizeof(Channel)));
  prepare(self, &c, level);
  frame(*self, c); // a freeze captures here, not in the loop
  for (auto _ : state) {
    (void)_;
    frame(*self, c);
    benchmark::ClobberMemory();
  }
  free(self);
}

void plain(benchmark::State &state, Controls c, float level) {
  auto model = std::make_unique<ref::Plugin>();
  prepare(model.get(), &c, level);
  model->frame();
  for (auto _ : state) {
    (void)_;
    model->frame();
    benchmark::ClobberMemory();
  }
}

const Controls neutral{};
const Controls busy{0.0f, 0.5f, 0.1f, 0.02f};
const Controls frozen{1.0f, 0.0f, 0.0f, 0.0f};
const Controls frozen_busy{1.0f, 0.5f, 0.1f, 0.02f};
const Controls gated{0.0f, 0.0f, 0.0f, 0.5f};

void BM_floor(benchmark::State &state) {
  // The spectrum the frames see: windowed block, forward transform.
  const std::vector<float> x = input_block(1.0f);
  ref::Cpx spec[block_size];
  for (unsigned i = 0; i < block_size; ++i) {
    spec[i] = {x[i] * ref::hann(static_cast<int>(i)), 0.0f};
  }
  ref::fft(spec, 0);
  float re[bins], im[bins], power[bins], phase[bins], out[3][bins];
  floor_operands(spec, re, im, power);
  for (auto _ : state) {
    (void)_;
    floor_calls(re, im, power, phase, out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
}

// The forward transform alone (with its windowing), on ordinary and on
// subnormal input: what subnormal arithmetic costs this processor.
void transform(benchmark::State &state, float level) {
  auto *self = static_cast<Channel *>(calloc(1, sizeof(Channel)));
  Controls c{};
  prepare(self, &c, level);
  Scratch &s = self->scratch;
  for (auto _ : state) {
    (void)_;
    analyse(self->in_ring, self->window, 0, s.acc_re, s.re, s.im, s.fwd);
    benchmark::ClobberMemory();
  }
  free(self);
}

// 256 samples, one frame: a hop of the whole plugin (or the model), fully
// wet, through its descriptor.
void hop_through(benchmark::State &state, bool use_plain, Controls c) {
  std::vector<float> in = input_block(1.0f);
  std::vector<float> out(block_size);
  float mix = 1.0f;
  host::Instance inst(use_plain ? *host::model() : *host::descriptor());
  const std::pair<Role, float *> ports[] = {{Role::IN, in.data()},          {Role::OUT, out.data()},
                                            {Role::FREEZE, &c.freeze},      {Role::MIX, &mix},
                                            {Role::BLUR, &c.blur},          {Role::SHIFT, &c.shift},
                                            {Role::THRESHOLD, &c.threshold}};
  for (auto [role, data] : ports) {
    inst.connect(role, data);
  }
  unsigned offset = 0;
  for (auto _ : state) {
    (void)_;
    inst.connect(Role::IN, in.data() + offset); // rotate so the input keeps changing
    inst.run(hop_size);
    offset = (offset + hop_size) % (block_size - hop_size);
    benchmark::ClobberMemory();
  }
}

constexpr float quiet = 1e-38f; // the block's peak is about 1e-38: subnormals

#define FRAME_BENCH(name, fn, controls, level)                                                     \
  BENCHMARK_CAPTURE(fn, name, controls, level)->Name(#name)

BENCHMARK(BM_floor)->Name("floor");
FRAME_BENCH(live_neutral, fast, neutral, 1.0f);
FRAME_BENCH(live_busy, fast, busy, 1.0f);
FRAME_BENCH(frozen_neutral, fast, frozen, 1.0f);
FRAME_BENCH(frozen_busy, fast, frozen_busy, 1.0f);
FRAME_BENCH(gated, fast, gated, 1.0f);
FRAME_BENCH(quiet_neutral, fast, neutral, quiet);
FRAME_BENCH(plain_neutral, plain, neutral, 1.0f);
FRAME_BENCH(plain_busy, plain, busy, 1.0f);
FRAME_BENCH(plain_quiet_neutral, plain, neutral, quiet);
BENCHMARK_CAPTURE(transform, normal, 1.0f)->Name("transform");
BENCHMARK_CAPTURE(transform, quiet, quiet)->Name("transform_quiet");
BENCHMARK_CAPTURE(hop_through, plugin, false, neutral)->Name("hop_plugin");
BENCHMARK_CAPTURE(hop_through, plain, true, neutral)->Name("hop_plain");

// Prints the usual table, then the ratios of the medians.
class Summary : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs) {
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        median_[r.run_name.function_name] = r.GetAdjustedCPUTime();
      }
    }
  }

  void print() const {
    auto at = [this](const char *name) {
      auto it = median_.find(name);
      return it == median_.end() ? NAN : it->second;
    };
    const double floor = at("floor");
    printf("\nSingle-frame diagnostics (one frame repeated, not what a host sees).\n");
    printf("Medians, ns per frame (ratios to the floor and to the plain frame):\n");
    printf("  %-20s %10.0f\n", "floor", floor);
    const struct {
      const char *name;
      const char *plain;
    } rows[] = {{"live_neutral", "plain_neutral"},
                {"live_busy", "plain_busy"},
                {"frozen_neutral", "plain_neutral"},
                {"frozen_busy", "plain_busy"},
                {"gated", "plain_neutral"},
                {"quiet_neutral", "plain_quiet_neutral"},
                {"plain_neutral", "plain_neutral"},
                {"plain_busy", "plain_busy"},
                {"plain_quiet_neutral", "plain_quiet_neutral"}};
    for (const auto &row : rows) {
      const double t = at(row.name);
      if (!std::isnan(t)) {
        printf("  %-20s %10.0f   %5.2f x floor   %5.3f x %s\n", row.name, t, t / floor,
               t / at(row.plain), row.plain);
      }
    }
    // Ratios of what was run (a filter may have left some out).
    auto ratio = [&at](const char *label, const char *a, const char *b) {
      const double r = at(a) / at(b);
      if (!std::isnan(r)) {
        printf("  %-44s %6.2f\n", label, r);
      }
    };
    ratio("frozen / live, neutral", "frozen_neutral", "live_neutral");
    ratio("frozen / live, busy", "frozen_busy", "live_busy");
    ratio("gated / live, neutral", "gated", "live_neutral");
    ratio("quiet (subnormal) / live, neutral", "quiet_neutral", "live_neutral");
    ratio("transform on subnormal / ordinary input", "transform_quiet", "transform");
    ratio("whole hop (256 samples + frame) / plain hop", "hop_plugin", "hop_plain");
  }

private:
  std::map<std::string, double> median_;
};

// Without the benchmark library, for instruction counts under callgrind:
// 100 live neutral frames each of the optimised code, the model and the
// floor, in functions of their own.
__attribute__((noinline)) void profile_fast(Channel *self, const Controls &c) { frame(*self, c); }
__attribute__((noinline)) void profile_plain(ref::Plugin *model) { model->frame(); }

int profile(const Controls &settings) {
  Controls c = settings;
  auto *self = static_cast<Channel *>(calloc(1, sizeof(Channel)));
  auto model = std::make_unique<ref::Plugin>();
  prepare(self, &c, 1.0f);
  prepare(model.get(), &c, 1.0f);
  ref::Cpx spec[block_size];
  for (unsigned i = 0; i < block_size; ++i) {
    spec[i] = {self->in_ring[i] * self->window[i], 0.0f};
  }
  ref::fft(spec, 0);
  float re[bins], im[bins], power[bins], phase[bins], out[3][bins];
  floor_operands(spec, re, im, power);
  for (int i = 0; i < 100; ++i) {
    profile_fast(self, c);
    profile_plain(model.get());
    floor_calls(re, im, power, phase, out);
  }
  free(self);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "--profile") == 0) {
    return profile(neutral);
  }
  if (argc == 2 && strcmp(argv[1], "--profile-busy") == 0) {
    return profile(busy);
  }
  // Medians of several repetitions unless the command line says otherwise.
  std::vector<char *> args(argv, argv + argc);
  // Repetitions in random order, so that a busy spell of a shared machine
  // spreads over all the benchmarks instead of spoiling one.
  std::string reps = "--benchmark_repetitions=15";
  std::string only = "--benchmark_report_aggregates_only=true";
  std::string min_time = "--benchmark_min_time=0.03";
  std::string shuffle = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, {reps.data(), only.data(), min_time.data(), shuffle.data()});
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) {
    return 1;
  }
  Summary summary;
  benchmark::RunSpecifiedBenchmarks(&summary);
  summary.print();
  return 0;
}
