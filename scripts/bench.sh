#!/usr/bin/env bash
# Times quorvane: one frame against its floor and against the plain model
# (Google Benchmark, ratios at the end), the whole plugin in lilv's lv2bench,
# and, with --callgrind, instruction counts under valgrind.
# Extra arguments go to the frame benchmark (e.g. --benchmark_filter=live).
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/bench.sh (see the output above)" >&2' ERR

callgrind=0
if [ "${1:-}" = "--callgrind" ]; then
  callgrind=1
  shift
fi

scripts/deps.sh libbenchmark-dev valgrind
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target quorvane frame_bench >/dev/null

build/bench/frame_bench "$@"

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
