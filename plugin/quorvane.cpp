// quorvane: a mono spectral effect (freeze, blur, bin shift, gate) for LV2.
//
// Every 256 samples the latest 1024 input samples go through a Hann window
// and an FFT, the spectrum is reshaped, and the inverse is windowed again and
// overlap-added into a ring that the sample loop reads 1024 samples later.
// Everything the instance needs lives in one zero-filled allocation.
//
// The library holds four plugins that share all of this, two choices apart.
// The first mixes the wet signal with the dry input of the same moment, so the
// two are 1024 samples apart; hosts are not told of the delay, which is part
// of its sound. The aligned ones delay the dry signal by the same 1024
// samples and report that latency, so a DAW can line the track up and
// partial mixes don't comb. The coherent ones correct the phases, so that a
// held sound keeps its pitch and a shifted one its level; with freeze off and
// shift 0 they are the first two, bit for bit.

#include <stdint.h>
#include <stdlib.h>

#include <lv2/core/lv2.h>

#include "dsp/frame.hpp"
#include "dsp/simd.hpp"
#include "plugin/instance.hpp"
#include "plugin/ports.hpp"

namespace {

constexpr const char *plugin_uri = "http://quorvane.audio/lv2/quorvane";
constexpr const char *aligned_uri = "http://quorvane.audio/lv2/quorvane-aligned";
constexpr const char *coherent_uri = "http://quorvane.audio/lv2/quorvane-coherent";
constexpr const char *coherent_aligned_uri = "http://quorvane.audio/lv2/quorvane-coherent-aligned";

// The two choices a plugin of this library makes.
enum Variant : unsigned {
  PLAIN = 0,
  DELAY_DRY = 1, // dry signal delayed to meet the wet one; latency reported
  COHERENT = 2,  // phases corrected for the hold and the shift
};

// The first two plugins work in samples and bins; only the coherent ones use
// the sample rate (prepare()). The bundle path and the host's features do
// not matter.
LV2_Handle inst(const LV2_Descriptor *, double rate, const char *, const LV2_Feature *const *) {
  auto *self = static_cast<Instance *>(calloc(1, sizeof(Instance)));
  if (!self) {
    return nullptr;
  }
  prepare(self->channel, rate); // here rather than in the audio thread's first frame
  return self;
}

void clean(LV2_Handle handle) { free(handle); }

// A null buffer is stored like any other: the port then counts as absent.
void conn(LV2_Handle handle, uint32_t port, void *data) {
  auto *self = static_cast<Instance *>(handle);
  auto *buffer = static_cast<float *>(data);
  switch (port) {
  case IN: self->in = buffer; break;
  case OUT: self->out = buffer; break;
  case FREEZE: self->freeze = buffer; break;
  case MIX: self->mix = buffer; break;
  case BLUR: self->blur = buffer; break;
  case SHIFT: self->shift = buffer; break;
  case THRESHOLD: self->threshold = buffer; break;
  default: break;
  }
}

void conn_aligned(LV2_Handle handle, uint32_t port, void *data) {
  if (port == LATENCY) {
    static_cast<Instance *>(handle)->latency = static_cast<float *>(data);
  } else {
    conn(handle, port, data);
  }
}

// v where it is finite, +0 where it is NaN or infinite, lane by lane: what
// the scalar loop below makes of each sample.
inline v4f finite_or_zero(v4f v) {
  const v4f magnitude = reinterpret_cast<v4f>(reinterpret_cast<v4i>(v) & splat4i(0x7fffffff));
  const v4i finite = magnitude <= splat4(3.4028235e38f); // as is_finite()
  return reinterpret_cast<v4f>(reinterpret_cast<v4i>(v) & finite);
}

// Samples first + 0 .. first + count - 1 of a call, none of which completes a
// hop, so pos runs through count consecutive ring slots without wrapping.
// `in` and `out` may be the same buffer: each index is read before it is
// written, and no other index is touched meanwhile. With delay_dry the dry
// signal is the sample that the new one replaces in the input ring, the one
// 1024 samples earlier, which meets the wet signal that reconstructs it.
template <bool delay_dry>
inline void run_span(Instance *self, uint32_t first, uint32_t count, float a, float dry_gain) {
  const float *in = self->in;
  float *out = self->out;
  Channel &ch = self->channel;
  float *in_ring = ch.in_ring + ch.pos;
  float *out_ring = ch.out_ring + ch.pos;
  uint32_t i = 0;
  // Four samples at a time, each lane doing what the scalar loop does with
  // its sample. That holds when the buffers are the same or at least four
  // samples apart: no vector then reads a sample that the same vector's
  // store would have changed first.
  const auto in_at = reinterpret_cast<uintptr_t>(in);
  const auto out_at = reinterpret_cast<uintptr_t>(out);
  const uintptr_t apart = in_at > out_at ? in_at - out_at : out_at - in_at;
  if (in && out && (apart == 0 || apart >= sizeof(v4f))) {
    const v4f wet_gain = splat4(a);
    const v4f dry_gains = splat4(dry_gain);
    for (; i + 4 <= count; i += 4) {
      const v4f x = finite_or_zero(load4(in + first + i));
      const v4f wet = finite_or_zero(load4(out_ring + i));
      store4(out_ring + i, splat4(0.0f));
      const v4f dry = delay_dry ? load4(in_ring + i) : x;
      store4(in_ring + i, x);
      store4(out + first + i, dry_gains * dry + wet * wet_gain);
    }
  }
  for (; i < count; ++i) {
    float x = in ? in[first + i] : 0.0f;
    if (!is_finite(x)) { // NaN and infinities become silence
      x = 0.0f;
    }
    // Enormous but finite input can overflow the transforms; whatever they
    // made of it, the host gets no NaN or infinity from finite input.
    float wet = out_ring[i];
    if (!is_finite(wet)) {
      wet = 0.0f;
    }
    out_ring[i] = 0.0f;
    const float dry = delay_dry ? in_ring[i] : x;
    in_ring[i] = x;
    if (out) {
      out[first + i] = dry_gain * dry + wet * a;
    }
  }
}

// The frame's controls by the one reading rule: an absent one is 0.
inline Controls read_controls(const Instance *self) {
  return {control_or(self->freeze, 0.0f), control_or(self->blur, 0.0f),
          control_or(self->shift, 0.0f), control_or(self->threshold, 0.0f)};
}

template <unsigned variant> void process(Instance *self, uint32_t sample_count) {
  constexpr bool delay_dry = (variant & DELAY_DRY) != 0;
  if constexpr (delay_dry) {
    // The wet signal lags by one block; that is the whole latency, and it
    // never changes, so it is reported on every call.
    if (self->latency) {
      *self->latency = static_cast<float>(block_size);
    }
  }
  // Mix is read once per call; an absent one means fully wet.
  float a = control_or(self->mix, 1.0f);
  a = a < 0.0f ? 0.0f : a > 1.0f ? 1.0f : a;
  const float dry_gain = 1.0f - a;

  // Stretches of samples up to the next frame. pos and hop advance together
  // and the ring is four hops long, so such a stretch never wraps around the
  // ring; the end of the ring still bounds it, whatever the state holds.
  Channel &ch = self->channel;
  uint32_t done = 0;
  while (done < sample_count) {
    const uint32_t to_frame = hop_size - ch.hop;
    const uint32_t to_end = block_size - ch.pos;
    const uint32_t left = sample_count - done;
    uint32_t count = left < to_frame ? left : to_frame;
    count = count < to_end ? count : to_end;
    run_span<delay_dry>(self, done, count, a, dry_gain);
    done += count;
    ch.pos = (ch.pos + count) & ring_mask;
    ch.hop += count;
    if (ch.hop >= hop_size) {
      ch.hop = 0;
      frame<(variant & COHERENT) != 0>(ch, read_controls(self));
    }
  }
}

void run(LV2_Handle handle, uint32_t sample_count) {
  process<PLAIN>(static_cast<Instance *>(handle), sample_count);
}

template <unsigned variant> void run_variant(LV2_Handle handle, uint32_t sample_count) {
  process<variant>(static_cast<Instance *>(handle), sample_count);
}

template <unsigned variant> constexpr LV2_Descriptor describe(const char *uri) {
  return {uri,
          inst,
          (variant & DELAY_DRY) ? conn_aligned : conn,
          nullptr,
          variant == PLAIN ? run : run_variant<variant>,
          nullptr,
          clean,
          nullptr};
}

const LV2_Descriptor desc = describe<PLAIN>(plugin_uri);
const LV2_Descriptor desc_aligned = describe<DELAY_DRY>(aligned_uri);
const LV2_Descriptor desc_coherent = describe<COHERENT>(coherent_uri);
const LV2_Descriptor desc_coherent_aligned = describe<COHERENT | DELAY_DRY>(coherent_aligned_uri);

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor *lv2_descriptor(uint32_t index) {
  switch (index) {
  case 0: return &desc;
  case 1: return &desc_aligned;
  case 2: return &desc_coherent;
  case 3: return &desc_coherent_aligned;
  default: return nullptr;
  }
}
