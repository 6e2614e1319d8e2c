#!/usr/bin/env bash
# Cross-builds quorvane and its whole test suite for 64-bit Arm Linux and for
# 32-bit Arm hard-float (armhf, ARMv6 code for every Raspberry Pi) and runs
# the tests under qemu-user. The cross compilers, qemu and the Arm builds of
# the test libraries are in a root of their own (scripts/roots.sh), never
# installed on this machine; the builds land in build-arm/ and build-armhf/
# of this tree as before. Needs root (or sudo) for the root.
#
#   scripts/test-arm.sh [--here]   (--here: already in such a root)
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/test-arm.sh (see the output above)" >&2' ERR

if [ "${1:-}" != --here ]; then
  scripts/deps.sh mmdebstrap
  source scripts/roots.sh
  arm_root scripts/test-arm.sh --here
  exit
fi
jobs=$(nproc)
# build directory, toolchain, what readelf -h must say of the plugin (so
# that a misconfigured toolchain cannot pass by running the host's build),
# and whether the renderer is built: not on armhf, where it is not shipped
# (the package is built without it), so its tests there would prove nothing
# that a user runs.
for target in "build-arm aarch64-linux-gnu AArch64 ON" "build-armhf arm-linux-gnueabihf ARM$ OFF"; do
  read -r build triplet machine render <<<"$target"
  echo "== $triplet"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUORVANE_RENDER="$render" \
    -DCMAKE_TOOLCHAIN_FILE="cmake/$triplet.cmake"
  cmake --build "$build" -j "$jobs"
  readelf -h "$build/lv2/quorvane.lv2/quorvane.so" | grep -q "Machine: *$machine" \
    || { echo "error: $build did not produce a $triplet plugin" >&2; exit 1; }
  ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs"
done
echo "All tests passed on aarch64 and armhf (qemu-user)."
