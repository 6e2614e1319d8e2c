#!/usr/bin/env bash
# Builds quorvane and runs every test. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/test.sh (see the output above)" >&2' ERR

# chromium and its fonts for the MOD pedals' test; jackd2, jalv and the
# JACK headers (for the test's client) for the jalv test.
scripts/deps.sh libgtest-dev libbenchmark-dev sordi valgrind clang-tidy clang-format devscripts \
  chromium fonts-dejavu-core jackd2 jalv libjack-jackd2-dev
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
part scripts/test-packages.sh
part scripts/test-sanitizers.sh

printf '  %s\n' "${times[@]}"
echo "All tests passed in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s."
