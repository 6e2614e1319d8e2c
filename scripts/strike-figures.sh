#!/usr/bin/env bash
# The strike, rate and stereo figures of docs/sound.md, before and now: the
# coherent plugins of commit 7397562 (before the freeze at the strike)
# against the current tree's, through bench/strike_bench on General MIDI
# notes rendered by fluidsynth. Writes the tables into docs/sound.md between
# its "strike-figures" markers and the spectrograms into docs/, and keeps the
# pictured holds as WAVs in build/strike-figures/wav. Deterministic: the same trees
# give the same tables and pictures. A few minutes on one core.
#
#   scripts/strike-figures.sh
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/strike-figures.sh (see the output above)" >&2' ERR

scripts/deps.sh libbenchmark-dev fluidsynth fluid-soundfont-gm

base=7397562
out=build/strike-figures
base_lib=$out/base/build/lv2/quorvane.lv2/quorvane.so
# The baseline: the library alone, built once from the commit's tree.
if [ ! -f "$base_lib" ]; then
  rm -rf "$out/base"
  mkdir -p "$out/base/src"
  git archive "$base" | tar -x -C "$out/base/src"
  cmake -S "$out/base/src" -B "$out/base/build" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DQUORVANE_RENDER=OFF >/dev/null
  cmake --build "$out/base/build" -j2 --target quorvane >/dev/null
fi
[ -f build/CMakeCache.txt ] ||
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j2 --target strike_bench >/dev/null

bench=(build/bench/strike_bench --before "$base_lib")
build/bench/strike_bench --check-pitch
rm -rf "$out/wav"
mkdir -p "$out/wav"
echo "strike table (48 kHz)"
"${bench[@]}" --press 0,10,30,100 --wav "$out/wav" >"$out/strike-seam.md"
awk -v a="$out/strike.md" -v b="$out/seam.md" 'NF == 0 { seam = 1; next } { print > (seam ? b : a) }' \
  "$out/strike-seam.md"
echo "rate table"
"${bench[@]}" --rate-table --wav "$out/wav" >"$out/rate.md"
echo "stereo table (48 and 96 kHz)"
"${bench[@]}" --stereo --rates 48000,96000 --press 0,10,30,60 --wav "$out/wav" >"$out/stereo.md"

# Each table replaces the lines between its markers in docs/sound.md:
# <!-- strike-figures: NAME --> ... <!-- strike-figures: end -->
for name in strike seam rate stereo; do
  awk -v name="$name" -v table="$out/$name.md" '
    $0 == "<!-- strike-figures: " name " -->" { print; while ((getline l < table) > 0) print l; skip = 1; next }
    skip && $0 == "<!-- strike-figures: end -->" { skip = 0 }
    !skip' docs/sound.md >"$out/sound.md"
  mv "$out/sound.md" docs/sound.md
done

# Spectrograms from 0.3 s before the press for 1.8 s, the press at 0.3 s.
# 257 rows: 0-1 kHz in 3.9 Hz rows (a bass note's fundamental shows) costs
# a 256 ms window, so what starts is drawn some 0.1 s early.
# WAV NAME TOP-HZ TITLE
kept=()
spectrogram() {
  kept+=("$out/wav/$1")
  sox -V1 "$out/wav/$1" -n trim 0.2 1.8 rate $(($3 * 2)) \
    spectrogram -x 600 -y 257 -z 90 -c "" -t "$4" -o "docs/strike-$2.png"
}
for when in before after; do
  what=$([ $when = before ] && echo "7397562" || echo "now")
  spectrogram piano-a1-48000-0ms-$when.wav piano-a1-$when 1000 \
    "piano A1, freeze at the note-on (0.3 s), 0-1 kHz ($what)"
  spectrogram nylon-guitar-e1-48000-10ms-$when.wav nylon-e1-$when 1000 \
    "nylon guitar E1, freeze 10 ms after the note-on (0.3 s), 0-1 kHz ($what)"
  spectrogram piano-a3-c4-e4-96000-0ms-$when.wav piano-chord-96k-$when 2000 \
    "piano A3 C4 E4 at 96 kHz, freeze at the note-on (0.3 s), 0-2 kHz ($what)"
  spectrogram stereo-piano-left-strings-right-48000-0ms-$when.wav stereo-$when 2000 \
    "piano left (above), strings right, freeze at the note-on (0.3 s), 0-2 kHz ($what)"
done
for w in "$out"/wav/*.wav; do # only the pictured ones are kept
  [[ " ${kept[*]} " == *" $w "* ]] || rm -f "$w"
done
echo "docs/sound.md and docs/strike-*.png written"
