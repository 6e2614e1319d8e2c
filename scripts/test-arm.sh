#!/usr/bin/env bash
# Cross-builds quorvane and its whole test suite for 64-bit Arm Linux and runs
# the tests under qemu-user. Installs what it needs first: the cross compiler,
# qemu, and the arm64 builds of the test libraries (Debian multiarch).
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/test-arm.sh (see the output above)" >&2' ERR

scripts/deps.sh g++-aarch64-linux-gnu qemu-user libc6:arm64 libstdc++6:arm64 \
  liblilv-dev:arm64 libgtest-dev:arm64 libsndfile1-dev:arm64
jobs=$(nproc)
build=build-arm

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
cmake --build "$build" -j "$jobs"

# Make sure these really are Arm binaries, so a misconfigured toolchain
# cannot pass by running the host's build.
readelf -h "$build/lv2/quorvane.lv2/quorvane.so" | grep -q 'Machine:.*AArch64' \
  || { echo "error: $build did not produce an aarch64 plugin" >&2; exit 1; }

ctest --test-dir "$build" --output-on-failure -j "$jobs"
echo "All tests passed on aarch64 (qemu-user)."
