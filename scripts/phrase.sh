#!/usr/bin/env bash
# Synthesises the demo phrase with sox: an A-minor phrase of plucked notes,
# one every 0.4 s, over a low A and a soft noise bed (the noise is what the
# gate takes away). 6 s, 48 kHz, mono. Nothing is downloaded.
#   scripts/phrase.sh OUTPUT [SOX OUTPUT OPTIONS...]   e.g. -b 24, or -t f32
set -euo pipefail
out=${1:?usage: phrase.sh OUTPUT [SOX OUTPUT OPTIONS...]}
shift
notes=(A3 C4 E4 A4 G4 E4 D4 C4 E4 A4)
tones=() delays=()
for i in "${!notes[@]}"; do
  tones+=(pluck "${notes[$i]}")
  delays+=("$(awk -v i="$i" 'BEGIN { printf "%.1f", 0.3 + 0.4 * i }')")
done
sox -q -r 48000 -c $((${#notes[@]} + 2)) -n "$@" "$out" \
  synth 6 "${tones[@]}" sine A1 brownnoise \
  delay "${delays[@]}" 0 0 \
  remix - vol 0.4 fade 0.01 6 0.8 norm -3
