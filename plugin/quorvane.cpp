// quorvane: spectral effects (freeze, blur, bin shift, gate) for LV2.
//
// Every 256 samples the latest 1024 input samples go through a Hann window
// and an FFT, the spectrum is reshaped, and the inverse is windowed again and
// overlap-added into a ring that the sample loop reads 1024 samples later.
// Everything the instance needs lives in one zero-filled allocation.
//
// The library holds the plugins of bundle/plugins.cmake, which share all of
// this and differ by a few traits (quorvane_table.hpp). The first mixes the wet signal with the dry
// input of the same moment, so the two are 1024 samples apart; hosts are not told of the delay,
// which is part of its sound. The aligned ones delay the dry signal by the same 1024 samples and
// report that latency, so a DAW can line the track up and partial mixes don't comb. The coherent
// ones correct the phases, so that a held sound keeps its pitch and a shifted one its level; with
// freeze off and shift 0 they are the first two, bit for bit. The stereo ones are the coherent ones
// on a pair of channels held as one. All but the first have the host's bypass and save what they
// hold with the session.

#include <stdint.h>
#include <stdlib.h>

#include <array>
#include <utility>

#include <lv2/core/lv2.h>

#include "dsp/frame.hpp"
#include "dsp/simd.hpp"
#include "plugin/instance.hpp"
#include "plugin/ports.hpp"
#include "plugin/spectrum.hpp"
#include "plugin/state.hpp"
#include "quorvane_table.hpp"

// glibc 2.14 gave x86-64 a memcpy that may not overlap, under a new version;
// the copies here never overlap, so the first one serves, and the library
// keeps loading on any x86-64 glibc (2.4 and later, as everywhere else).
#if defined(__x86_64__) && defined(__GLIBC__)
__asm__(".symver memcpy, memcpy@GLIBC_2.2.5");
#endif

namespace {

// The two choices of the processing that a plugin of this library makes.
enum Variant : unsigned {
  PLAIN = 0,
  DELAY_DRY = 1, // dry signal delayed to meet the wet one; latency reported
  COHERENT = 2,  // phases corrected for the hold and the shift
};

constexpr unsigned variant_of(const PluginInfo &p) {
  return (p.latency ? DELAY_DRY : 0u) | (p.coherent ? COHERENT : 0u);
}

// One zero-filled record with the channels of plugin `which`. The first
// two plugins work in samples and bins; only the coherent ones use the
// sample rate, which sizes their analysis (place_coherent()). Of the host's
// features only the URID map matters, to the plugins that save their state.
template <uint32_t which>
LV2_Handle inst(const LV2_Descriptor *, double rate, const char *,
                const LV2_Feature *const *features) {
  constexpr const PluginInfo &plugin = plugin_table[which];
  const size_t state_at = round_up64(instance_size(plugin.channels, plugin.coherent, rate));
  const size_t display_at = display_offset(
      state_at +
      (plugin.state ? state_size<plugin.coherent>(plugin.channels, hold_octaves(rate)) : 0));
  auto *self =
      static_cast<Instance *>(calloc(1, plugin.ui ? display_at + sizeof(Showing) : display_at));
  if (!self) {
    return nullptr;
  }
  self->state_at = static_cast<uint32_t>(state_at);
  self->display_at = static_cast<uint32_t>(display_at);
  Channel *chs[2] = {};
  for (uint32_t c = 0; c < plugin.channels; ++c) {
    chs[c] = &channel_of(self, c);
    prepare(*chs[c]); // here rather than in the audio thread's first frame
  }
  if constexpr (plugin.coherent) {
    place_coherent(chs, plugin.channels,
                   reinterpret_cast<unsigned char *>(self) + coherent_offset(plugin.channels),
                   rate);
  }
  if constexpr (plugin.state) {
    map_state_urids(self, rate, features);
  }
  if constexpr (plugin.ui) {
    prepare_display(display_of(self), rate, features);
  }
  return self;
}

void clean(LV2_Handle handle) { free(handle); }

// What the library does with each port of the table, and where. No
// default: a port added to bundle/ports.cmake stops the build here
// (-Werror=switch names it) until it has its place.
enum class Use { AUDIO, PER_CALL, PER_FRAME, REPORTED, MESSAGES };
constexpr Use use_of(Role role) {
  switch (role) {
  case Role::IN:
  case Role::IN_L:
  case Role::IN_R:
  case Role::OUT:
  case Role::OUT_L:
  case Role::OUT_R: return Use::AUDIO; // process(), a channel each
  case Role::MIX:
  case Role::ENABLED: return Use::PER_CALL; // process()
  case Role::FREEZE:
  case Role::BLUR:
  case Role::SHIFT:
  case Role::THRESHOLD: return Use::PER_FRAME; // read_controls()
  case Role::LATENCY: return Use::REPORTED;    // process()
  case Role::CONTROL:
  case Role::NOTIFY: return Use::MESSAGES; // the window's (plugin/spectrum.hpp)
  }
  return Use::AUDIO;
}
constexpr bool every_use_fits_its_kind() {
  for (uint32_t r = 0; r < role_count; ++r) {
    const Use use = use_of(static_cast<Role>(r));
    const PortKind kind = roles[r].kind;
    const bool audio = kind == PortKind::AUDIO_IN || kind == PortKind::AUDIO_OUT;
    const bool atom = kind == PortKind::ATOM_IN || kind == PortKind::ATOM_OUT;
    if ((use == Use::AUDIO) != audio || (use == Use::REPORTED) != (kind == PortKind::CONTROL_OUT) ||
        (use == Use::MESSAGES) != atom) {
      return false;
    }
  }
  return true;
}
static_assert(every_use_fits_its_kind(), "use_of() gives a port a use that its kind cannot have");

// Plugin `which` connects port `index` into the record's slot for the role the
// table gives that index. A null buffer is stored like any other: the port
// then counts as absent. Indices beyond the plugin's last port change nothing.
template <uint32_t which> void conn(LV2_Handle handle, uint32_t index, void *data) {
  constexpr const PluginInfo &plugin = plugin_table[which];
  if (index < plugin.port_count) {
    static_cast<Instance *>(handle)->port[plugin.ports[index]] = static_cast<float *>(data);
  }
}

// A control input by the one rule: its fallback where it is absent,
// otherwise its value clamped to the range the bundle declares.
inline float read(const Instance *self, Role role) {
  const RoleInfo &r = info_of(role);
  const float v = control_or(self->port[role], r.fallback);
  return v < r.minimum ? r.minimum : v > r.maximum ? r.maximum : v;
}

// v where it is finite, +0 where it is NaN or infinite, lane by lane: what
// the scalar loop below makes of each sample.
inline v4f finite_or_zero(v4f v) {
  const v4f magnitude = reinterpret_cast<v4f>(reinterpret_cast<v4i>(v) & splat4i(0x7fffffff));
  const v4i finite = magnitude <= splat4(3.4028235e38f); // as is_finite()
  return reinterpret_cast<v4f>(reinterpret_cast<v4i>(v) & finite);
}

// One sample into the rings at their current slot: the input (silence if
// absent; NaN and infinities become silence too) replaces the oldest sample,
// and the slot's wet sum is taken out. Returns the wet sample and the dry one
// of this moment: the input itself, or with delay_dry the sample it replaces
// in the input ring, 1024 samples earlier, which meets the wet signal that
// reconstructs it.
struct Taken {
  float dry, wet;
};
template <bool delay_dry> inline Taken take(const float *in, float *in_ring, float *out_ring) {
  float x = in ? *in : 0.0f;
  if (!is_finite(x)) {
    x = 0.0f;
  }
  // Enormous but finite input can overflow the transforms; whatever they
  // made of it, the host gets no NaN or infinity from finite input.
  float wet = *out_ring;
  if (!is_finite(wet)) {
    wet = 0.0f;
  }
  *out_ring = 0.0f;
  const float dry = delay_dry ? *in_ring : x;
  *in_ring = x;
  return {dry, wet};
}

// Samples first + 0 .. first + count - 1 of a call, none of which completes a
// hop, so pos runs through count consecutive ring slots without wrapping.
// `in` and `out` may be the same buffer: each index is read before it is
// written, and no other index is touched meanwhile. With delay_dry the dry
// signal is the sample that the new one replaces in the input ring, the one
// 1024 samples earlier, which meets the wet signal that reconstructs it.
template <bool delay_dry>
inline void run_span(Channel &ch, const float *in, float *out, uint32_t first, uint32_t count,
                     float a, float dry_gain) {
  float *in_ring = ch.in_ring + ch.pos;
  float *out_ring = ch.out_ring + ch.pos;
  uint32_t i = 0;
#if !defined(QUORVANE_SCALAR) // without a vector unit the lanes only add copies
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
#endif
  for (; i < count; ++i) {
    const Taken t = take<delay_dry>(in ? in + first + i : nullptr, in_ring + i, out_ring + i);
    if (out) {
      out[first + i] = dry_gain * t.dry + t.wet * a;
    }
  }
}

// The bypass of the plugins that have one: from the output of run_span()
// toward the dry signal of the same moment (the input delayed by the
// plugin's latency), one hop's worth of samples for the whole way. The
// frames go on meanwhile, so what is held is still there when it comes back.
constexpr float bypass_step = 1.0f / hop_size;

template <bool delay_dry>
inline float run_span_bypassed(Channel &ch, const float *in, float *out, uint32_t first,
                               uint32_t count, float a, float dry_gain, float b, float target) {
  float *in_ring = ch.in_ring + ch.pos;
  float *out_ring = ch.out_ring + ch.pos;
  for (uint32_t i = 0; i < count; ++i) {
    const Taken t = take<delay_dry>(in ? in + first + i : nullptr, in_ring + i, out_ring + i);
    b = b < target ? fminf(b + bypass_step, target) : fmaxf(b - bypass_step, target);
    if (out) {
      const float mixed = dry_gain * t.dry + t.wet * a;
      out[first + i] = b == 0.0f ? mixed : b == 1.0f ? t.dry : mixed * (1.0f - b) + t.dry * b;
    }
  }
  return b;
}

// The frame's controls, each by its row of the port table.
inline Controls read_controls(const Instance *self) {
  return {read(self, Role::FREEZE), read(self, Role::BLUR), read(self, Role::SHIFT),
          read(self, Role::THRESHOLD)};
}

template <uint32_t which> void process(Instance *self, uint32_t sample_count) {
  constexpr const PluginInfo &plugin = plugin_table[which];
  constexpr uint32_t channels = plugin.channels;
  constexpr unsigned variant = variant_of(plugin);
  constexpr bool delay_dry = (variant & DELAY_DRY) != 0;
  constexpr bool coherent = (variant & COHERENT) != 0;
  if constexpr (delay_dry) {
    // The wet signal lags by one block; that is the whole latency, and it
    // never changes, so it is reported on every call.
    if (float *latency = self->port[Role::LATENCY]) {
      *latency = static_cast<float>(block_size);
    }
  }
  // Mix (and the bypass) are read once per call; an absent mix means fully
  // wet, an absent bypass port processing.
  const float a = read(self, Role::MIX);
  const float dry_gain = 1.0f - a;
  float target = 0.0f;
  if constexpr (plugin.bypass) {
    target = read(self, Role::ENABLED) >= 0.5f ? 0.0f : 1.0f;
  }
  // Each channel's buffers: the left (or only) one's, then the right one's.
  auto in = [self](uint32_t c) -> const float * {
    return self->port[channels == 1 ? Role::IN : c == 0 ? Role::IN_L : Role::IN_R];
  };
  auto out = [self](uint32_t c) {
    return self->port[channels == 1 ? Role::OUT : c == 0 ? Role::OUT_L : Role::OUT_R];
  };

  // Stretches of samples up to the next frame. pos and hop advance together
  // (in every channel alike) and the ring is four hops long, so such a
  // stretch never wraps around the ring; the end of the ring still bounds
  // it, whatever the state holds.
  if constexpr (plugin.ui) {
    display_begin(display_of(self), self->port[Role::CONTROL], self->port[Role::NOTIFY],
                  sample_count);
  }
  Channel &first = self->channel;
  uint32_t done = 0;
  while (done < sample_count) {
    const uint32_t to_frame = hop_size - first.hop;
    const uint32_t to_end = block_size - first.pos;
    const uint32_t left = sample_count - done;
    uint32_t count = left < to_frame ? left : to_frame;
    count = count < to_end ? count : to_end;
    if (plugin.bypass && (target != 0.0f || self->bypass != 0.0f)) {
      float b = self->bypass;
      for (uint32_t c = 0; c < channels; ++c) {
        b = run_span_bypassed<delay_dry>(channel_of(self, c), in(c), out(c), done, count, a,
                                         dry_gain, self->bypass, target);
      }
      self->bypass = b;
    } else {
      for (uint32_t c = 0; c < channels; ++c) {
        run_span<delay_dry>(channel_of(self, c), in(c), out(c), done, count, a, dry_gain);
      }
    }
    done += count;
    bool due = false;
    for (uint32_t c = 0; c < channels; ++c) {
      Channel &ch = channel_of(self, c);
      ch.pos = (ch.pos + count) & ring_mask;
      ch.hop += count;
      if (ch.hop >= hop_size) {
        ch.hop = 0;
        due = true;
      }
    }
    if (due) {
      const Controls controls = read_controls(self);
      if constexpr (channels == 2) {
        frame_pair(self->channel, channel_of(self, 1), controls);
      } else {
        frame<coherent>(self->channel, controls);
      }
      if constexpr (plugin.state) {
        publish<channels, coherent>(self, true); // for save(), which may come from another thread
      }
      if constexpr (plugin.ui) { // what the window and the strip show, read from the frame
        Channel *const chs[2] = {&self->channel, &channel_of(self, channels - 1)};
        display_frame<channels, coherent>(display_of(self), chs, controls, done - 1);
      }
    }
  }
}

template <uint32_t which> void run(LV2_Handle handle, uint32_t sample_count) {
  process<which>(static_cast<Instance *>(handle), sample_count);
}

// The inline display's picture (plugin/spectrum.hpp), drawn by the host's GUI thread.
template <uint32_t which>
InlineSurface *render_inline(LV2_Handle handle, uint32_t w, uint32_t max_h) {
  return render_display(display_of(static_cast<Instance *>(handle)), w, max_h);
}
template <uint32_t which> constexpr InlineDisplayInterface inline_display = {render_inline<which>};

template <uint32_t which> const void *extension(const char *uri) {
  constexpr const PluginInfo &plugin = plugin_table[which];
  if (!strcmp(uri, QUORVANE_INLINE_DISPLAY "#interface")) {
    return &inline_display<which>;
  }
  return plugin.state ? state_extension<plugin.channels, plugin.coherent>(uri) : nullptr;
}

template <uint32_t which> constexpr LV2_Descriptor describe() {
  constexpr const PluginInfo &plugin = plugin_table[which];
  return {plugin.uri,
          inst<which>,
          conn<which>,
          nullptr,
          run<which>,
          nullptr,
          clean,
          plugin.ui      ? extension<which>
          : plugin.state ? state_extension<plugin.channels, plugin.coherent>
                         : nullptr};
}

template <uint32_t... which>
constexpr auto describe_all(std::integer_sequence<uint32_t, which...>) {
  return std::array<LV2_Descriptor, sizeof...(which)>{describe<which>()...};
}

// The library's plugins, in the table's order.
constexpr auto desc = describe_all(std::make_integer_sequence<uint32_t, plugin_table_size>());

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor *lv2_descriptor(uint32_t index) {
  return index < desc.size() ? &desc[index] : nullptr;
}
