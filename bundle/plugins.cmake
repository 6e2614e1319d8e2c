# The plugins of the bundle, one call each: the last segment of the URI, the
# name hosts show, LATENCY when the dry signal is delayed too and the delay is
# reported on port 7, a one-line summary, and the help text hosts show.
# Ports, version, manifest and the presets' lv2:appliesTo follow from this list.

quorvane_plugin(quorvane
  NAME "quorvane"
  SUMMARY "Spectral freeze, blur, shift and gate"
  COMMENT [[A mono spectral effect. Every 256 samples the latest 1024 input samples
are windowed and transformed; the spectrum can be frozen, blurred across
frequency, shifted by whole bins and gated against its own peak, then it is
resynthesised and mixed with the dry input. The processed signal is 1024
samples late and the dry one is not: this delay is part of the sound and is
not reported to the host. For a track that must stay in time with others, or
to blend dry and processed without a comb filter, use quorvane aligned.]])

quorvane_plugin(quorvane-aligned LATENCY
  NAME "quorvane aligned"
  SUMMARY "Spectral freeze, blur, shift and gate, in time with the track"
  COMMENT [[The spectral freeze, blur, shift and gate of quorvane, for a DAW:
the dry signal is delayed by the same 1024 samples as the processed one and
that latency is reported, so the host compensates and the track stays in
time with the others, and any mix of dry and processed is clean rather than
a comb filter. Choose the plain quorvane where the 21 ms offset (at 48 kHz)
is part of the sound or does not matter, as live.]])
