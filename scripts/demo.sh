#!/usr/bin/env bash
# Renders a short generated sound through quorvane in a real LV2 host
# (lilv's lv2apply) with a few settings, and writes the WAVs to out/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/demo.sh (see the output above)" >&2' ERR

scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j "$(nproc)" >/dev/null

out=out/demo
mkdir -p "$out"
uri=http://quorvane.audio/lv2/quorvane
export LV2_PATH=$PWD/build/lv2

# A plucked minor chord and a falling sweep: tones to freeze, blur and shift.
sox -q -n -r 48000 -c 1 -b 24 "$out/dry.wav" \
  synth 4 pluck A2 pluck C4 pluck E4 pluck A4 sine 2000-300 \
  remix 1 fade 0 4 0.5 norm -3

render() {
  local name=$1; shift
  lv2apply -i "$out/dry.wav" -o "$out/$name.wav" "$@" "$uri"
  echo "  $out/$name.wav"
}
echo "Rendering through $uri:"
render neutral
render freeze -c freeze 1
render blur -c blur 0.6
render shift-up -c shift 0.25
render shift-down -c shift -0.25
render gate -c threshold 0.2
render half-mix -c mix 0.5 -c blur 1
echo "Done: dry and processed WAVs are in $out/"
