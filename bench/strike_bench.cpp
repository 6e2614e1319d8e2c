// strike_bench: the coherent plugins' hold of real instrument notes against
// the ideal hold. Notes of a General MIDI soundfont (Debian's
// fluid-soundfont-gm, played by fluidsynth, reverb and chorus off) go
// through a coherent plugin with freeze pressed at and after the note-on;
// the held sound (fully wet, measured from 0.6 s after the press for a
// second) is compared with the ideal: the source's spectrum over 8192
// samples at 48 kHz (the same time at other rates) from the note-on, each
// peak held as a steady sine.
//
//   strike_bench [--lib PATH] [--rates 48000,96000] [--press 0,10,50,100]
//                [--stereo] [--sf2 PATH] [--gm PROGRAM:NOTE,NOTE...]... [--seams]
//
// One line per source, rate and press time: the worst fundamental against
// the ideal's (dB), the worst pitch among the ideal's 12 strongest partials
// (cents), how many of them are missing (20 dB or more down), the level
// against the ideal's (dB), and the loudest attack-only partial (one that
// is 20 dB weaker half a second later) against the strongest held (dB).
// With --stereo, a pair: piano on the left, strings on the right, and a
// chord struck on the right over one sustained on the left; it prints the
// ghost of each side's notes in the other and the struck side's level
// against the mono plugin's. With --seams, the changes of the hold after it
// has begun (print_seams()) instead of its figures.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <complex>
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
  double hz;
  double rms; // of the windowed stretch, against the window's
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
  // Peaks from 20 Hz up, strongest first, at least 40 dB below the top.
  std::vector<Peak> peaks() const {
    std::vector<Peak> p;
    double top = 0;
    for (double v : amp)
      top = std::max(top, v);
    for (size_t k = std::max<size_t>(1, (size_t)(20.0 / hz)); k + 1 < amp.size(); ++k)
      if (amp[k] > amp[k - 1] && amp[k] >= amp[k + 1] && amp[k] > top * 0.01)
        p.push_back({(double)k * hz, amp[k]});
    std::sort(p.begin(), p.end(), [](const Peak &a, const Peak &b) { return a.a > b.a; });
    return p;
  }
};

double db(double x) { return 20.0 * log10(std::max(x, 1e-12)); }
double hz_of(int note) { return 440.0 * pow(2.0, (note - 69) / 12.0); }

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

// The seams of a hold: from 150 ms after the press (the first hold
// playing) to 600 ms, where the refinement and the weighing fade in, against
// the steady hold from 600 ms for a second: the largest level change
// between 43 ms stretches 43 ms apart (sliding by 5 ms), and the largest
// step from one sample to the next.
void print_seams(const char *name, double rate, int press_ms, const Buf &out, size_t press) {
  const size_t win = (size_t)(0.043 * rate), hop = (size_t)(0.005 * rate);
  auto level = [&](size_t at) {
    double s = 0;
    for (size_t i = at; i < at + win; ++i)
      s += (double)out[i] * out[i];
    return 10.0 * log10(std::max(s / (double)win, 1e-30));
  };
  auto worst = [&](size_t from, size_t to, double *change, double *step) {
    *change = 0;
    *step = 0;
    for (size_t at = from; at + 2 * win <= to; at += hop)
      *change = std::max(*change, fabs(level(at + win) - level(at)));
    for (size_t i = from + 1; i < to; ++i)
      *step = std::max(*step, (double)fabs(out[i] - out[i - 1]));
  };
  double change, step, steady_change, steady_step;
  const size_t a = press + (size_t)(0.15 * rate), b = press + (size_t)(0.6 * rate);
  worst(a, b, &change, &step);
  worst(b, b + (size_t)rate, &steady_change, &steady_step);
  printf("| %s | %.1f kHz | %d ms | %.2f dB / %.2f dB | %.4f / %.4f | %+.1f dB |\n", name,
         rate / 1000.0, press_ms, change, steady_change, step, steady_step, level(b) - level(a));
}

struct Source {
  const char *name;
  int program;
  std::vector<int> notes;
};

} // namespace

int main(int argc, char **argv) {
  std::string lib_path = QUORVANE_LIB, sf2 = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
  std::vector<double> rates = {48000.0};
  std::vector<int> presses = {0, 10, 30, 60, 100};
  bool stereo = false, seams = false;
  std::vector<Source> gm; // --gm: General MIDI programs and notes instead of the usual sources
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
    else if (a == "--sf2" && i + 1 < argc)
      sf2 = argv[++i];
    else if (a == "--rates" && i + 1 < argc)
      rates = list(argv[++i]);
    else if (a == "--press" && i + 1 < argc) {
      presses.clear();
      for (double v : list(argv[++i]))
        presses.push_back((int)v);
    } else if (a == "--stereo")
      stereo = true;
    else if (a == "--seams")
      seams = true;
    else if (a == "--gm" && i + 1 < argc) { // PROGRAM:NOTE,NOTE,...
      const std::vector<double> v = list(strchr(argv[++i], ':') ? strchr(argv[i], ':') + 1 : "");
      gm.push_back({argv[i], atoi(argv[i]), std::vector<int>(v.begin(), v.end())});
    } else {
      fprintf(stderr,
              "usage: %s [--lib PATH] [--rates R,...] [--press MS,...] [--stereo] "
              "[--sf2 PATH] [--gm PROGRAM:NOTE,...]... [--seams]\n",
              argv[0]);
      return 2;
    }
  }
  if (access(sf2.c_str(), R_OK) != 0) {
    fprintf(stderr, "no soundfont at %s (scripts/deps.sh fluid-soundfont-gm fluidsynth)\n",
            sf2.c_str());
    return 2;
  }
  const LV2_Descriptor_Function lib = host::open_library(lib_path.c_str());
  char dir[] = "/tmp/strike-bench-XXXXXX";
  if (!mkdtemp(dir))
    return 2;
  const std::string midi = std::string(dir) + "/notes.mid";

  if (!stereo) {
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
    if (!gm.empty())
      sources = gm;
    if (seams)
      printf("| source | rate | press | level change, changes / steady | sample step, changes / "
             "steady | held level, 600 ms against 150 ms |\n|---|---|---|---|---|---|\n");
    else
      printf("| source | rate | press | fundamental | pitch | missing | level | attack-only |\n"
             "|---|---|---|---|---|---|---|---|\n");
    for (const Source &s : sources)
      for (double rate : rates) {
        write_midi(midi, s.program, s.notes);
        Buf l, r;
        render_midi(sf2, midi, rate, &l, &r);
        for (size_t i = 0; i < l.size(); ++i)
          l[i] = 0.5f * (l[i] + r[i]);
        const size_t on = onset(l);
        const size_t span = (size_t)lrint(8192.0 * rate / 48000.0);
        const Spectrum ideal(l, on, span, rate), later(l, on + (size_t)(0.5 * rate), span, rate);
        const auto peaks = ideal.peaks();
        for (int press_ms : presses) {
          const size_t press = on + (size_t)(press_ms * rate / 1000.0);
          Buf out, unused;
          const size_t from = press + (size_t)(0.6 * rate), len = (size_t)rate;
          Buf x(l.begin(), l.begin() + (long)std::min(l.size(), from + len + 1));
          through(lib, host::COHERENT, rate, x, nullptr, press, &out, &unused);
          if (seams) {
            print_seams(s.name, rate, press_ms, out, press);
            continue;
          }
          const Spectrum held(out, from, len, rate);
          double fundamental = 0;
          for (int n : s.notes) { // the worst note
            const double d = db(held.at(hz_of(n), 30)) - db(ideal.at(hz_of(n), 30));
            fundamental = fabs(d) > fabs(fundamental) ? d : fundamental;
          }
          double cents = 0, strongest = 0;
          int missing = 0;
          for (size_t p = 0; p < peaks.size() && p < 12; ++p) {
            double f = peaks[p].f;
            const double a = held.at(peaks[p].f, 40, &f);
            if (db(a) - db(peaks[p].a) <= -20.0) {
              ++missing;
              continue;
            }
            const double c = 1200.0 * log2(f / peaks[p].f);
            cents = fabs(c) > fabs(cents) ? c : cents;
          }
          for (const auto &p : held.peaks())
            strongest = std::max(strongest, p.a);
          double attack = -200;
          for (const auto &p : peaks)
            if (p.a > peaks[0].a * 0.01 && db(later.at(p.f, 20)) - db(p.a) <= -20.0)
              attack = std::max(attack, db(held.at(p.f, 20)) - db(strongest));
          printf("| %s | %.1f kHz | %d ms | %+.1f dB | %+.0f cents | %d | %+.1f dB | ", s.name,
                 rate / 1000.0, press_ms, fundamental, cents, missing,
                 db(held.rms) - db(ideal.rms));
          if (attack > -200)
            printf("%+.0f dB |\n", attack);
          else
            printf("none |\n");
          fflush(stdout);
        }
      }
  } else {
    // Piano left, strings right, struck together; then a chord struck on
    // the right over one sustained on the left.
    printf("| case | rate | press | ghost left→right | ghost right→left | struck side vs mono |\n");
    printf("|---|---|---|---|---|---|\n");
    for (double rate : rates) {
      Buf pl, pr, sl, sr;
      write_midi(midi, 0, {57, 60, 64});
      render_midi(sf2, midi, rate, &pl, &pr);
      write_midi(midi, 48, {75, 78, 82});
      render_midi(sf2, midi, rate, &sl, &sr);
      const size_t n = std::min(pl.size(), sl.size());
      Buf left(n), right(n), silent(n, 0.0f);
      for (size_t i = 0; i < n; ++i) {
        left[i] = 0.5f * (pl[i] + pr[i]);
        right[i] = 0.5f * (sl[i] + sr[i]);
      }
      const size_t on = onset(left);
      for (int press_ms : presses) {
        const size_t press = on + (size_t)(press_ms * rate / 1000.0);
        const size_t from = press + (size_t)(0.6 * rate), len = (size_t)rate;
        Buf ol, orr, ml, mr, unused;
        through(lib, 4, rate, left, &right, press, &ol, &orr);
        through(lib, host::COHERENT, rate, left, nullptr, press, &ml, &unused);
        through(lib, host::COHERENT, rate, right, nullptr, press, &mr, &unused);
        const Spectrum hl(ol, from, len, rate), hr(orr, from, len, rate),
            monol(ml, from, len, rate), monor(mr, from, len, rate);
        // Each side's notes in the other, against where they belong.
        double ghost_lr = -200, ghost_rl = -200;
        for (int note : {57, 60, 64})
          ghost_lr = std::max(ghost_lr, db(hr.at(hz_of(note), 20)) - db(hl.at(hz_of(note), 20)));
        for (int note : {75, 78, 82})
          ghost_rl = std::max(ghost_rl, db(hl.at(hz_of(note), 20)) - db(hr.at(hz_of(note), 20)));
        // The same in the input, from the note-on for 8192 samples at 48 kHz.
        const size_t span = (size_t)lrint(8192.0 * rate / 48000.0);
        const Spectrum il(left, on, span, rate), ir(right, on, span, rate);
        double in_lr = -200, in_rl = -200;
        for (int note : {57, 60, 64})
          in_lr = std::max(in_lr, db(ir.at(hz_of(note), 20)) - db(il.at(hz_of(note), 20)));
        for (int note : {75, 78, 82})
          in_rl = std::max(in_rl, db(il.at(hz_of(note), 20)) - db(ir.at(hz_of(note), 20)));
        printf("| piano left, strings right | %.1f kHz | %d ms | %+.0f dB (input %+.0f) | %+.0f dB "
               "(input %+.0f) | %+.1f / %+.1f dB |\n",
               rate / 1000.0, press_ms, ghost_lr, in_lr, ghost_rl, in_rl,
               db(hl.rms) - db(monol.rms), db(hr.rms) - db(monor.rms));
        fflush(stdout);
      }
      // A chord struck on the right (strings at 0.5 s) over a piano chord
      // sustained on the left (from the start): the right against the mono
      // plugin's hold of the right alone.
      Buf cl, cr, dl, dr;
      write_midi(midi, 48, {45, 52, 57}, 0); // left: strings from the start
      render_midi(sf2, midi, rate, &cl, &cr);
      write_midi(midi, 0, {62, 66, 69}, 1500); // right: struck at 1.5 s
      render_midi(sf2, midi, rate, &dl, &dr);
      const size_t m = std::min(cl.size(), dl.size());
      Buf l2(m), r2(m);
      for (size_t i = 0; i < m; ++i) {
        l2[i] = 0.5f * (cl[i] + cr[i]);
        r2[i] = 0.5f * (dl[i] + dr[i]);
      }
      const size_t on2 = onset(r2);
      for (int press_ms : presses) {
        const size_t press = on2 + (size_t)(press_ms * rate / 1000.0);
        const size_t from = press + (size_t)(0.6 * rate), len = (size_t)rate;
        Buf ol, orr, mr, unused;
        through(lib, 4, rate, l2, &r2, press, &ol, &orr);
        through(lib, host::COHERENT, rate, r2, nullptr, press, &mr, &unused);
        const Spectrum hr(orr, from, len, rate), monor(mr, from, len, rate);
        printf("| right struck over left sustained | %.1f kHz | %d ms | | | right %+.1f dB |\n",
               rate / 1000.0, press_ms, db(hr.rms) - db(monor.rms));
        fflush(stdout);
      }
    }
  }
  unlink(midi.c_str());
  rmdir(dir);
  return 0;
}
