#!/usr/bin/env bash
# The test suite again under sanitizers, and a bounded fuzzing run:
#   build-asan: every test with AddressSanitizer + UndefinedBehaviorSanitizer
#               (the plugin module and the test executables alike);
#   build-tsan: the many-threads test under ThreadSanitizer;
#   build-fuzz: the libFuzzer host (clang), run for QUORVANE_FUZZ_SECONDS
#               (default 60) from the seed corpus in tests/fuzz/corpus, on
#               the plugin compiled in, the reference, and build/'s library.
# Any report, crash or failed test makes it exit non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/test-sanitizers.sh (see the output above)" >&2' ERR

scripts/deps.sh libgtest-dev libbenchmark-dev sordi valgrind clang-14 libclang-rt-14-dev strace
jobs=$(nproc)
fuzz_seconds=${QUORVANE_FUZZ_SECONDS:-60}

# Reports end the process at once with a non-zero status; leaks are errors.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# Sanitizer runtimes and fortify both wrap the string functions; the
# sanitizer builds leave hardening to the normal build, which checks it.
configure() {
  local dir=$1 kind=$2 flags=$3
  shift 3
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_HARDEN=OFF \
    -DQUORVANE_SANITIZE="$kind" -DCMAKE_CXX_FLAGS="$flags -fno-omit-frame-pointer" "$@" >/dev/null
}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: whole suite"
configure build-asan address "-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all"
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer: instances on many threads"
configure build-tsan thread "-fsanitize=thread"
cmake --build build-tsan -j "$jobs" --target test_rt_threads
ctest --test-dir build-tsan --output-on-failure -L threads

echo "== libFuzzer (clang, ASan + UBSan): ${fuzz_seconds} s"
# The library of the normal build is fuzzed alongside the compiled-in copy:
# it is the one with GCC's AVX clones of the transforms.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs" --target quorvane
configure build-fuzz fuzz "" -DCMAKE_CXX_COMPILER=clang++-14 -DQUORVANE_FUZZ_SECONDS="$fuzz_seconds" \
  -DQUORVANE_FUZZ_LIBRARY="$PWD/build/lv2/quorvane.lv2/quorvane.so"
cmake --build build-fuzz -j "$jobs" --target fuzz_host
ctest --test-dir build-fuzz --output-on-failure -L fuzz
grep -E '^(Done [0-9]+ runs|stat::(number_of_executed_units|average_exec_per_sec|new_units_added))' \
  build-fuzz/Testing/Temporary/LastTest.log || true

echo "Sanitizer and fuzzing runs passed."
