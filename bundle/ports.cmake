# Every port any plugin of the bundle can have, in the order they take their
# indices. A plugin has the rows whose WHEN it meets, numbered from 0 in this
# order. WHEN is a list of words that must all hold: MONO or STEREO (by the
# plugin's channels) and the traits of bundle/plugins.cmake (LATENCY,
# COHERENT, BYPASS, STATE), each of which may follow NOT; no WHEN, every
# plugin. Any other word stops configure. The released plugins' ports are
# pinned in plugin/ports.hpp, as saved sessions know them: a new port goes at
# the end, after every port that an existing plugin already has.
#
# quorvane_port(SYMBOL KIND NAME name [WHEN word...] [DEFAULT d MINIMUM lo
#   MAXIMUM hi] [GROUP group DESIGNATION designation] [TTL turtle] COMMENT text)
# KIND is AUDIO_IN, AUDIO_OUT, CONTROL_IN or CONTROL_OUT. A control input
# that is absent (unconnected, NaN or infinite) reads as its DEFAULT, and a
# present one is clamped to MINIMUM..MAXIMUM: the plugin reads the same
# table as the host. TTL is any further Turtle of the port, as it stands.
# Comments ending in @out_comment@ take the plugin's own text. Each port
# needs its place in use_of() (plugin/quorvane.cpp): the build stops until
# it has one. Which index each plugin gives each port is listed, after
# configure, in build/generated/quorvane_table.hpp (plugin_table[].ports)
# and in each plugin's Turtle (build/lv2/quorvane.lv2/quorvane.ttl).

quorvane_port(in AUDIO_IN WHEN MONO
  NAME "In" GROUP input DESIGNATION pg:center
  COMMENT "Mono input signal.")
quorvane_port(in_l AUDIO_IN WHEN STEREO
  NAME "In L" GROUP stereo-input DESIGNATION pg:left
  COMMENT "Left input signal.")
quorvane_port(in_r AUDIO_IN WHEN STEREO
  NAME "In R" GROUP stereo-input DESIGNATION pg:right
  COMMENT "Right input signal.")
quorvane_port(out AUDIO_OUT WHEN MONO
  NAME "Out" GROUP output DESIGNATION pg:center
  COMMENT "Mono output: @out_comment@")
quorvane_port(out_l AUDIO_OUT WHEN STEREO
  NAME "Out L" GROUP stereo-output DESIGNATION pg:left
  COMMENT "Left output: @out_comment@")
quorvane_port(out_r AUDIO_OUT WHEN STEREO
  NAME "Out R" GROUP stereo-output DESIGNATION pg:right
  COMMENT "Right output: @out_comment@")

quorvane_port(freeze CONTROL_IN
  NAME "Freeze" DEFAULT 0 MINIMUM 0 MAXIMUM 1
  TTL "lv2:portProperty lv2:toggled ,\n\t\t\tlv2:integer"
  COMMENT "Turning it on captures the current spectrum and replays it for as long as it stays on; blur, shift and threshold still act on the held sound.")
quorvane_port(mix CONTROL_IN
  NAME "Mix" DEFAULT 1.0 MINIMUM 0.0 MAXIMUM 1.0
  COMMENT "Proportion of processed signal in the output: 0 is the dry input alone, 1 the processed signal alone.")
# Mix, blur, shift and threshold are proportions (of the processed signal,
# of the widest smear, a 33-bin mean, of the largest shift, 128 bins, of the
# frame's peak), neither bins nor hertz, since a bin's width depends on the
# sample rate: they carry no unit. (units:coef would not say more, and hosts
# show it as a "*" before the value.)
quorvane_port(blur CONTROL_IN
  NAME "Blur" DEFAULT 0.0 MINIMUM 0.0 MAXIMUM 1.0
  COMMENT "Smears the magnitude spectrum across frequency, from a 3-bin mean just above 0 to a 33-bin mean at 1. On the coherent plugins it spreads each partial into a band of noise; on quorvane and quorvane aligned it mostly lowers the level. 0 is off.")
quorvane_port(shift CONTROL_IN
  NAME "Shift" DEFAULT 0.0 MINIMUM -1.0 MAXIMUM 1.0
  TTL "pprop:rangeSteps 257"
  COMMENT "Moves the whole spectrum by whole bins, -1 for 128 bins down to 1 for 128 bins up; one bin is the sample rate divided by 1024, so the shift is a fixed number of hertz, not an interval.")
quorvane_port(threshold CONTROL_IN
  NAME "Threshold" DEFAULT 0.0 MINIMUM 0.0 MAXIMUM 1.0
  COMMENT "Spectral gate: silences every bin weaker than this fraction of the frame's strongest bin. 0 is off; 1 keeps only the strongest.")

# jalv 1.6 (Debian 12, Raspberry Pi OS bookworm, Zynthian) finds the latency
# port by lv2:reportsLatency only; newer hosts by the designation.
quorvane_port(latency CONTROL_OUT WHEN LATENCY
  NAME "Latency" DEFAULT 1024 MINIMUM 0 MAXIMUM 1024
  TTL "lv2:designation lv2:latency ;\n\t\tlv2:portProperty lv2:reportsLatency ,\n\t\t\tlv2:integer ,\n\t\t\tpprop:notOnGUI ;\n\t\tunits:unit units:frame"
  COMMENT "How far the output lags the input, in samples: always 1024. Hosts read it to compensate.")
# The host's bypass: off passes the input through at the plugin's latency,
# so an aligned plugin stays in time either way.
quorvane_port(enabled CONTROL_IN WHEN BYPASS
  NAME "Enabled" DEFAULT 1 MINIMUM 0 MAXIMUM 1
  TTL "lv2:designation lv2:enabled ;\n\t\tlv2:portProperty lv2:toggled ,\n\t\t\tlv2:integer"
  COMMENT "On (1) the plugin processes; off (0) it passes the input through, delayed by its reported latency, crossfading over one hop.")

# The plugin window's line to the plugin (ui/, plugin/spectrum.hpp): the
# window says on `control` that it listens, and the plugin sends it a
# reduced spectrum on `notify` while it does. Both may stay unconnected.
quorvane_port(control ATOM_IN WHEN UI
  NAME "Control"
  TTL "atom:bufferType atom:Sequence ;\n\t\tatom:supports atom:Object ;\n\t\tlv2:designation lv2:control ;\n\t\tlv2:portProperty lv2:connectionOptional"
  COMMENT "Messages from the plugin window: whether it is open and listening.")
quorvane_port(notify ATOM_OUT WHEN UI
  NAME "Notify"
  TTL "atom:bufferType atom:Sequence ;\n\t\tatom:supports atom:Object ;\n\t\tlv2:designation lv2:control ;\n\t\tlv2:portProperty lv2:connectionOptional ;\n\t\trsz:minimumSize 8192"
  COMMENT "The spectrum for the plugin window: 128 bands of the input, the output and what is held, about 30 times a second while the window listens.")
