# The plugins of the library and the bundle, in lv2_descriptor's order, one
# call each: the last segment of the URI; LATENCY when the dry signal is
# delayed to meet the processed one and the delay is reported; COHERENT when
# freeze and shift correct the phases; BYPASS when the plugin has the host's
# bypass port `enabled`; STATE when it saves what it holds with the session;
# UI when it has the plugin window (ui/) and Ardour's inline display;
# CHANNELS (1 or 2); the name hosts show; a label of at most 16 characters
# for small screens (MOD's); a one-line summary and the help text hosts show.
# Any other word stops configure; a new trait is a word in quorvane_traits
# (bundle/CMakeLists.txt) and a field of PluginInfo
# (bundle/quorvane_table.hpp.in). Everything else follows from this list and
# bundle/ports.cmake: the Turtle, the descriptors and their ports in the
# library, each preset's appliesTo, the tests, the packages' descriptions and
# the archives' README. New plugins go at the end.

quorvane_plugin(quorvane CHANNELS 1
  NAME "quorvane" LABEL "Spectral"
  SUMMARY "Spectral freeze, blur, shift and gate"
  COMMENT [[A mono spectral effect. Every 256 samples the latest 1024 input samples
are windowed and transformed; the spectrum can be frozen, blurred across
frequency, shifted by whole bins and gated against its own peak, then it is
resynthesised and mixed with the dry input. The processed signal is 1024
samples late and the dry one is not: this delay is part of the sound and is
not reported to the host. For a track that must stay in time with others, or
to blend dry and processed without a comb filter, use quorvane aligned.]])

quorvane_plugin(quorvane-aligned LATENCY BYPASS STATE UI CHANNELS 1
  NAME "quorvane aligned" LABEL "Spectral Aligned"
  SUMMARY "Spectral freeze, blur, shift and gate, in time with the track"
  COMMENT [[The spectral freeze, blur, shift and gate of quorvane, for a DAW:
the dry signal is delayed by the same 1024 samples as the processed one and
that latency is reported, so the host compensates and the track stays in
time with the others, and any mix of dry and processed is clean rather than
a comb filter. Choose the plain quorvane where the 21 ms offset (at 48 kHz)
is part of the sound or does not matter, as live.]])

quorvane_plugin(quorvane-coherent COHERENT BYPASS STATE UI CHANNELS 1
  NAME "quorvane coherent" LABEL "Coherent"
  SUMMARY "Spectral freeze that holds the pitch, shift that keeps the level"
  COMMENT [[quorvane with its phases corrected. Freeze holds what was playing:
each partial keeps sounding at its own frequency, where quorvane repeats the
captured block every 256 samples, which buzzes on a grid of 187.5 Hz (at
48 kHz) whatever was held. Shift moves partials by whole bins at their full
level, where quorvane loses level on any shift that is not a multiple of four
bins. With freeze off and shift 0 it is quorvane, sample for sample. The dry
signal is not delayed; in a DAW use quorvane coherent aligned.]])

quorvane_plugin(quorvane-coherent-aligned COHERENT LATENCY BYPASS STATE UI CHANNELS 1
  NAME "quorvane coherent aligned" LABEL "Coherent Aligned"
  SUMMARY "Spectral freeze that holds the pitch, shift that keeps the level, in time with the track"
  COMMENT [[quorvane coherent for a DAW: a freeze that holds the pitch of what
was playing and a shift that keeps the level, with the dry signal delayed by
the same 1024 samples as the processed one and that latency reported, so the
host keeps the track in time and any mix of dry and processed is clean. With
freeze off and shift 0 it is quorvane aligned, sample for sample.]])

quorvane_plugin(quorvane-coherent-stereo COHERENT BYPASS STATE UI CHANNELS 2
  NAME "quorvane coherent stereo" LABEL "Coherent Stereo"
  SUMMARY "Spectral freeze that holds the pitch and the stereo image, shift that keeps the level"
  COMMENT [[quorvane coherent on a stereo pair. Each channel keeps its own
spectrum, but the held frequencies and the phase advances come from both
channels together, so a held sound keeps its place between the speakers
instead of drifting and turning. With freeze off and shift 0 each channel is
quorvane coherent's output of that channel, sample for sample. The dry
signal is not delayed; in a DAW use quorvane coherent aligned stereo.]])

quorvane_plugin(quorvane-coherent-aligned-stereo COHERENT LATENCY BYPASS STATE UI CHANNELS 2
  NAME "quorvane coherent aligned stereo" LABEL "Stereo Aligned"
  SUMMARY "Spectral freeze that holds the pitch and the stereo image, in time with the track"
  COMMENT [[quorvane coherent stereo for a DAW: the pair held as one, with the
dry signal delayed by the same 1024 samples as the processed one and that
latency reported, so the host keeps the track in time and any mix of dry and
processed is clean.]])
