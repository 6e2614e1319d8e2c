#!/usr/bin/env bash
# Times quorvane as a host sees it: fresh streams (white noise, a music-like
# signal, the demo phrase) through the built library against the floor of
# their frames and the plain model (stream_bench, the headline figures); then
# single-frame diagnostics (Google Benchmark) and lilv's lv2bench; with
# --callgrind, instruction counts under valgrind.
# Arguments --benchmark_* go to the single-frame diagnostics, the others to
# stream_bench (--rounds N, --seconds S, --only TEXT, --baseline LIB).
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/bench.sh (see the output above)" >&2' ERR

callgrind=0
stream_args=() frame_args=()
for a in "$@"; do
  case "$a" in
  --callgrind) callgrind=1 ;;
  --benchmark_*) frame_args+=("$a") ;;
  *) stream_args+=("$a") ;;
  esac
done

scripts/deps.sh libbenchmark-dev valgrind
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target quorvane stream_bench frame_bench >/dev/null

# The phrase of scripts/demo.sh, as raw 32-bit floats (6 s; the benchmark
# repeats it up to the stream length).
phrase=build/bench/demo-phrase.f32
scripts/phrase.sh "$phrase" -t f32

build/bench/stream_bench --demo "$phrase" ${stream_args[@]+"${stream_args[@]}"}
echo
build/bench/frame_bench ${frame_args[@]+"${frame_args[@]}"}

uri=http://quorvane.audio/lv2/quorvane
echo
echo "lv2bench, the whole plugin as a host runs it (block size, frames, seconds):"
LV2_PATH=$PWD/build/lv2 lv2bench -f "$uri"

if [ "$callgrind" = 1 ]; then
  out=$(mktemp)
  valgrind --tool=callgrind --callgrind-out-file="$out" build/bench/frame_bench --profile \
    >/dev/null 2>&1
  echo
  echo "Instructions for 100 live neutral frames (callgrind, inclusive):"
  callgrind_annotate --inclusive=yes "$out" | grep -E 'profile_(fast|plain|floor)' | head -3
  rm -f "$out"
fi
