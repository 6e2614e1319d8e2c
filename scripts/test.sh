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

# Each part's wall time, printed at the end, to see where the time goes.
start=$SECONDS
times=()
part() { # COMMAND...
  local t0=$SECONDS
  "$@"
  times+=("$(printf '%-58s %5d s' "$*" $((SECONDS - t0)))")
}
part cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
part cmake --build build -j "$jobs"
part ctest --test-dir build --output-on-failure --no-tests=error -j "$jobs"
part scripts/test-arm.sh
# The package proofs wait on downloads, dpkg and one emulated root per
# architecture, using little of the processors; the sanitizer builds use
# all of them. So the proofs run beside the sanitizer runs (they share
# nothing but build/'s library, which both only read), their output kept in
# build-roots/test-packages.log and shown when they end.
mkdir -p build-roots
packages_log=build-roots/test-packages.log
t0=$SECONDS
scripts/test-packages.sh >"$packages_log" 2>&1 &
packages=$!
part scripts/test-sanitizers.sh
status=0
wait $packages || status=$?
cat "$packages_log"
[ $status -eq 0 ] || { echo "FAILED: scripts/test-packages.sh (log above)" >&2; exit 1; }
times+=("$(printf '%-58s %5d s' "scripts/test-packages.sh (beside the sanitizers)" $((SECONDS - t0)))")

printf '  %s\n' "${times[@]}"
echo "All tests passed in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s."
