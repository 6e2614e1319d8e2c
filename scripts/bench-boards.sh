#!/usr/bin/env bash
# Counts the instructions a hop executes on the boards' processors, under
# qemu-user: cross-builds the library for armhf (every Raspberry Pi) and
# aarch64 (64-bit Pi OS), in build-armhf/ and build-arm/ as scripts/test-arm.sh
# does, and runs bench/board_count there with our counting plugin
# (bench/qcount.c, built for this machine): every plugin of the library and
# the plain model side by side, 40 warm-up hops then 200 counted hops of
# noise plus a sawtooth, live with neutral controls, busy (blur 0.5, shift
# 0.1, threshold 0.05, mix 0.5) and frozen. Prints the counts per hop, the
# ratios to the model, the split by function and whether every output equals
# the model's. Counts are exact and the same on every run; they are not times
# (see docs/performance.md, "On the boards").
#
# Usage: scripts/bench-boards.sh [armhf] [aarch64]   (both when none is named)
# The raw counts stay in <build dir>/board-counts/.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/bench-boards.sh (see the output above)" >&2' ERR

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(armhf aarch64)

# In the root where scripts/test-arm.sh builds (scripts/roots.sh), whose
# build directories this shares, configured the same way.
if [ "${targets[0]}" != --here ]; then
  scripts/deps.sh mmdebstrap
  source scripts/roots.sh
  arm_root scripts/bench-boards.sh --here "${targets[@]}"
  exit
fi
targets=("${targets[@]:1}")
[ ${#targets[@]} -gt 0 ] || targets=(armhf aarch64)

for target in "${targets[@]}"; do
  case "$target" in
  armhf)
    build=build-armhf triplet=arm-linux-gnueabihf lanes=1
    qemu=(qemu-arm -cpu cortex-a7) loader=/lib/ld-linux-armhf.so.3 ;;
  aarch64)
    build=build-arm triplet=aarch64-linux-gnu lanes=4
    qemu=(qemu-aarch64 -cpu cortex-a72) loader=/lib/ld-linux-aarch64.so.1 ;;
  *) echo "error: unknown target $target (armhf or aarch64)" >&2; exit 2 ;;
  esac
  # The multiarch C library, as the toolchain files choose.
  if [ -e "$loader" ]; then qemu+=(-L /); else qemu+=(-L "/usr/$triplet"); fi

  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="cmake/$triplet.cmake" --no-warn-unused-cli >/dev/null
  nice -n 10 cmake --build "$build" -j "$(nproc)" --target board_count >/dev/null
  out=$build/board-counts
  mkdir -p "$out"
  cc -O2 -Wall -Wextra -fPIC -shared -fvisibility=hidden -o "$out/qcount.so" bench/qcount.c

  rm -f "$out/counts.txt"
  status=0
  "${qemu[@]}" -plugin "$PWD/$out/qcount.so,out=$PWD/$out/counts.txt" \
    "$build/bench/board_count" "$build/lv2/quorvane.lv2/quorvane.so" \
    "$build/lv2/quorvane.lv2" "$out/maps.txt" >"$out/segments.txt" || status=$?
  python3 bench/board_report.py "$target" "$lanes" "$triplet-nm" "$triplet-readelf" \
    "$out/segments.txt" "$out/counts.txt" "$out/maps.txt"
  echo
  if [ "$status" -ne 0 ]; then
    echo "error: on $target a plugin's output differs from the model's (see 'output == model')" >&2
    exit 1
  fi
done
