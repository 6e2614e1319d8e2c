#!/usr/bin/env bash
# Cross-builds quorvane and its whole test suite for 64-bit Arm Linux and for
# 32-bit Arm hard-float (armhf, ARMv6 code for every Raspberry Pi) and runs
# the tests under qemu-user. Installs what it needs first: the cross
# compilers, qemu, and the Arm builds of the test libraries (Debian
# multiarch).
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/test-arm.sh (see the output above)" >&2' ERR

scripts/deps.sh qemu-user \
  g++-aarch64-linux-gnu libc6:arm64 libstdc++6:arm64 \
  liblilv-dev:arm64 libgtest-dev:arm64 libsndfile1-dev:arm64 \
  g++-arm-linux-gnueabihf libc6:armhf libstdc++6:armhf \
  liblilv-dev:armhf libgtest-dev:armhf libsndfile1-dev:armhf
jobs=$(nproc)

# build directory, toolchain, and what readelf -h must say of the plugin, so
# that a misconfigured toolchain cannot pass by running the host's build.
for target in "build-arm aarch64-linux-gnu AArch64" "build-armhf arm-linux-gnueabihf ARM$"; do
  read -r build triplet machine <<<"$target"
  echo "== $triplet"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="cmake/$triplet.cmake"
  cmake --build "$build" -j "$jobs"
  readelf -h "$build/lv2/quorvane.lv2/quorvane.so" | grep -q "Machine: *$machine" \
    || { echo "error: $build did not produce a $triplet plugin" >&2; exit 1; }
  ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs"
done
echo "All tests passed on aarch64 and armhf (qemu-user)."
