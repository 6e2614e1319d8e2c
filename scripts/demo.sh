#!/usr/bin/env bash
# Renders a generated musical phrase through quorvane with quorvane-render, a
# real LV2 host on lilv, under several settings that move over time, and
# writes each result as a WAV and a spectrogram PNG beside the dry ones in
# out/demo/. Nothing is downloaded: sox synthesises the source.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/demo.sh (see the output above)" >&2' ERR

scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j "$(nproc)" >/dev/null

out=out/demo
mkdir -p "$out"
render=build/render/quorvane-render
export LV2_PATH=$PWD/build/lv2

# The source: a phrase of plucked notes over a low A and a noise bed.
scripts/phrase.sh "$out/dry.wav" -b 24

# 0 to 8 kHz, where the phrase lives. -V1: sox only warns that libsndfile's
# float WAV header is the short form, which it reads correctly.
spectrogram() { # WAV TITLE
  sox -V1 "$1" -n rate 16k spectrogram -x 640 -y 257 -z 90 -t "$2" -o "${1%.wav}.png"
}

# 0 to 500 Hz: fine enough to show a comb filter's notches, 46.9 Hz apart.
spectrogram_low() { # WAV TITLE
  sox -V1 "$1" -n rate 1k spectrogram -x 640 -y 257 -z 90 -t "$2" -o "${1%.wav}.png"
}

render() { # NAME TITLE SETTINGS... (the source is $dry, the phrase unless set)
  local name=$1 title=$2; shift 2
  "$render" "${dry:-$out/dry.wav}" "$out/$name.wav" "$@"
  ${spectrogram:-spectrogram} "$out/$name.wav" "$title"
  echo "  $out/$name.wav  $out/$name.png"
}

echo "Rendering through http://quorvane.audio/lv2/quorvane:"
spectrogram "$out/dry.wav" "dry: the source"
echo "  $out/dry.wav  $out/dry.png"
render neutral "neutral settings: the source, 1024 samples late"
render freeze "freeze on at 2.5 s, off at 4.5 s" freeze=1@2.5s freeze=0@4.5s
blur_sweep=()
for i in $(seq 0 24); do
  blur_sweep+=("blur=$(awk -v i="$i" 'BEGIN { printf "%.4f", i / 24 }')@$(awk -v i="$i" 'BEGIN { printf "%.3f", i * 0.24 }')s")
done
render blur-sweep "blur swept from 0 to 1" "${blur_sweep[@]}"
render shift-up "shift +0.0625: 8 bins (375 Hz) up" shift=0.0625
render shift-down "shift -0.0625: 8 bins (375 Hz) down" shift=-0.0625
render gate "threshold 0.05: the noise bed gated away" threshold=0.05
render frozen-shimmer "freeze at 1.5 s, then shifted up, blurred, mixed in" \
  mix=0.5 freeze=1@1.5s shift=0.125@2.5s blur=0.3@3.5s mix=1@4.5s
render preset-shimmer "preset Shifted shimmer" --preset "Shifted shimmer"

# Half dry, half processed, everything else neutral: through quorvane the two
# are 1024 samples apart and comb; quorvane aligned delays the dry signal to
# meet the processed one, reports the delay, and the renderer compensates it.
echo "Half mix through both plugins (0 to 500 Hz):"
spectrogram=spectrogram_low render half-mix "quorvane, mix 0.5: dry and processed 1024 samples apart comb" mix=0.5
spectrogram=spectrogram_low render half-mix-aligned "quorvane aligned, mix 0.5: in step, no comb" --aligned mix=0.5

# Freeze and shift, quorvane against quorvane coherent (0 to 2 kHz). A
# sustained chord frozen at 1 s: quorvane repeats one block every 256
# samples, so the held sound sits on a 187.5 Hz grid; the coherent one holds
# the notes. A held tone with the shift swept slowly from 0 to 16 bins up:
# quorvane's level pumps with every bin that is not a multiple of four; the
# coherent one's stays.
spectrogram_mid() { # WAV TITLE
  sox -V1 "$1" -n rate 4k spectrogram -x 640 -y 257 -z 90 -t "$2" -o "${1%.wav}.png"
}
sox -q -r 48000 -n -b 24 "$out/chord.wav" synth 6 sine C4 sine E4 sine G4 sine C5 \
  remix - fade 0.05 6 0.3 norm -3
sox -q -r 48000 -n -b 24 "$out/tone.wav" synth 6 sine 440 fade 0.05 6 0.3 norm -3
sweep=()
for i in $(seq 0 16); do
  sweep+=("shift=$(awk -v i="$i" 'BEGIN { printf "%.6f", i / 128 }')@$(awk -v i="$i" 'BEGIN { printf "%.3f", 0.5 + i * 0.3 }')s")
done
echo "Freeze and shift through quorvane and quorvane coherent (0 to 2 kHz):"
coherent=(--uri http://quorvane.audio/lv2/quorvane-coherent)
for plugin in quorvane coherent; do
  opts=()
  [ "$plugin" = coherent ] && opts=("${coherent[@]}")
  dry=$out/chord.wav spectrogram=spectrogram_mid render "frozen-chord-$plugin" \
    "$plugin: C major chord frozen at 1 s" "${opts[@]}" freeze=1@1s
  dry=$out/tone.wav spectrogram=spectrogram_mid render "shift-sweep-$plugin" \
    "$plugin: 440 Hz, shift swept 0 to 16 bins up" "${opts[@]}" "${sweep[@]}"
done
# A low chord (E2 A2 C#3 E3 G3) struck at 1 s after a dying C major chord,
# the freeze pressed at the strike; then the same hold blurred from 4 s.
sox -q -r 48000 -n -b 24 "$out/before.wav" synth 1 sine C4 sine E4 sine G4 remix - fade 0 1 0.05 norm -12
sox -q -r 48000 -n -b 24 "$out/low.wav" synth 6 sine E2 sine A2 sine C#3 sine E3 sine G3 \
  remix - fade 0 6 2 norm -6
sox -q "$out/before.wav" "$out/low.wav" "$out/strike.wav"
echo "A low chord frozen at its strike, then blurred (0 to 500 Hz):"
for plugin in quorvane coherent; do
  opts=()
  [ "$plugin" = coherent ] && opts=("${coherent[@]}")
  dry=$out/strike.wav spectrogram=spectrogram_low render "strike-$plugin" \
    "$plugin: low chord struck at 1 s, frozen at the strike" "${opts[@]}" freeze=1@1s
  dry=$out/strike.wav spectrogram=spectrogram_low render "blurred-hold-$plugin" \
    "$plugin: frozen at the strike, blur 0.6 from 4 s" "${opts[@]}" freeze=1@1s blur=0.6@4s
done
# A stereo pad: a chord whose notes sit at different places between the
# speakers, frozen at 1 s through quorvane coherent stereo, which holds both
# channels as one; the held sound's left/right correlation is printed beside
# the input's, over the second half of each (the hold, and the sustain).
correlation() { # WAV: Pearson's r of left and right, from 3 s on
  sox -V1 "$1" -t dat - trim 3 | awk '!/^;/ { n++; l += $2; r += $3; ll += $2 * $2; rr += $3 * $3; lr += $2 * $3 }
    END { c = n * lr - l * r; d = sqrt((n * ll - l * l) * (n * rr - r * r)); printf "%.3f", (d > 0 ? c / d : 0) }'
}
sox -q -r 48000 -n -b 24 "$out/pad-left.wav" synth 6 sine A3 sine E4 sine C5 remix - \
  fade 0.05 6 0.3 norm -4
sox -q -r 48000 -n -b 24 "$out/pad-right.wav" synth 6 sine A3 sine C4 sine E4 remix - \
  fade 0.05 6 0.3 norm -4
sox -q -M "$out/pad-left.wav" "$out/pad-right.wav" "$out/stereo-pad.wav"
echo "A stereo pad through quorvane coherent stereo (0 to 2 kHz, left above right):"
dry=$out/stereo-pad.wav spectrogram=spectrogram_mid render stereo-pad-frozen \
  "coherent stereo: a pad frozen at 1 s" --plugin coherent-stereo freeze=1@1s
echo "  L/R correlation: input $(correlation "$out/stereo-pad.wav"), held $(correlation "$out/stereo-pad-frozen.wav")"
echo "Done: WAVs and spectrograms are in $out/"
