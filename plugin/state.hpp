// Saving what is held with the session (LV2 State), for the plugins of the
// table that have the STATE trait.
//
// One value is saved, an atom:Chunk under the key ...quorvane#hold: a small
// header, then the sample rate, the blur's clock (the frames run, from which
// the coherent blur draws its angles, so that a restored hold blurs as the
// saved one went on to) and, for each channel, what its family holds:
// the captured spectrum (the plain freeze) or the partials in use (the
// coherent hold, dsp/hold.hpp), each with its level (and the spectrum with
// the output power it makes, which its phases decide too, so that no field
// changed alone can make it louder). Every field is a 32-,
// 16- or 8-bit number written in turn, and every processor we build for is
// little-endian, so the bytes are portable among them. Frequencies are kept
// in the saved rate's bins and moved to the instance's on restore, so a hold
// keeps its pitch when a session or pedalboard changes rate.
//
// A restored value is checked through and through (sizes, version, family,
// channels, a checksum, every number in its range, each level against its
// parts) before anything is taken; anything else leaves a clean, unfrozen
// plugin. Values of version 3 (no clock: the instance's own goes on) and of
// version 2 (quorvane 0.2.0: no rate, both families' fields) are still read.
//
// Threads: save() may run while run() does, and must neither fail nor make
// run() wait. run() publishes, after a frame that changed what is held,
// what save() needs into one of two slots and then marks it current; save()
// pins the current slot, checks it is still current, and copies it. run()
// never writes a pinned slot: it publishes after a later frame instead.
// Every shared word is atomic, the slots are handed over by those words, so
// the exchange is free of data races. A held sound's phases move on every
// frame; save() moves the published ones on by the frames counted since.
// During the analysis after a press, the slot holds the analysis as it
// stands and, for each channel, a copy of the history as it was when the
// window under analysis ended (or as it is, while the window is awaited);
// save() takes the window again from that copy, brings the transform to
// where the analysis stands and finishes it. The copies are kept up to
// date a hop or so a frame, so no frame copies the analysis whole.
// restore() is never called while run() or save() is, so it writes the
// instance directly.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include "plugin/instance.hpp"

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the saved hold is written as this processor holds it: little-endian");

constexpr const char *hold_key_uri = "http://quorvane.audio/lv2/quorvane#hold";
constexpr uint32_t state_magic = 0x56535651; // "QVSV"
constexpr uint32_t state_version = 4;
constexpr uint32_t clockless_version = 3;
constexpr uint32_t old_version = 2; // quorvane 0.2.0

// What a state holds: the plain freeze's captured spectrum, or the coherent
// hold's partials.
enum Family : uint32_t { SPECTRUM = 1, PARTIALS = 2 };

struct StateHeader {
  uint32_t magic;
  uint32_t version;
  uint32_t channels;
  uint32_t frozen;   // 1: a hold follows; 0: nothing is held, nothing follows
  uint32_t family;   // version 2: the most partials a hold could have
  uint32_t checksum; // FNV-1a of everything after the header
};

// The largest magnitude a frame can capture from any finite input: the
// square root of the largest finite power. So no finite input makes a
// level (a sum of squares) past the largest float; a held partial's
// amplitude is bounded by hold_valid() too.
constexpr float most_magnitude = 1.8446743e19f;
// Saved rates that make sense (the hold's own timing accepts these).
constexpr float least_rate = 8000.0f, most_rate = 1536000.0f;

// A held sound's phases move on every frame; a slot is published again at
// least this often while frozen, so that a hold changed in place is seen.
constexpr uint32_t refresh_frames = 16;

inline uint32_t fnv1a(const unsigned char *p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) {
    h = (h ^ p[i]) * 16777619u;
  }
  return h;
}

// A sum of squares as a float: the level saved beside what makes it, so a
// value changed alone is found out. Infinite past the largest float.
inline float as_level(double sum) {
  return sum <= 3.4028234663852886e38 ? static_cast<float>(sum) : INFINITY;
}
inline float spectrum_level(const float *mag) {
  double sum = 0.0;
  for (unsigned k = 0; k < bins; ++k) {
    sum += static_cast<double>(mag[k]) * mag[k];
  }
  return as_level(sum);
}
// The power of the plain freeze's output from a captured spectrum: a block
// repeated every hop sounds only at every fourth bin, each line the
// windowed spectrum there (1/2 of the bin less 1/4 of each neighbour),
// counted up to bin `last`.
inline double spectrum_power(const float *mag, const float *phase, double last) {
  auto at = [&](int k, double *re, double *im) { // bins -1 and 513: the mirror images
    const int j = k < 0 ? -k : k > 512 ? 1024 - k : k;
    *re = mag[j] * cos(phase[j]);
    *im = (j == k ? 1.0 : -1.0) * mag[j] * sin(phase[j]);
  };
  double sum = 0.0;
  for (int k = 0; k <= 512 && k <= last; k += 4) {
    double re[3], im[3];
    for (int m = 0; m < 3; ++m) {
      at(k + m - 1, &re[m], &im[m]);
    }
    const double b_re = 0.5 * re[1] - 0.25 * (re[0] + re[2]);
    const double b_im = 0.5 * im[1] - 0.25 * (im[0] + im[2]);
    sum += (k == 0 || k == 512 ? 1.0 : 2.0) * (b_re * b_re + b_im * b_im);
  }
  return sum;
}

inline float partials_level(const Hold &h) {
  double sum = 0.0;
  for (uint32_t p = 0; p < h.count; ++p) {
    sum += 2.0 * (static_cast<double>(h.amp_re[p]) * h.amp_re[p] +
                  static_cast<double>(h.amp_im[p]) * h.amp_im[p]);
  }
  return as_level(sum);
}

// One channel of a saved value, as read back (or about to be written).
struct HeldChannel {
  float frozen_mag[bins];
  float frozen_phase[bins];
  Hold hold;
  float level;
  float power; // the plain freeze's output power, which the phases decide too
};
// The output power the captured spectrum makes, as it is saved beside it.
inline float held_power(const float *mag, const float *phase) {
  return as_level(spectrum_power(mag, phase, 512.0));
}

// ---------------------------------------------------------------------------
// The slots run() publishes into.

struct SlotHead {
  uint32_t frozen;
  uint32_t ready; // what is held is finished (1), or the analysis is under way
  uint32_t frame; // published after this frame
  uint32_t clock; // the blur's clock for the next frame (coherent)
};
struct HeldSpectrum {
  float mag[bins];
  float phase[bins];
};

constexpr size_t round16(size_t n) { return (n + 15) & ~size_t{15}; }
// A channel's part of a slot: its finished partials, or while the analysis
// is under way the analysis without its arrays, to be finished by save() on
// its copy; or a captured spectrum. The coherent plugins' part then holds a
// copy of the channel's history (of the window's length, which the rate
// sizes), apart from the rest, which a hold's partials may take.
template <bool coherent> constexpr size_t held_size() {
  return coherent ? round16(sizeof(Analysis) > sizeof(Hold) ? sizeof(Analysis) : sizeof(Hold))
                  : round16(sizeof(HeldSpectrum));
}
template <bool coherent> constexpr size_t payload_size(uint32_t octaves) {
  return held_size<coherent>() + (coherent ? (size_t{8192} << octaves) * sizeof(float) : 0);
}
template <bool coherent> constexpr size_t slot_size(uint32_t channels, uint32_t octaves) {
  return sizeof(SlotHead) + channels * payload_size<coherent>(octaves);
}
// The bytes a plugin that saves state has after its channels.
template <bool coherent> constexpr size_t state_size(uint32_t channels, uint32_t octaves) {
  return 2 * slot_size<coherent>(channels, octaves);
}
// The octaves of a coherent instance's analysis window (0 for the others).
inline uint32_t octaves_of(const Instance *self) {
  return self->channel.co ? self->channel.co->tables->octaves : 0;
}
template <bool coherent> unsigned char *slot_of(Instance *self, uint32_t channels, uint32_t slot) {
  return reinterpret_cast<unsigned char *>(self) + self->state_at +
         slot * slot_size<coherent>(channels, octaves_of(self));
}
inline unsigned char *payload_of(unsigned char *slot, size_t payload, uint32_t c) {
  return slot + sizeof(SlotHead) + c * payload;
}

inline void copy_partials(Hold &to, const Hold &from) {
  const uint32_t n = from.count <= max_partials ? from.count : max_partials;
  to.ready = from.ready;
  to.count = n;
  to.shift_turns = from.shift_turns;
  copy_partial_arrays(to, from, n);
}

inline float *history_copy(unsigned char *payload) {
  return reinterpret_cast<float *>(payload + held_size<true>());
}

// Hops of history copied into a slot at most per frame: a copy left behind
// (after a press, the slot published last) catches up over the first frames
// of the analysis (11 ms at every rate), a little in each, not in one.
constexpr uint32_t sync_budget = 16;

// The copy of the history in slot `target` (every channel's) brought toward
// the first `upto` hops run, the oldest it lacks first, at most
// sync_budget of them: from the history where it still holds them,
// otherwise from the current slot's copy; nothing is written if neither
// does. True once the copy holds the history as it was after hop `upto`.
// A copy holds hops (synced - long_hops + stale, synced]; hops count modulo
// 2^32, and hops before the first were silence in the history and in the
// copies alike (so a zero-filled record's copies hold them).
template <uint32_t channels> bool sync_history(Instance *self, uint32_t target, uint32_t upto) {
  Published &p = self->published;
  const HoldTables &t = *self->channel.co->tables;
  const uint32_t hops = t.long_hops;
  const uint32_t frames = p.frames;
  uint32_t synced = p.synced[target];
  uint32_t stale = p.stale[target];
  if (upto - synced > hops) { // too far behind (or past `upto`): taken afresh
    synced = upto - hops;
    stale = hops;
  }
  uint32_t missing = upto - synced;
  missing = missing < sync_budget ? missing : sync_budget;
  const uint32_t current = p.synced[1 - target];
  const uint32_t current_holds = hops - p.stale[1 - target];
  for (uint32_t k = synced + 1; k != synced + 1 + missing; ++k) {
    if (frames - k >= hops && current - k >= current_holds) {
      return false;
    }
  }
  const size_t payload = payload_size<true>(t.octaves);
  unsigned char *to = slot_of<true>(self, channels, target);
  unsigned char *other = slot_of<true>(self, channels, 1 - target);
  const uint32_t at = self->channel.co->analysis.at; // after hop `frames`
  for (uint32_t k = synced + 1; k != synced + 1 + missing; ++k) {
    const size_t from = size_t{(at - 1 - (frames - k)) & (hops - 1)} * hop_size; // its slot
    for (uint32_t c = 0; c < channels; ++c) {
      const float *src = frames - k < hops ? channel_of(self, c).co->analysis.history
                                           : history_copy(payload_of(other, payload, c));
      memcpy(history_copy(payload_of(to, payload, c)) + from, src + from, hop_size * sizeof(float));
    }
  }
  p.synced[target] = synced + missing;
  p.stale[target] = stale > missing ? stale - missing : 0;
  return p.synced[target] == upto && p.stale[target] == 0;
}

// After each frame (run()'s thread) and after a restore: publishes what is
// held if it changed, if the analysis is under way, or now and then while
// frozen; never waits: a slot save() is reading is left for a later frame.
// The coherent plugins also keep the next slot's copy of the history up
// with it (a hop a frame; a copy left behind catches up sync_budget hops a
// frame).
template <uint32_t channels, bool coherent> void publish(Instance *self, bool frame_done) {
  Published &p = self->published;
  uint32_t frame = p.frames;
  if (frame_done) {
    __atomic_store_n(&p.frames, ++frame, __ATOMIC_RELAXED);
  }
  const Channel &first = channel_of(self, 0);
  const uint32_t frozen = first.frozen != 0 ? 1 : 0;
  const uint32_t ready = coherent ? (first.co->hold.ready != 0 ? 1 : 0) : 1;
  const uint32_t shows = frozen | ready << 1;
  // An analysis under way is published after every frame. (Waiting for a
  // first sound there is nothing to finish: saved as frozen with nothing
  // held, it waits again when restored.)
  const bool analysing = coherent && frozen && !ready;
  const uint32_t target = 1 - p.current;
  if (frame_done && !p.pending && shows == p.shown && !analysing &&
      !(frozen && frame - p.shown_at >= refresh_frames)) {
    // Nothing to publish: the slot to be published next keeps its copy of
    // the history within a hop of it, so that a press finds it ready.
    if constexpr (coherent) {
      if (__atomic_load_n(&p.pinned, __ATOMIC_SEQ_CST) != target + 1) {
        sync_history<channels>(self, target, frame);
      }
    }
    return;
  }
  if (__atomic_load_n(&p.pinned, __ATOMIC_SEQ_CST) == target + 1) {
    p.pending = 1;
    return;
  }
  if constexpr (coherent) {
    // Once the window under analysis is taken (its last hop came `since`
    // hops ago), the history as it was then; otherwise as it is. Only an
    // analysis needs the copy whole: until it is (just after a press, the
    // other slot's copy catching up), the slot published last stands.
    const Analysis &a = first.co->analysis;
    const bool taken = analysing && (a.state == TAKING || a.state == TRANSFORM || a.state == PEAKS);
    if (!sync_history<channels>(self, target, taken ? frame - a.since : frame) && analysing) {
      p.pending = 1;
      return;
    }
  }
  unsigned char *slot = slot_of<coherent>(self, channels, target);
  const SlotHead head = {frozen, ready, frame, coherent ? first.co->hold.noise : 0u};
  memcpy(slot, &head, sizeof head);
  const uint32_t octaves = octaves_of(self);
  for (uint32_t c = 0; frozen && c < channels; ++c) {
    const Channel &ch = channel_of(self, c);
    unsigned char *to = payload_of(slot, payload_size<coherent>(octaves), c);
    if constexpr (coherent) {
      if (!ready) { // the analysis, its arrays left out (save() rebuilds them)
        memcpy(to, &ch.co->analysis, sizeof ch.co->analysis);
      } else {
        copy_partials(*reinterpret_cast<Hold *>(to), ch.co->hold);
      }
    } else {
      auto *held = reinterpret_cast<HeldSpectrum *>(to);
      memcpy(held->mag, ch.frozen_mag, sizeof held->mag);
      memcpy(held->phase, ch.frozen_phase, sizeof held->phase);
    }
  }
  __atomic_store_n(&p.current, target, __ATOMIC_SEQ_CST);
  p.shown = shows;
  p.shown_at = frame;
  p.pending = 0;
}

// save()'s side: a copy of the current slot into `to`, and the frames run
// by the time it was taken.
template <uint32_t channels, bool coherent>
uint32_t read_published(Instance *self, unsigned char *to) {
  Published &p = self->published;
  uint32_t slot;
  for (;;) { // run() changes `current` once a frame at most
    slot = __atomic_load_n(&p.current, __ATOMIC_SEQ_CST);
    __atomic_store_n(&p.pinned, slot + 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&p.current, __ATOMIC_SEQ_CST) == slot) {
      break;
    }
  }
  memcpy(to, slot_of<coherent>(self, channels, slot),
         slot_size<coherent>(channels, octaves_of(self)));
  const uint32_t frames = __atomic_load_n(&p.frames, __ATOMIC_RELAXED);
  __atomic_store_n(&p.pinned, 0u, __ATOMIC_SEQ_CST);
  return frames;
}

// The arrays of a copied analysis (its history as it was when its window
// ended, while that is taken) brought to where the analysis stands: the
// window's parts taken so far taken again, as take_window() took them, and
// the transform's slices done so far done again; the peaks (made into the
// instance's holds, not the copy) are found afresh, from the power on.
inline void replay_analysis(Analysis *const *a, unsigned n, const HoldTables &t) {
  const uint32_t state = a[0]->state;
  if (state != TAKING && state != TRANSFORM && state != PEAKS) {
    return;
  }
  for (unsigned c = 0; c < n; ++c) {
    Analysis &x = *a[c];
    Analysis again = x; // take_window()'s bookkeeping on a copy: the arrays are the same
    again.at = ((x.first + x.length) & (t.long_size - 1)) / hop_size; // so it finds `first`
    const unsigned taken = state == TAKING ? x.part : take_parts(t);
    for (unsigned p = 0; p < taken; ++p) {
      take_window(again, t, p);
    }
    const unsigned slices = state == TRANSFORM ? x.stage
                            : state == PEAKS   ? stage_slices(x.length)
                                               : 0;
    for (unsigned s = 0; s < slices; ++s) {
      long_slice(x.re, x.im, x.length, s, t);
    }
    if (state == PEAKS) {
      x.since -= x.part;
      x.part = 0;
      x.found = 0;
    }
  }
}

// The analysis of a copy finished at once: the hops it would still wait for
// (and the next one, which it would take first) are taken as already past;
// the window then starts that much earlier, and what comes before a strike
// does not count in its level (the analysis leaves those hops out itself).
// False if it cannot finish.
inline bool finish_analysis(Analysis *const *a, Hold *const *h, unsigned n, const HoldTables &t) {
  for (int hop = 0; hop < 4096 && !h[0]->ready; ++hop) {
    if (a[0]->state == IDLE || a[0]->state == LISTENING) {
      return false;
    }
    if (a[0]->state == WAITING) {
      for (unsigned c = 0; c < n; ++c) {
        const uint32_t last = a[c]->length / hop_size - 1;
        const uint32_t skip = a[c]->skip + a[c]->wait + 1;
        a[c]->skip = a[c]->struck ? (skip < last ? skip : last) : a[c]->skip;
        a[c]->wait = 0;
      }
    }
    advance_analysis(a, h, n, t);
  }
  return h[0]->ready != 0;
}

// ---------------------------------------------------------------------------
// Bytes out and in, field after field, each as this (little-endian)
// processor holds it.

struct Writer {
  unsigned char *at;
  void put(const void *v, size_t n) {
    memcpy(at, v, n);
    at += n;
  }
};
struct Reader {
  const unsigned char *at, *end;
  bool take(void *v, size_t n) {
    if (static_cast<size_t>(end - at) < n) {
      return false;
    }
    memcpy(v, at, n);
    at += n;
    return true;
  }
};

constexpr size_t saved_size(uint32_t channels) { // the most a value can take
  return sizeof(StateHeader) + 8 +
         channels * (size_t{4} * 3 + size_t{2} * bins * 4 + size_t{max_partials} * 19);
}

inline void write_partials(Writer &w, const Hold &h) {
  const uint32_t n = h.count;
  const float level = partials_level(h);
  w.put(&level, 4);
  w.put(&h.shift_turns, 4);
  w.put(&n, 4);
  w.put(h.amp_re, n * sizeof h.amp_re[0]);
  w.put(h.amp_im, n * sizeof h.amp_im[0]);
  w.put(h.phase, n * sizeof h.phase[0]);
  w.put(h.step, n * sizeof h.step[0]);
  w.put(h.bin, n * sizeof h.bin[0]);
  w.put(h.frac, n * sizeof h.frac[0]);
}
inline bool read_partials(Reader &r, Hold &h, uint32_t n) {
  h.count = n;
  h.ready = 1;
  return n <= max_partials && r.take(h.amp_re, n * sizeof h.amp_re[0]) &&
         r.take(h.amp_im, n * sizeof h.amp_im[0]) && r.take(h.phase, n * sizeof h.phase[0]) &&
         r.take(h.step, n * sizeof h.step[0]) && r.take(h.bin, n * sizeof h.bin[0]) &&
         r.take(h.frac, n * sizeof h.frac[0]);
}

// A channel of the current version.
inline bool read_channel(Reader &r, HeldChannel &c, Family family) {
  if (!r.take(&c.level, 4)) {
    return false;
  }
  if (family == SPECTRUM) {
    return r.take(&c.power, 4) && r.take(c.frozen_mag, sizeof c.frozen_mag) &&
           r.take(c.frozen_phase, sizeof c.frozen_phase);
  }
  uint32_t n = 0;
  return r.take(&c.hold.shift_turns, 4) && r.take(&n, 4) && read_partials(r, c.hold, n);
}

// A channel of version 2, which held both families' fields: the captured
// spectrum, the hold's four counters, its partials, the blur's phases. Its
// family is the one whose part is filled: a coherent plugin's hold is ready,
// a plain plugin's hold is empty. The level is what is read.
inline bool read_old_channel(Reader &r, HeldChannel &c, Family family) {
  uint32_t counters[4]; // ready, count, shift turns, the blur's noise
  uint32_t diffuse[bins];
  if (!r.take(c.frozen_mag, sizeof c.frozen_mag) ||
      !r.take(c.frozen_phase, sizeof c.frozen_phase) || !r.take(counters, sizeof counters) ||
      !read_partials(r, c.hold, counters[1]) || !r.take(diffuse, sizeof diffuse)) {
    return false;
  }
  c.hold.ready = counters[0];
  c.hold.shift_turns = counters[2];
  const bool partials = counters[0] == 1;
  if (partials != (family == PARTIALS) || (!partials && counters[1] != 0)) {
    return false;
  }
  c.level = family == SPECTRUM ? spectrum_level(c.frozen_mag) : partials_level(c.hold);
  c.power = held_power(c.frozen_mag, c.frozen_phase);
  return true;
}

// What a plugin of the family could have made: magnitudes not negative,
// phases within -pi..pi, and the output power they make; a valid hold whose
// partials' steps and bins tell the same frequency; a finite level (so
// every magnitude within a frame's reach) that is the sum of its parts.
inline bool held_channel_valid(const HeldChannel &c, Family family) {
  if (family == SPECTRUM) {
    for (unsigned k = 0; k < bins; ++k) {
      if (!(c.frozen_mag[k] >= 0.0f) || !(fabsf(c.frozen_phase[k]) <= 3.1415927f)) {
        return false;
      }
    }
    // The power comes from double sines and cosines, which may differ in
    // their last bit between targets: it is checked to within 1e-6.
    const float power = held_power(c.frozen_mag, c.frozen_phase);
    return is_finite(c.level) && c.level == spectrum_level(c.frozen_mag) && is_finite(power) &&
           fabsf(c.power - power) <= 1e-6f * power;
  }
  const Hold &h = c.hold;
  if (!hold_valid(h) || h.ready != 1) {
    return false;
  }
  for (uint32_t p = 0; p < h.count; ++p) {
    // The step is the frequency modulo four bins; the bin and its 256ths
    // place it to within half a 256th.
    const double placed = h.bin[p] + h.frac[p] / 256.0;
    const double stepped = h.step[p] / 1073741824.0;
    const double off = stepped - placed + 4.0 * floor((placed - stepped) / 4.0 + 0.5);
    if (!(fabs(off) <= 1.0 / 256.0)) {
      return false;
    }
  }
  return is_finite(c.level) && c.level == partials_level(h);
}

// A pair holds the same frequencies in both channels: it is made from both.
inline bool pair_valid(const HeldChannel &l, const HeldChannel &r) {
  const uint32_t n = l.hold.count;
  return n == r.hold.count && !memcmp(l.hold.step, r.hold.step, n * sizeof l.hold.step[0]) &&
         !memcmp(l.hold.bin, r.hold.bin, n * sizeof l.hold.bin[0]) &&
         !memcmp(l.hold.frac, r.hold.frac, n * sizeof l.hold.frac[0]);
}

// ---------------------------------------------------------------------------
// Another sample rate: the same frequencies in Hz, so each in this rate's
// bins; what no longer fits below half the rate is dropped.

// A partial's frequency in bins, from its step (the frequency modulo four
// bins, exactly) and its bin (where it lies).
inline double partial_bins(const Hold &h, uint32_t p) {
  const double placed = h.bin[p] + h.frac[p] / 256.0;
  const double stepped = h.step[p] / 1073741824.0;
  return stepped + 4.0 * floor((placed - stepped) / 4.0 + 0.5);
}

// `ratio`: the saved rate over this one. A pair's channels move alike.
inline void move_partials(Hold &h, double ratio) {
  uint32_t kept = 0;
  for (uint32_t p = 0; p < h.count; ++p) {
    const double f = partial_bins(h, p) * ratio;
    const double v = floor(f * 256.0 + 0.5);
    if (!(f >= 0.0 && v < 512.0 * 256.0)) {
      continue;
    }
    // The step, mod 2^32, without a 64-bit conversion (none on 32-bit Arm's
    // library): an exact whole number below 2^40, reduced in double.
    const double whole = floor(f * 1073741824.0 + 0.5);
    const double turns = whole - 4294967296.0 * floor(whole / 4294967296.0);
    h.amp_re[kept] = h.amp_re[p];
    h.amp_im[kept] = h.amp_im[p];
    h.phase[kept] = h.phase[p];
    h.step[kept] = static_cast<uint32_t>(turns);
    h.bin[kept] = static_cast<uint16_t>(static_cast<uint32_t>(v) >> 8);
    h.frac[kept] = static_cast<uint8_t>(static_cast<uint32_t>(v) & 255u);
    ++kept;
  }
  h.count = kept;
}

// The captured spectrum read at each bin's frequency in the saved rate's
// bins (magnitudes between bins interpolated, the nearest bin's phase), then
// scaled to the power the saved one had below half of this rate.
inline void move_spectrum(float *mag, float *phase, double ratio) {
  float m[bins];
  float ph[bins];
  for (unsigned k = 0; k < bins; ++k) {
    const double x = k / ratio; // this rate's bin k in the saved rate's bins
    const auto j = static_cast<unsigned>(x);
    if (x > 512.0) {
      m[k] = 0.0f;
      ph[k] = 0.0f;
      continue;
    }
    const double t = x - j;
    const unsigned next = j < 512 ? j + 1 : 512;
    m[k] = static_cast<float>(mag[j] * (1.0 - t) + mag[next] * t);
    ph[k] = phase[t < 0.5 ? j : next];
  }
  const double before = spectrum_power(mag, phase, 512.0 / ratio);
  const double after = spectrum_power(m, ph, 512.0);
  const double gain = after > 0.0 ? sqrt(before / after) : 0.0;
  for (unsigned k = 0; k < bins; ++k) {
    const double v = m[k] * gain;
    mag[k] = v <= most_magnitude ? static_cast<float>(v) : most_magnitude;
    phase[k] = ph[k];
  }
}

// ---------------------------------------------------------------------------

// The URIDs state needs, mapped at instantiation where the host offers a
// map; without one the plugin saves nothing and restores nothing. The rate
// is the one the hold's frequencies are counted at.
inline void map_state_urids(Instance *self, double rate, const LV2_Feature *const *features) {
  self->rate = rate >= least_rate && rate <= most_rate ? static_cast<float>(rate) : 48000.0f;
  for (; features && *features; ++features) {
    if (!strcmp((*features)->URI, LV2_URID__map) && (*features)->data) {
      const auto *map = static_cast<const LV2_URID_Map *>((*features)->data);
      self->hold_key = map->map(map->handle, hold_key_uri);
      self->chunk_type = map->map(map->handle, LV2_ATOM__Chunk);
      return;
    }
  }
}

template <uint32_t channels, bool coherent>
LV2_State_Status save(LV2_Handle handle, LV2_State_Store_Function store, LV2_State_Handle state,
                      uint32_t, const LV2_Feature *const *) {
  auto *self = static_cast<Instance *>(handle);
  if (!self->hold_key) {
    return LV2_STATE_ERR_NO_FEATURE;
  }
  // Not the audio thread: the copy may take memory of its own.
  const uint32_t octaves = octaves_of(self);
  const size_t payload = payload_size<coherent>(octaves);
  auto *slot = static_cast<unsigned char *>(malloc(slot_size<coherent>(channels, octaves)));
  auto *holds = static_cast<Hold *>(coherent ? calloc(channels, sizeof(Hold)) : nullptr);
  auto *bytes = static_cast<unsigned char *>(malloc(saved_size(channels)));
  auto *arrays = static_cast<unsigned char *>(
      coherent ? calloc(channels, analysis_array_bytes(octaves)) : nullptr);
  LV2_State_Status status = LV2_STATE_ERR_NO_SPACE;
  if (slot && bytes && ((holds && arrays) || !coherent)) {
    const uint32_t now = read_published<channels, coherent>(self, slot);
    SlotHead head;
    memcpy(&head, slot, sizeof head);
    [[maybe_unused]] const Hold *held[channels] = {};
    if constexpr (coherent) {
      Analysis *a[channels];
      Hold *h[channels];
      for (uint32_t c = 0; c < channels; ++c) {
        a[c] = reinterpret_cast<Analysis *>(payload_of(slot, payload, c));
        if (head.frozen && !head.ready) { // arrays of its own, its history from the slot
          place_analysis(*a[c],
                         reinterpret_cast<float *>(arrays + c * analysis_array_bytes(octaves)),
                         octaves);
          memcpy(a[c]->history, history_copy(payload_of(slot, payload, c)),
                 (size_t{8192} << octaves) * sizeof(float));
        }
        h[c] = head.ready ? reinterpret_cast<Hold *>(payload_of(slot, payload, c)) : &holds[c];
        held[c] = h[c];
      }
      if (head.frozen && !head.ready) {
        replay_analysis(a, channels, *self->channel.co->tables);
        head.frozen = finish_analysis(a, h, channels, *self->channel.co->tables) ? 1 : 0;
      } else if (head.frozen) { // the phases as they are now
        for (uint32_t c = 0; c < channels; ++c) {
          for (uint32_t p = 0; p < h[c]->count; ++p) {
            h[c]->phase[p] += h[c]->step[p] * (now - head.frame);
          }
        }
      }
    }
    const StateHeader header = {
        state_magic, state_version, channels, head.frozen, coherent ? PARTIALS : SPECTRUM, 0};
    Writer w{bytes + sizeof header};
    if (head.frozen) { // the clock as it is now, moved on as the phases are
      const uint32_t clock = head.clock + (now - head.frame);
      w.put(&self->rate, 4);
      w.put(&clock, 4);
    }
    for (uint32_t c = 0; head.frozen && c < channels; ++c) {
      if constexpr (coherent) {
        write_partials(w, *held[c]);
      } else {
        const auto *s = reinterpret_cast<const HeldSpectrum *>(payload_of(slot, payload, c));
        const float level[2] = {spectrum_level(s->mag), held_power(s->mag, s->phase)};
        w.put(level, sizeof level);
        w.put(s->mag, sizeof s->mag);
        w.put(s->phase, sizeof s->phase);
      }
    }
    const auto size = static_cast<size_t>(w.at - bytes);
    StateHeader sealed = header;
    sealed.checksum = fnv1a(bytes + sizeof header, size - sizeof header);
    memcpy(bytes, &sealed, sizeof sealed);
    status = store(state, self->hold_key, bytes, size, self->chunk_type,
                   LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
  }
  free(bytes);
  free(arrays);
  free(holds);
  free(slot);
  return status;
}

// Every channel read and checked; false where anything is not what a
// plugin of this family, channels and version could have written.
template <uint32_t channels, bool coherent>
bool read_held(const StateHeader &header, Reader &r, HeldChannel *held, float *rate,
               uint32_t *clock) {
  constexpr Family family = coherent ? PARTIALS : SPECTRUM;
  const bool rated = header.version == state_version || header.version == clockless_version;
  if (rated && (header.family != family || !r.take(rate, 4) ||
                !(*rate >= least_rate && *rate <= most_rate))) {
    return false;
  }
  if (header.version == state_version && !r.take(clock, 4)) {
    return false;
  }
  if (header.version == old_version && header.family != max_partials) {
    return false;
  }
  for (uint32_t c = 0; c < channels; ++c) {
    const bool read =
        rated ? read_channel(r, held[c], family) : read_old_channel(r, held[c], family);
    if (!read || !held_channel_valid(held[c], family)) {
      return false;
    }
  }
  return r.at == r.end && (!coherent || channels == 1 || pair_valid(held[0], held[1]));
}

template <uint32_t channels, bool coherent>
LV2_State_Status restore(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle state, uint32_t, const LV2_Feature *const *) {
  auto *self = static_cast<Instance *>(handle);
  if (!self->hold_key) {
    return LV2_STATE_ERR_NO_FEATURE;
  }
  size_t size = 0;
  uint32_t type = 0, flags = 0;
  const void *value = retrieve(state, self->hold_key, &size, &type, &flags);

  // Whatever comes, the plugin is left unfrozen unless a whole, valid hold
  // is restored; with freeze on, the next frame then starts a hold as a
  // press would (of the first sound, if nothing has sounded yet).
  for (uint32_t c = 0; c < channels; ++c) {
    channel_of(self, c).frozen = 0;
    channel_of(self, c).prev_freeze = 0.0f;
  }
  LV2_State_Status status = LV2_STATE_ERR_BAD_TYPE;
  StateHeader header;
  if (!value) {
    status = LV2_STATE_ERR_NO_PROPERTY;
  } else if (type == self->chunk_type && size >= sizeof header) {
    memcpy(&header, value, sizeof header);
    const auto *bytes = static_cast<const unsigned char *>(value);
    Reader r{bytes + sizeof header, bytes + size};
    auto *held = static_cast<HeldChannel *>(calloc(channels, sizeof(HeldChannel)));
    float rate = self->rate;
    uint32_t clock = self->channel.co ? self->channel.co->hold.noise : 0;
    if (!held) {
      status = LV2_STATE_ERR_NO_SPACE;
    } else if (header.magic != state_magic || header.channels != channels ||
               (header.version != state_version && header.version != clockless_version &&
                header.version != old_version) ||
               header.frozen > 1 || header.checksum != fnv1a(r.at, size - sizeof header)) {
      status = LV2_STATE_ERR_BAD_TYPE;
    } else if (!header.frozen) {
      status = r.at == r.end ? LV2_STATE_SUCCESS : LV2_STATE_ERR_BAD_TYPE;
    } else if (read_held<channels, coherent>(header, r, held, &rate, &clock)) {
      const double ratio = static_cast<double>(rate) / self->rate;
      for (uint32_t c = 0; c < channels; ++c) {
        Channel &ch = channel_of(self, c);
        if constexpr (coherent) {
          if (ratio != 1.0) {
            move_partials(held[c].hold, ratio);
          }
          copy_partials(ch.co->hold, held[c].hold);
          ch.co->hold.noise = clock;
        } else {
          if (ratio != 1.0) {
            move_spectrum(held[c].frozen_mag, held[c].frozen_phase, ratio);
          }
          memcpy(ch.frozen_mag, held[c].frozen_mag, sizeof ch.frozen_mag);
          memcpy(ch.frozen_phase, held[c].frozen_phase, sizeof ch.frozen_phase);
        }
        ch.frozen = 1;
        ch.prev_freeze = 1.0f;    // kept while the switch stays on
        if constexpr (coherent) { // no analysis under way may replace it
          ch.co->analysis.state = IDLE;
          ch.co->analysis.refining = 0;
        }
      }
      status = LV2_STATE_SUCCESS;
    }
    free(held);
  }
  publish<channels, coherent>(self, false);
  return status;
}

template <uint32_t channels, bool coherent>
constexpr LV2_State_Interface state_interface = {save<channels, coherent>,
                                                 restore<channels, coherent>};

template <uint32_t channels, bool coherent> const void *state_extension(const char *uri) {
  return !strcmp(uri, LV2_STATE__interface) ? &state_interface<channels, coherent> : nullptr;
}

} // namespace
