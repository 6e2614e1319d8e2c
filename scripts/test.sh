#!/usr/bin/env bash
# Builds quorvane and runs every test. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/test.sh (see the output above)" >&2' ERR

# chromium, its fonts and python3 (the test's server) for the MOD pedals'
# test; jackd2, jalv and the JACK headers (for the test's client) for the
# jalv tests; Xvfb for the plugin window's; strace for the renderer's test
# of its syncs.
scripts/deps.sh libgtest-dev libbenchmark-dev sordi valgrind clang-tidy clang-format devscripts \
  chromium fonts-dejavu-core python3 jackd2 jalv libjack-jackd2-dev xvfb strace
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure --no-tests=error -j "$jobs"
scripts/test-arm.sh
scripts/test-packages.sh
scripts/test-sanitizers.sh

echo "All tests passed."
