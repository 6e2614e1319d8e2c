// strike_bench: the coherent plugins' hold of real instrument notes against
// the ideal hold. Notes of a General MIDI soundfont (Debian's
// fluid-soundfont-gm, played by fluidsynth, reverb and chorus off) go
// through a coherent plugin with freeze pressed at and after the note-on;
// the held sound (fully wet, measured from 0.6 s after the press for a
// second) is compared with the ideal: the source's spectrum over 8192
// samples at 48 kHz (the same time at other rates) from the note-on, each
// peak held as a steady sine.
//
//   strike_bench [--lib PATH] [--before PATH] [--rates 48000,96000]
//                [--press 0,10,50,100] [--stereo | --rate-table]
//                [--wav DIR] [--sf2 PATH]
//   strike_bench --check-pitch
//
// Markdown tables, one row per source and press time: the worst
// fundamental against the ideal's (dB), the pitch of the ideal's 12
// strongest lasting partials as held (worst and median, cents), how many of
// them are missing (20 dB or more down), the level against the ideal's
// (dB), and the loudest attack-only partial (one that is 20 dB weaker half a
// second later) against the strongest held (dB); then the refinement's seam
// (see seam_of). --before runs each case through a second library too and
// prints "before → now". --rate-table: a few cases at 44.1 to 192 kHz
// against 48 kHz, and the capture delay. --stereo: a pair, piano on the
// left and strings on the right, each side's notes in the other; a chord
// struck on the right over one sustained on the left, against the mono
// plugin; and a chord struck over an equally loud sustained one through the
// mono plugin, against the ideal's level. --wav writes each hold from
// 0.5 s before the press. --check-pitch checks the pitch measure on
// synthetic partials. scripts/strike-figures.sh runs them all for
// docs/sound.md.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <complex>
#include <initializer_list>
#include <string>
#include <vector>

#include <lv2/core/lv2.h>

#include "tests/host.hpp"

namespace {

using Buf = std::vector<float>;

// A type-0 MIDI file: `program`, the notes on at 0.5 s, off at 4 s.
void write_midi(const std::string &path, int program, const std::vector<int> &notes,
                int at_ms = 500, int program2 = -1, const std::vector<int> &notes2 = {}) {
  std::vector<unsigned char> t;
  auto delta = [&t](unsigned v) { // variable-length quantity
    unsigned char b[4];
    int n = 0;
    b[n++] = v & 0x7f;
    while (v >>= 7)
      b[n++] = 0x80 | (v & 0x7f);
    while (n)
      t.push_back(b[--n]);
  };
  // 1000 ticks a quarter at 60 bpm (the default tempo is 120: set it): 1 tick = 1 ms.
  delta(0);
  t.insert(t.end(), {0xff, 0x51, 0x03, 0x0f, 0x42, 0x40});
  delta(0);
  t.insert(t.end(), {0xc0, (unsigned char)program});
  delta(0);
  t.insert(t.end(), {0xc1, (unsigned char)(program2 < 0 ? program : program2)});
  // Channel 1 (notes2) sustains from the start; channel 0 (notes) at at_ms.
  for (int n : notes2) {
    delta(0);
    t.insert(t.end(), {0x91, (unsigned char)n, 100});
  }
  bool first = true;
  for (int n : notes) {
    delta(first ? at_ms : 0);
    first = false;
    t.insert(t.end(), {0x90, (unsigned char)n, 100});
  }
  first = true;
  for (int n : notes) {
    delta(first ? 4000 - at_ms : 0);
    first = false;
    t.insert(t.end(), {0x80, (unsigned char)n, 0});
  }
  for (int n : notes2) {
    delta(0);
    t.insert(t.end(), {0x81, (unsigned char)n, 0});
  }
  delta(0);
  t.insert(t.end(), {0xff, 0x2f, 0x00});
  std::vector<unsigned char> f = {'M', 'T', 'h', 'd',  0,    0,   0,   6,   0,
                                  0,   0,   1,   0x03, 0xe8, 'M', 'T', 'r', 'k'};
  const size_t n = t.size();
  f.insert(f.end(), {(unsigned char)(n >> 24), (unsigned char)(n >> 16), (unsigned char)(n >> 8),
                     (unsigned char)n});
  f.insert(f.end(), t.begin(), t.end());
  FILE *o = fopen(path.c_str(), "wb");
  fwrite(f.data(), 1, f.size(), o);
  fclose(o);
}

void fft(std::vector<std::complex<double>> &a);

// x at twice its rate, through the frequency domain (band-limited).
Buf upsample2(const Buf &x) {
  size_t n = 1;
  while (n < x.size())
    n <<= 1;
  std::vector<std::complex<double>> a(n), b(2 * n);
  std::copy(x.begin(), x.end(), a.begin());
  fft(a);
  for (size_t k = 0; k < n / 2; ++k) {
    b[k] = a[k];
    if (k > 0)
      b[2 * n - k] = a[n - k];
  }
  for (auto &v : b) // the inverse, by conjugation
    v = std::conj(v);
  fft(b);
  Buf y(2 * x.size());
  for (size_t i = 0; i < y.size(); ++i)
    y[i] = (float)(2.0 * b[i].real() / (double)(2 * n));
  return y;
}

// fluidsynth's rendering of `midi` at `rate`: left and right (above 96 kHz,
// fluidsynth's highest, rendered at half the rate and upsampled).
void render_midi(const std::string &sf2, const std::string &midi, double rate, Buf *l, Buf *r) {
  if (rate > 96000.0) {
    render_midi(sf2, midi, rate / 2.0, l, r);
    *l = upsample2(*l);
    *r = upsample2(*r);
    return;
  }
  const std::string raw = midi + ".raw";
  const std::string cmd = "fluidsynth -ni -q -R 0 -C 0 -g 0.5 -r " + std::to_string((int)rate) +
                          " -F " + raw + " -T raw -O s16 " + sf2 + " " + midi + " >/dev/null 2>&1";
  if (system(cmd.c_str()) != 0) {
    fprintf(stderr, "fluidsynth failed: %s\n", cmd.c_str());
    unlink(raw.c_str());
    unlink(midi.c_str());
    rmdir(midi.substr(0, midi.rfind('/')).c_str());
    exit(2);
  }
  FILE *in = fopen(raw.c_str(), "rb");
  int16_t s[2];
  l->clear();
  r->clear();
  while (in && fread(s, sizeof s, 1, in) == 1) {
    l->push_back(s[0] / 32768.0f);
    r->push_back(s[1] / 32768.0f);
  }
  if (in)
    fclose(in);
  unlink(raw.c_str());
}

size_t onset(const Buf &x, size_t from = 0) {
  for (size_t i = from; i < x.size(); ++i)
    if (fabsf(x[i]) > 1e-4f)
      return i;
  return x.size();
}

void fft(std::vector<std::complex<double>> &a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1)
      j ^= bit;
    j ^= bit;
    if (i < j)
      std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> w = std::polar(1.0, -2.0 * M_PI / (double)len);
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> z = 1.0;
      for (size_t k = 0; k < len / 2; ++k) {
        const auto u = a[i + k], v = a[i + k + len / 2] * z;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        z *= w;
      }
    }
  }
}

// The amplitude spectrum of x[from, from + len) through a Hann window,
// zero-padded 8 times: amplitude of a sine at its peak, `hz` per point.
struct Spectrum {
  std::vector<double> amp;
  double hz = 0;
  double rms = 0; // of the windowed stretch, against the window's
  Spectrum() = default;
  Spectrum(const Buf &x, size_t from, size_t len, double rate) {
    size_t n = 1;
    while (n < 8 * len)
      n <<= 1;
    std::vector<std::complex<double>> a(n);
    double wsum = 0, ws2 = 0, xs2 = 0;
    for (size_t i = 0; i < len && from + i < x.size(); ++i) {
      const double w = 0.5 - 0.5 * cos(2.0 * M_PI * (double)i / (double)len);
      a[i] = w * x[from + i];
      wsum += w;
      ws2 += w * w;
      xs2 += w * w * x[from + i] * x[from + i];
    }
    fft(a);
    amp.resize(n / 2);
    for (size_t k = 0; k < n / 2; ++k)
      amp[k] = 2.0 * std::abs(a[k]) / wsum;
    hz = rate / (double)n;
    rms = sqrt(xs2 / ws2);
  }
  // The largest amplitude within `cents` of f, and where.
  double at(double f, double cents, double *where = nullptr) const {
    const double lo = f * pow(2.0, -cents / 1200.0), hi = f * pow(2.0, cents / 1200.0);
    double best = 0;
    for (size_t k = (size_t)(lo / hz); k <= (size_t)(hi / hz) + 1 && k < amp.size(); ++k)
      if (amp[k] > best) {
        best = amp[k];
        if (where)
          *where = (double)k * hz;
      }
    return best;
  }
  struct Peak {
    double f, a;
  };
  bool is_peak(size_t k) const {
    return k > 0 && k + 1 < amp.size() && amp[k] > amp[k - 1] && amp[k] >= amp[k + 1];
  }
  // The top of the lobe around peak point k: a parabola through the log
  // amplitudes of k and its neighbours. Zero-padded 8 times, a Hann lobe's
  // log is that close to a parabola there that a lone sine's frequency comes
  // out within a thousandth of a cent (--check-pitch: within 0.5 cent beside
  // other partials, at every rate).
  Peak refine(size_t k) const {
    const double a = log(std::max(amp[k - 1], 1e-300)), b = log(std::max(amp[k], 1e-300)),
                 c = log(std::max(amp[k + 1], 1e-300));
    const double den = a - 2.0 * b + c;
    const double p = den < 0 ? 0.5 * (a - c) / den : 0.0;
    return {((double)k + p) * hz, exp(b - 0.25 * (a - c) * p)};
  }
  // Peaks from 20 Hz up, strongest first, at least 40 dB below the top.
  std::vector<Peak> peaks() const {
    std::vector<Peak> p;
    double top = 0;
    for (double v : amp)
      top = std::max(top, v);
    for (size_t k = std::max<size_t>(1, (size_t)(20.0 / hz)); k + 1 < amp.size(); ++k)
      if (is_peak(k) && amp[k] > top * 0.01)
        p.push_back(refine(k));
    std::sort(p.begin(), p.end(), [](const Peak &a, const Peak &b) { return a.a > b.a; });
    return p;
  }
};

double db(double x) { return 20.0 * log10(std::max(x, 1e-12)); }

// The partials of a spectrum of a window `bin` Hz wide: its peaks but the
// skirts of a stronger one (a Hann window's side lobes, 2.5 and 3.5 bins
// out at -31 and -41 dB, are peaks too): none within 4 bins of a peak 25 dB
// stronger.
std::vector<Spectrum::Peak> partials(const Spectrum &s, double bin) {
  const auto all = s.peaks();
  std::vector<Spectrum::Peak> p;
  for (const auto &q : all) {
    bool skirt = false;
    for (const auto &r : all)
      skirt = skirt || (r.a >= q.a * 17.8 && fabs(r.f - q.f) <= 4.0 * bin);
    if (!skirt)
      p.push_back(q);
  }
  return p;
}
double hz_of(int note) { return 440.0 * pow(2.0, (note - 69) / 12.0); }
double cents_of(double f, double ref) { return 1200.0 * log2(f / ref); }

// The pitch of the held partial for each of the ideal's `count` strongest:
// the strongest peak of the held spectrum within half the way to the
// ideal's nearest partial of comparable strength (20 dB or less weaker), at
// most 50 cents, its frequency against the ideal's in cents. A partial that
// is missing (20 dB or more down) has no pitch; neither has one closer than
// 4 cents to another (no peak can be told from its neighbour): NaN.
std::vector<double> pitch_cents(const std::vector<Spectrum::Peak> &ideal, const Spectrum &held,
                                size_t count) {
  std::vector<double> c;
  for (size_t i = 0; i < ideal.size() && i < count; ++i) {
    const Spectrum::Peak &p = ideal[i];
    double w = 50.0;
    for (size_t j = 0; j < ideal.size(); ++j)
      if (j != i && ideal[j].a >= 0.1 * p.a)
        w = std::min(w, 0.5 * fabs(cents_of(ideal[j].f, p.f)));
    if (w < 2.0) {
      c.push_back(NAN);
      continue;
    }
    const size_t lo = std::max<size_t>(1, (size_t)(p.f * pow(2.0, -w / 1200.0) / held.hz)),
                 hi = (size_t)(p.f * pow(2.0, w / 1200.0) / held.hz) + 1;
    Spectrum::Peak best = {0, 0};
    for (size_t k = lo; k <= hi && k + 1 < held.amp.size(); ++k)
      if (held.is_peak(k)) {
        const Spectrum::Peak q = held.refine(k);
        if (fabs(cents_of(q.f, p.f)) <= w && q.a > best.a)
          best = q;
      }
    c.push_back(best.a > 0.1 * p.a ? cents_of(best.f, p.f) : NAN);
  }
  return c;
}

struct Pitch {
  double worst = 0, median = 0;
  size_t measured = 0;
};
Pitch summary(const std::vector<double> &all) {
  std::vector<double> c;
  for (double v : all)
    if (!std::isnan(v))
      c.push_back(v);
  Pitch s;
  s.measured = c.size();
  if (c.empty())
    return s;
  for (double v : c)
    s.worst = fabs(v) > fabs(s.worst) ? v : s.worst;
  for (double &v : c)
    v = fabs(v);
  std::sort(c.begin(), c.end());
  s.median = c.size() % 2 ? c[c.size() / 2] : 0.5 * (c[c.size() / 2 - 1] + c[c.size() / 2]);
  return s;
}

// The seam of a refinement, which fades the hold to a longer analysis some
// 200 ms after a strike, over 43 ms. From 100 ms after the press (the hold
// has begun) to 600 ms, against the steady hold from 0.6 s for a second:
// - the largest step from one sample to the next in a 5 ms stretch against
//   the median of the largest steps of the 20 stretches around it, in dB
//   (a click stands out of its surroundings; a brighter hold before the
//   refinement than after does not);
// - the largest level change across 43 ms: the RMS over the 80 ms before
//   against the 80 ms after. In a steady hold this is only the partials'
//   beating, given beside it.
struct Seam {
  double step = 0, steady_step = 0, level = 0, steady = 0;
};
Seam seam_of(const Buf &y, size_t press, double rate) {
  const size_t a = press + (size_t)(0.1 * rate), b = press + (size_t)(0.6 * rate),
               e = std::min(y.size(), press + (size_t)(1.6 * rate));
  const size_t piece = (size_t)(0.005 * rate);
  std::vector<double> top; // the largest step of each 5 ms from a
  for (size_t t = a; t + piece <= e; t += piece) {
    double m = 0;
    for (size_t i = t + 1; i < t + piece; ++i)
      m = std::max(m, fabs((double)y[i] - (double)y[i - 1]));
    top.push_back(m);
  }
  auto clicks = [&top](size_t from, size_t to) { // the pieces from..to
    double worst = -200;
    for (size_t k = from + 10; k + 10 < to && k + 10 < top.size(); ++k) {
      std::vector<double> near(top.begin() + (long)(k - 10), top.begin() + (long)(k + 11));
      near.erase(near.begin() + 10);
      std::nth_element(near.begin(), near.begin() + 10, near.end());
      worst = std::max(worst, db(top[k]) - db(near[10]));
    }
    return worst;
  };
  std::vector<double> sum(e + 1, 0.0);
  for (size_t i = 0; i < e; ++i)
    sum[i + 1] = sum[i] + (double)y[i] * y[i];
  const size_t w = (size_t)(0.08 * rate), g = (size_t)(0.0215 * rate),
               hop = (size_t)(rate / 1000.0);
  auto change = [&](size_t from, size_t to) { // across t in [from + g + w, to)
    double worst = 0;
    for (size_t t = from + g + w; t < to && t + g + w <= e; t += hop) {
      const double before = sum[t - g] - sum[t - g - w], after = sum[t + g + w] - sum[t + g];
      const double d = 10.0 * log10(std::max(after, 1e-30) / std::max(before, 1e-30));
      worst = fabs(d) > fabs(worst) ? d : worst;
    }
    return worst;
  };
  const size_t split = (b - a) / piece;
  return {clicks(0, split), clicks(split, top.size()), change(a, b), change(b, e - g - w)};
}

// `l` (and `r` for a pair) through plugin `which` at `rate`, freeze pressed
// at `press`; the wet output, as long as the input.
void through(LV2_Descriptor_Function lib, uint32_t which, double rate, const Buf &l, const Buf *r,
             size_t press, Buf *out_l, Buf *out_r) {
  host::Rig<host::Instance> rig(*lib(which), rate);
  rig.set(host::MIX, 1.0f);
  rig.set(host::FREEZE, 0.0f);
  out_l->assign(l.size(), 0.0f);
  out_r->assign(l.size(), 0.0f);
  if (r) {
    rig.p.connect(host::IN_R, const_cast<float *>(r->data()));
    rig.p.connect(host::OUT_R, out_r->data());
  }
  for (size_t i = 0; i < l.size(); i += 64) {
    if (i >= press)
      rig.set(host::FREEZE, 1.0f);
    const uint32_t n = (uint32_t)std::min<size_t>(64, l.size() - i);
    if (r) {
      rig.p.connect(host::IN_R, const_cast<float *>(r->data() + i));
      rig.p.connect(host::OUT_R, out_r->data() + i);
    }
    rig.block(l.data() + i, out_l->data() + i, n);
  }
}

// The capture delay: a sustained chord silenced at the press. The time from
// the press until the output, quiet once the live sound has ended (30 dB
// under the hold), comes within 6 dB of the hold's level (RMS over 1 ms).
double capture_ms(LV2_Descriptor_Function lib, double rate, Buf x, size_t press) {
  const size_t end = press + (size_t)(1.6 * rate);
  x.resize(std::min(x.size(), end));
  std::fill(x.begin() + (long)press, x.end(), 0.0f);
  Buf out, unused;
  through(lib, host::COHERENT, rate, x, nullptr, press, &out, &unused);
  double hold = 0;
  const size_t from = press + (size_t)(0.6 * rate);
  for (size_t i = from; i < out.size(); ++i)
    hold += (double)out[i] * out[i];
  hold /= (double)(out.size() - from);
  const size_t w = (size_t)(rate / 1000.0), hop = std::max<size_t>(1, w / 10);
  bool quiet = false;
  for (size_t t = press; t + w < from; t += hop) {
    double s = 0;
    for (size_t i = t; i < t + w; ++i)
      s += (double)out[i] * out[i];
    const double d = 10.0 * log10(std::max(s / (double)w, 1e-30) / hold);
    if (!quiet)
      quiet = d < -30.0;
    else if (d > -6.0)
      return 1000.0 * (double)(t + w / 2 - press) / rate;
  }
  return NAN;
}

// A mono or stereo 32-bit float WAV of y (and r) from sample `from` on.
void write_wav(const std::string &path, const Buf &y, const Buf *r, size_t from, double rate) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(2);
  }
  const uint32_t ch = r ? 2 : 1, frames = (uint32_t)(y.size() > from ? y.size() - from : 0),
                 data = frames * ch * 4, sr = (uint32_t)lrint(rate);
  auto u32 = [f](uint32_t v) { fwrite(&v, 4, 1, f); };
  auto u16 = [f](uint16_t v) { fwrite(&v, 2, 1, f); };
  fwrite("RIFF", 1, 4, f);
  u32(4 + 26 + 12 + 8 + data);
  fwrite("WAVEfmt ", 1, 8, f);
  u32(18);
  u16(3); // IEEE float
  u16((uint16_t)ch);
  u32(sr);
  u32(sr * ch * 4);
  u16((uint16_t)(ch * 4));
  u16(32);
  u16(0);
  fwrite("fact", 1, 4, f);
  u32(4);
  u32(frames);
  fwrite("data", 1, 4, f);
  u32(data);
  for (size_t i = from; i < y.size(); ++i) {
    fwrite(&y[i], 4, 1, f);
    if (r)
      fwrite(&(*r)[i], 4, 1, f);
  }
  fclose(f);
}

std::string slug(const std::string &s) {
  std::string o;
  for (char c : s)
    o += c == ' ' ? '-' : (char)tolower((unsigned char)c);
  return o;
}

struct Source {
  const char *name;
  int program;
  std::vector<int> notes;
};

std::vector<Source> sources = {
    {"piano A1", 0, {33}},
    {"piano A2 C3 E3", 0, {45, 48, 52}},
    {"piano A3 C4 E4", 0, {57, 60, 64}},
    {"electric piano C3 E3 G3", 4, {48, 52, 55}},
    {"nylon guitar E1", 24, {28}},
    {"nylon guitar E2 B2 E3", 24, {40, 47, 52}},
    {"fingered bass E1", 33, {28}},
    {"strings A3 C4 E4", 48, {57, 60, 64}},
    {"choir A3 C4 E4", 52, {57, 60, 64}},
};

// A source as fluidsynth renders it at a rate (mono: the two sides' mean),
// its note-on, and the ideal hold's spectrum (the same time from the
// note-on at every rate) with the spectrum half a second later.
struct Rendered {
  Buf x;
  size_t on = 0;
  std::vector<Spectrum::Peak> peaks;
  Spectrum ideal, later;
};
Rendered render_source(const std::string &sf2, const std::string &midi, const Source &s,
                       double rate) {
  write_midi(midi, s.program, s.notes);
  Buf l, r;
  render_midi(sf2, midi, rate, &l, &r);
  for (size_t i = 0; i < l.size(); ++i)
    l[i] = 0.5f * (l[i] + r[i]);
  const size_t on = onset(l), span = (size_t)lrint(8192.0 * rate / 48000.0);
  Spectrum ideal(l, on, span, rate), later(l, on + (size_t)(0.5 * rate), span, rate);
  auto peaks = partials(ideal, rate / (double)span);
  return {std::move(l), on, std::move(peaks), std::move(ideal), std::move(later)};
}

// One source pressed at one time through one library.
struct Figures {
  double fundamental = 0, level = 0, attack = -200;
  int missing = 0;
  Pitch pitch;
  std::vector<Spectrum::Peak> cents; // each lasting partial's ideal frequency and pitch
  Seam seam;
};
// A press 200 ms or more after the note-on is in the sustain: the ideal is
// then the long window just before the press.
constexpr int sustain_ms = 200;
Figures measure(LV2_Descriptor_Function lib, const Source &s, const Rendered &struck, double rate,
                int press_ms, const std::string &wav) {
  const size_t press = struck.on + (size_t)(press_ms * rate / 1000.0);
  Rendered sustained;
  if (press_ms >= sustain_ms) {
    const size_t span = (size_t)lrint(8192.0 * rate / 48000.0);
    sustained.ideal = Spectrum(struck.x, press - span, span, rate);
    sustained.later = sustained.ideal; // nothing counts as the attack's
    sustained.peaks = partials(sustained.ideal, rate / (double)span);
    sustained.on = press - span;
  }
  const Rendered &in = press_ms >= sustain_ms ? sustained : struck;
  const size_t from = press + (size_t)(0.6 * rate), len = (size_t)rate;
  Buf out, unused;
  Buf x(struck.x.begin(), struck.x.begin() + (long)std::min(struck.x.size(), from + len + 1));
  through(lib, host::COHERENT, rate, x, nullptr, press, &out, &unused);
  if (!wav.empty())
    write_wav(wav, out, nullptr, press > (size_t)(0.5 * rate) ? press - (size_t)(0.5 * rate) : 0,
              rate);
  const Spectrum held(out, from, len, rate);
  Figures f;
  for (int n : s.notes) { // the worst note
    const double d = db(held.at(hz_of(n), 30)) - db(in.ideal.at(hz_of(n), 30));
    f.fundamental = fabs(d) > fabs(f.fundamental) ? d : f.fundamental;
  }
  for (size_t p = 0; p < in.peaks.size() && p < 12; ++p)
    if (db(held.at(in.peaks[p].f, 40)) - db(in.peaks[p].a) <= -20.0)
      ++f.missing;
  // The pitch of the partials that last (an attack-only one should not be
  // held at all: see `attack`).
  auto attack_only = [&in](const Spectrum::Peak &p) {
    return db(in.later.at(p.f, 20)) - db(p.a) <= -20.0;
  };
  std::vector<double> cents = pitch_cents(in.peaks, held, 12);
  for (size_t p = 0; p < cents.size(); ++p)
    if (attack_only(in.peaks[p]))
      cents[p] = NAN;
    else if (!std::isnan(cents[p]))
      f.cents.push_back({in.peaks[p].f, cents[p]});
  f.pitch = summary(cents);
  double strongest = 0;
  for (const auto &p : held.peaks())
    strongest = std::max(strongest, p.a);
  for (const auto &p : in.peaks)
    if (p.a > in.peaks[0].a * 0.01 && attack_only(p))
      f.attack = std::max(f.attack, db(held.at(p.f, 20)) - db(strongest));
  f.level = db(held.rms) - db(in.ideal.rms);
  f.seam = seam_of(out, press, rate);
  return f;
}

std::string dbs(double v) { // a signed figure with a true minus sign
  char s[32];
  snprintf(s, sizeof s, "%+.1f", v);
  std::string o = s;
  return o[0] == '-' ? "−" + o.substr(1) : o;
}
std::string cell_db(const double *before, double after, const char *unit = " dB") {
  std::string s = before ? dbs(*before) + " → " + dbs(after) : dbs(after);
  return s + unit;
}
std::string attack_of(double v) {
  return v > -200 ? dbs(v).substr(0, dbs(v).find('.')) + " dB" : "none";
}
std::string pitch_of(const Pitch &p) {
  char s[64];
  if (!p.measured)
    return "—";
  snprintf(s, sizeof s, "%.1f / %.1f", fabs(p.worst), p.median);
  return s;
}
std::string both(const std::string &before, const std::string &after, bool has_before) {
  return has_before ? before + " → " + after : after;
}

// Synthetic partials of known frequency through the same measure: a lone
// sine anywhere from 30 Hz up, and a detuned copy of a harmonic series
// against the series, at each rate; the largest error in cents. Within
// 0.5 cent but for the lowest series (41.2 Hz): partials 7 bins of the
// ideal's window apart lean on each other's Hann skirts by up to 0.6 cent.
int check_pitch() {
  uint64_t seed = 12345;
  auto rnd = [&seed] { // a fixed sequence, so that the check is the same every run
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return (double)(seed >> 11) / 9007199254740992.0;
  };
  double worst_lone = 0, worst_series = 0, worst_bass = 0;
  for (double rate : {44100.0, 48000.0, 96000.0, 192000.0}) {
    const size_t span = (size_t)lrint(8192.0 * rate / 48000.0), n = (size_t)(1.7 * rate);
    for (int i = 0; i < 12; ++i) {
      const double f = 30.0 * pow(std::min(16000.0, 0.4 * rate) / 30.0, rnd()),
                   ph = 2.0 * M_PI * rnd();
      Buf x(n);
      for (size_t t = 0; t < n; ++t)
        x[t] = (float)(0.5 * sin(2.0 * M_PI * f * (double)t / rate + ph));
      for (const Spectrum &s :
           {Spectrum(x, 0, span, rate), Spectrum(x, (size_t)(0.6 * rate), (size_t)rate, rate)}) {
        const auto p = s.peaks();
        worst_lone = std::max(worst_lone, fabs(cents_of(p[0].f, f)));
      }
    }
    for (double f0 : {41.2, 55.0, 98.0, 220.0}) {
      // 16 partials, a string's stretch, amplitudes 1/k; the held copy
      // detuned by up to ±20 cents and 6 dB louder or softer each.
      std::vector<double> f, a, d, g, ph;
      for (int k = 1; k <= 16 && k * f0 < 0.4 * rate; ++k) {
        f.push_back(k * f0 * sqrt(1.0 + 1e-4 * k * k));
        a.push_back(0.3 / k);
        d.push_back(40.0 * rnd() - 20.0);
        g.push_back(pow(10.0, (12.0 * rnd() - 6.0) / 20.0));
        ph.push_back(2.0 * M_PI * rnd());
      }
      Buf x(n), y(n);
      for (size_t t = 0; t < n; ++t) {
        double u = 0, v = 0;
        for (size_t k = 0; k < f.size(); ++k) {
          const double tt = (double)t / rate;
          u += a[k] * sin(2.0 * M_PI * f[k] * tt + ph[k]);
          v += a[k] * g[k] * sin(2.0 * M_PI * f[k] * pow(2.0, d[k] / 1200.0) * tt + ph[k]);
        }
        x[t] = (float)u;
        y[t] = (float)v;
      }
      const Spectrum ideal(x, 0, span, rate), held(y, (size_t)(0.6 * rate), (size_t)rate, rate);
      const auto peaks = partials(ideal, rate / (double)span);
      const auto c = pitch_cents(peaks, held, 12);
      for (size_t i = 0; i < c.size(); ++i) {
        size_t k = 0; // the partial this peak is
        for (size_t j = 1; j < f.size(); ++j)
          if (fabs(f[j] - peaks[i].f) < fabs(f[k] - peaks[i].f))
            k = j;
        if (std::isnan(c[i])) {
          printf("pitch check: %.1f Hz at %.0f Hz: partial %zu not measured\n", f0, rate, k + 1);
          return 1;
        }
        double &worst = f0 < 50.0 ? worst_bass : worst_series;
        worst = std::max(worst, fabs(c[i] - d[k]));
      }
    }
  }
  printf("pitch check: lone sines within %.3f cent, detuned series from 55 Hz within %.3f cent, "
         "from 41.2 Hz within %.3f cent\n",
         worst_lone, worst_series, worst_bass);
  return worst_lone <= 0.5 && worst_series <= 0.5 && worst_bass <= 1.0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  std::string lib_path = QUORVANE_LIB, before_path, wav_dir,
              sf2 = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
  std::vector<double> rates = {48000.0};
  std::vector<int> presses = {0, 10, 30, 100};
  enum { STRIKE, RATES, STEREO, LATE } mode = STRIKE;
  int late_note = 62, late_ms = 130;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto list = [](const char *s) {
      std::vector<double> v;
      for (char *p = const_cast<char *>(s); *p;) {
        v.push_back(strtod(p, &p));
        if (*p == ',')
          ++p;
      }
      return v;
    };
    if (a == "--lib" && i + 1 < argc)
      lib_path = argv[++i];
    else if (a == "--before" && i + 1 < argc)
      before_path = argv[++i];
    else if (a == "--wav" && i + 1 < argc)
      wav_dir = argv[++i];
    else if (a == "--sf2" && i + 1 < argc)
      sf2 = argv[++i];
    else if (a == "--rates" && i + 1 < argc)
      rates = list(argv[++i]);
    else if (a == "--press" && i + 1 < argc) {
      presses.clear();
      for (double v : list(argv[++i]))
        presses.push_back((int)v);
    } else if (a == "--stereo")
      mode = STEREO;
    else if (a == "--rate-table")
      mode = RATES;
    else if (a == "--check-pitch")
      return check_pitch();
    else if (a == "--late" && i + 1 < argc) { // NOTE:MS, the note begun MS after the press
      mode = LATE;
      const char *spec = argv[++i], *colon = strchr(spec, ':');
      late_note = atoi(spec);
      late_ms = colon ? atoi(colon + 1) : late_ms;
    } else if (a == "--gm" && i + 1 < argc) { // PROGRAM:NOTE,NOTE,... in place of the usual sources
      static bool replaced = false;
      if (!replaced)
        sources.clear();
      replaced = true;
      const char *arg = argv[++i], *colon = strchr(arg, ':');
      std::vector<int> notes;
      for (double v : list(colon ? colon + 1 : ""))
        notes.push_back((int)v);
      sources.push_back({arg, atoi(arg), notes});
    } else {
      fprintf(stderr,
              "usage: %s [--lib PATH] [--before PATH] [--rates R,...] [--press MS,...]\n"
              "       [--stereo | --rate-table | --check-pitch] [--wav DIR] [--sf2 PATH]\n"
              "       [--gm PROGRAM:NOTE,NOTE...]... [--late NOTE:MS]\n",
              argv[0]);
      return 2;
    }
  }
  if (access(sf2.c_str(), R_OK) != 0) {
    fprintf(stderr, "no soundfont at %s (scripts/deps.sh fluid-soundfont-gm fluidsynth)\n",
            sf2.c_str());
    return 2;
  }
  const LV2_Descriptor_Function after = host::open_library(lib_path.c_str());
  const LV2_Descriptor_Function before =
      before_path.empty() ? nullptr : host::open_library(before_path.c_str());
  const bool has_before = before != nullptr;
  char dir[] = "/tmp/strike-bench-XXXXXX";
  if (!mkdtemp(dir))
    return 2;
  const std::string midi = std::string(dir) + "/notes.mid";
  auto wav_name = [&wav_dir](const std::string &name, double rate, int press_ms, bool old) {
    if (wav_dir.empty())
      return std::string();
    return wav_dir + "/" + slug(name) + "-" + std::to_string((long)lrint(rate)) + "-" +
           std::to_string(press_ms) + "ms-" + (old ? "before" : "after") + ".wav";
  };
  auto khz = [](double rate) {
    char s[32];
    snprintf(s, sizeof s, "%g kHz", rate / 1000.0);
    return std::string(s);
  };

  if (mode == LATE) {
    // The source and, on its own program, one more note begun late_ms after
    // the press (rendered alone and added): the power it adds to the hold at
    // its first three harmonics that lie apart from the source's (50 cents
    // from any of their first 16), against the loudest of the source's
    // notes as held (−200: none); beside it what the measure finds there in
    // the source's own hold.
    printf("| source | press | late note %d at +%d ms, added to the hold vs the chord "
           "|\n|---|---|---|\n",
           late_note, late_ms);
    for (double rate : rates)
      for (const Source &s : sources) {
        const Rendered in = render_source(sf2, midi, s, rate);
        write_midi(midi, s.program, {late_note});
        Buf l, r;
        render_midi(sf2, midi, rate, &l, &r);
        const size_t late_on = onset(l);
        for (int press_ms : presses) {
          const size_t press = in.on + (size_t)(press_ms * rate / 1000.0),
                       at = press + (size_t)(late_ms * rate / 1000.0);
          const size_t from = press + (size_t)(0.6 * rate), len = (size_t)rate;
          double level[2][3] = {}; // without, with the late note: each harmonic's power
          for (int k = 0; k < 2; ++k) {
            Buf x(in.x.begin(), in.x.begin() + (long)std::min(in.x.size(), from + len + 1));
            for (size_t i = at; k && i < x.size() && late_on + i - at < l.size(); ++i)
              x[i] += 0.5f * (l[late_on + i - at] + r[late_on + i - at]);
            Buf out, unused;
            through(after, host::COHERENT, rate, x, nullptr, press, &out, &unused);
            const Spectrum held(out, from, len, rate);
            double chord = 0;
            for (int n : s.notes)
              chord = std::max(chord, held.at(hz_of(n), 30));
            for (int h = 1; h <= 3; ++h)
              level[k][h - 1] = pow(held.at(h * hz_of(late_note), 20) / std::max(chord, 1e-12), 2);
          }
          // What the late note added, against the chord.
          double figure[2] = {-200, -200}; // with it, without it
          for (int h = 1; h <= 3; ++h) {
            const double f = h * hz_of(late_note);
            bool apart = f < 0.45 * rate;
            for (int n : s.notes)
              for (int j = 1; j <= 16; ++j)
                apart = apart && fabs(1200.0 * log2(f / (j * hz_of(n)))) > 50.0;
            if (!apart)
              continue;
            figure[1] = std::max(figure[1], 10.0 * log10(std::max(level[0][h - 1], 1e-20)));
            figure[0] = std::max(figure[0],
                                 10.0 * log10(std::max(level[1][h - 1] - level[0][h - 1], 1e-20)));
          }
          printf("| %s%s | %d ms | %s dB (the source's own there: %s dB) |\n", s.name,
                 rates.size() > 1 ? (", " + khz(rate)).c_str() : "", press_ms,
                 dbs(figure[0]).c_str(), dbs(figure[1]).c_str());
        }
      }
  }
  if (mode == STRIKE) {
    std::string seams;
    printf("| source | press | fundamental vs ideal | pitch vs ideal, worst / median "
           "(cents) | strongest 12 missing | level vs ideal | attack-only vs strongest |\n");
    printf("|---|---|---|---|---|---|---|\n");
    for (double rate : rates)
      for (const Source &s : sources) {
        const Rendered in = render_source(sf2, midi, s, rate);
        const std::string name =
            rates.size() > 1 ? std::string(s.name) + ", " + khz(rate) : std::string(s.name);
        for (int press_ms : presses) {
          const Figures a =
              measure(after, s, in, rate, press_ms, wav_name(s.name, rate, press_ms, false));
          Figures b;
          if (before)
            b = measure(before, s, in, rate, press_ms, wav_name(s.name, rate, press_ms, true));
          const Figures *pb = before ? &b : nullptr;
          printf("| %s | %d ms | %s | %s | %s | %s | %s |\n", name.c_str(), press_ms,
                 cell_db(pb ? &b.fundamental : nullptr, a.fundamental).c_str(),
                 both(pitch_of(b.pitch), pitch_of(a.pitch), has_before).c_str(),
                 both(std::to_string(b.missing), std::to_string(a.missing), has_before).c_str(),
                 cell_db(pb ? &b.level : nullptr, a.level).c_str(),
                 both(attack_of(b.attack), attack_of(a.attack), has_before).c_str());
          seams += "| " + name + " | " + std::to_string(press_ms) + " ms | " +
                   cell_db(pb ? &b.seam.step : nullptr, a.seam.step) + " (" +
                   cell_db(pb ? &b.seam.steady_step : nullptr, a.seam.steady_step) + ") | " +
                   cell_db(pb ? &b.seam.level : nullptr, a.seam.level) + " (" +
                   cell_db(pb ? &b.seam.steady : nullptr, a.seam.steady) + ") |\n";
          fflush(stdout);
        }
      }
    printf("\n| source | press | largest step against its surroundings (steady hold) | level "
           "change across 43 ms (steady hold) |\n|---|---|---|---|\n%s",
           seams.c_str());
  } else if (mode == RATES) {
    struct Case {
      size_t source;
      int press_ms;
    };
    const std::vector<Case> cases = {{0, 0},   {0, 30},   {2, 0},  {4, 30},
                                     {6, 100}, {1, 1000}, {7, 100}};
    const std::vector<double> all = {44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0};
    // [case][rate]: before and after
    std::vector<std::vector<Figures>> fa(cases.size()), fb(cases.size());
    std::vector<double> capture_a, capture_b;
    for (double rate : all) {
      std::vector<Rendered> in;
      for (const Source &s : sources)
        in.push_back(render_source(sf2, midi, s, rate));
      for (size_t c = 0; c < cases.size(); ++c) {
        const Source &s = sources[cases[c].source];
        const int p = cases[c].press_ms;
        fa[c].push_back(
            measure(after, s, in[cases[c].source], rate, p, wav_name(s.name, rate, p, false)));
        fb[c].push_back(before ? measure(before, s, in[cases[c].source], rate, p,
                                         wav_name(s.name, rate, p, true))
                               : Figures());
      }
      const Rendered &strings = in[7]; // a chord in its sustain, silenced at the press
      const size_t press = strings.on + (size_t)rate;
      capture_a.push_back(capture_ms(after, rate, strings.x, press));
      capture_b.push_back(before ? capture_ms(before, rate, strings.x, press) : 0.0);
    }
    printf("| source | press | rate | fundamental vs ideal | pitch vs ideal, worst / median "
           "(cents) | strongest 12 missing | level vs ideal | against 48 kHz: fundamental / "
           "level / pitch (cents) |\n|---|---|---|---|---|---|---|---|\n");
    for (size_t c = 0; c < cases.size(); ++c)
      for (size_t r = 0; r < all.size(); ++r) {
        const Figures &a = fa[c][r], &b = fb[c][r], &a48 = fa[c][1], &b48 = fb[c][1];
        auto against = [](const Figures &x, const Figures &ref) {
          // The pitch of each partial measured at both rates (the ideal's
          // within 10 cents of each other), the largest difference.
          double cents = 0;
          for (const auto &p : x.cents)
            for (const auto &q : ref.cents)
              if (fabs(cents_of(p.f, q.f)) < 10.0)
                cents = std::max(cents, fabs(p.a - q.a));
          char s[96];
          snprintf(s, sizeof s, "%s / %s dB / %.1f", dbs(x.fundamental - ref.fundamental).c_str(),
                   dbs(x.level - ref.level).c_str(), cents);
          return std::string(s);
        };
        printf("| %s | %d ms | %s | %s | %s | %s | %s | %s |\n", sources[cases[c].source].name,
               cases[c].press_ms, khz(all[r]).c_str(),
               cell_db(before ? &b.fundamental : nullptr, a.fundamental).c_str(),
               both(pitch_of(b.pitch), pitch_of(a.pitch), has_before).c_str(),
               both(std::to_string(b.missing), std::to_string(a.missing), has_before).c_str(),
               cell_db(before ? &b.level : nullptr, a.level).c_str(),
               r == 1 ? "—" : both(against(b, b48), against(a, a48), has_before).c_str());
      }
    printf("\n| rate | capture delay | against 48 kHz |\n|---|---|---|\n");
    for (size_t r = 0; r < all.size(); ++r) {
      char a[64], b[64], da[64], d48[64];
      snprintf(a, sizeof a, "%.1f ms", capture_a[r]);
      snprintf(b, sizeof b, "%.1f", capture_b[r]);
      snprintf(da, sizeof da, "%s ms", dbs(capture_a[r] - capture_a[1]).c_str());
      snprintf(d48, sizeof d48, "%s", dbs(capture_b[r] - capture_b[1]).c_str());
      printf("| %s | %s | %s |\n", khz(all[r]).c_str(),
             has_before ? (std::string(b) + " → " + a).c_str() : a,
             r == 1       ? "—"
             : has_before ? (std::string(d48) + " → " + da).c_str()
                          : da);
    }
  } else if (mode == STEREO) {
    // Piano left, strings right, struck together; a chord struck on the
    // right over one sustained on the left; and, through the mono plugin, a
    // chord struck over an equally loud sustained one.
    struct Row {
      std::string name, a, b;
    };
    std::vector<Row> rows;
    auto add = [&rows](const std::string &name, const std::string &b, const std::string &a) {
      for (Row &r : rows)
        if (r.name == name) {
          r.a += " / " + a;
          r.b += " / " + b;
          return;
        }
      rows.push_back({name, a, b});
    };
    auto fig = [](double v) { return dbs(v); };
    std::string press_list;
    for (int p : presses)
      press_list += (press_list.empty() ? "" : " / ") + std::to_string(p);
    for (double rate : rates) {
      const std::string at = rates.size() > 1 || rate != 48000.0 ? ", " + khz(rate) : "";
      Buf pl, pr, sl, sr;
      write_midi(midi, 0, {57, 60, 64});
      render_midi(sf2, midi, rate, &pl, &pr);
      write_midi(midi, 48, {75, 78, 82});
      render_midi(sf2, midi, rate, &sl, &sr);
      const size_t n = std::min(pl.size(), sl.size());
      Buf left(n), right(n);
      for (size_t i = 0; i < n; ++i) {
        left[i] = 0.5f * (pl[i] + pr[i]);
        right[i] = 0.5f * (sl[i] + sr[i]);
      }
      const size_t on = onset(left), span = (size_t)lrint(8192.0 * rate / 48000.0);
      // The input's own separation, from the note-on over the ideal's span.
      const Spectrum il(left, on, span, rate), ir(right, on, span, rate);
      // The loudest of a side's notes in the other channel against its own.
      auto leak = [](const Spectrum &own, const Spectrum &other, std::initializer_list<int> notes) {
        double worst = -200;
        for (int note : notes)
          worst = std::max(worst, db(other.at(hz_of(note), 20)) - db(own.at(hz_of(note), 20)));
        return worst;
      };
      const double in_lr = leak(il, ir, {57, 60, 64}), in_rl = leak(ir, il, {75, 78, 82});
      char lr[96], rl[96];
      snprintf(lr, sizeof lr, "piano's notes on the right%s (input %s dB)", at.c_str(),
               dbs(in_lr).c_str());
      snprintf(rl, sizeof rl, "strings' notes on the left%s (input %s dB)", at.c_str(),
               dbs(in_rl).c_str());
      for (int press_ms : presses) {
        const size_t press = on + (size_t)(press_ms * rate / 1000.0);
        const size_t from = press + (size_t)(0.6 * rate), len = (size_t)rate;
        double ghost[2][2] = {}; // [before, after][left→right, right→left]
        for (int k = 0; k < 2; ++k) {
          const LV2_Descriptor_Function lib = k ? after : before;
          if (!lib)
            continue;
          Buf ol, orr;
          through(lib, 4, rate, left, &right, press, &ol, &orr);
          if (!wav_dir.empty())
            write_wav(wav_name("stereo piano left strings right", rate, press_ms, !k), ol, &orr,
                      press - std::min(press, (size_t)(0.5 * rate)), rate);
          const Spectrum hl(ol, from, len, rate), hr(orr, from, len, rate);
          ghost[k][0] = leak(hl, hr, {57, 60, 64});
          ghost[k][1] = leak(hr, hl, {75, 78, 82});
        }
        add(lr, fig(ghost[0][0]), fig(ghost[1][0]));
        add(rl, fig(ghost[0][1]), fig(ghost[1][1]));
      }
      // A chord struck on the right at 1.5 s over strings sustained on the
      // left from the start: the right against the mono plugin's hold of
      // the right alone.
      Buf cl, cr, dl, dr;
      write_midi(midi, 48, {45, 52, 57}, 0);
      render_midi(sf2, midi, rate, &cl, &cr);
      write_midi(midi, 0, {62, 66, 69}, 1500);
      render_midi(sf2, midi, rate, &dl, &dr);
      const size_t m = std::min(cl.size(), dl.size());
      Buf l2(m), r2(m), both_in(m);
      for (size_t i = 0; i < m; ++i) {
        l2[i] = 0.5f * (cl[i] + cr[i]);
        r2[i] = 0.5f * (dl[i] + dr[i]);
      }
      const size_t on2 = onset(r2);
      // The sustained chord as loud as the struck one over the ideal's span.
      const double sustained = Spectrum(l2, on2 - span, span, rate).rms,
                   struck = Spectrum(r2, on2, span, rate).rms;
      for (size_t i = 0; i < m; ++i)
        both_in[i] = (float)(l2[i] * (struck / sustained)) + r2[i];
      const double ideal_both = Spectrum(both_in, on2, span, rate).rms;
      for (int press_ms : presses) {
        const size_t press = on2 + (size_t)(press_ms * rate / 1000.0);
        const size_t from = press + (size_t)(0.6 * rate), len = (size_t)rate;
        Buf x(both_in.begin(), both_in.begin() + (long)std::min(m, from + len + 1));
        double side[2] = {}, over[2] = {};
        for (int k = 0; k < 2; ++k) {
          const LV2_Descriptor_Function lib = k ? after : before;
          if (!lib)
            continue;
          Buf ol, orr, mr, mo, unused;
          through(lib, 4, rate, l2, &r2, press, &ol, &orr);
          through(lib, host::COHERENT, rate, r2, nullptr, press, &mr, &unused);
          side[k] = db(Spectrum(orr, from, len, rate).rms) - db(Spectrum(mr, from, len, rate).rms);
          through(lib, host::COHERENT, rate, x, nullptr, press, &mo, &unused);
          over[k] = db(Spectrum(mo, from, len, rate).rms) - db(ideal_both);
        }
        add("struck right over sustained left, against the mono plugin" + at, fig(side[0]),
            fig(side[1]));
        add("mono: struck over an equally loud sustained chord, against the ideal's level" + at,
            fig(over[0]), fig(over[1]));
      }
    }
    printf("| case | press (ms) | %s |\n|---|---|%s\n", has_before ? "before | after" : "held",
           has_before ? "---|---|" : "---|");
    for (const Row &r : rows)
      if (has_before)
        printf("| %s | %s | %s dB | %s dB |\n", r.name.c_str(), press_list.c_str(), r.b.c_str(),
               r.a.c_str());
      else
        printf("| %s | %s | %s dB |\n", r.name.c_str(), press_list.c_str(), r.a.c_str());
  }
  unlink(midi.c_str());
  rmdir(dir);
  return 0;
}
