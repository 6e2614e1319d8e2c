#!/usr/bin/env bash
# Makes the two moves of docs/architecture.md's checklists in a scratch copy
# of the working tree, as a contributor would, and checks that each step
# fails or works as the checklists say:
#   1. a misspelt trait, or WHEN word, stops configure and names the word;
#   2. add a control: its row before a port that released plugins have
#      stops the build; its row at the end alone stops the build, naming
#      the port; with its case in use_of() and its value in each preset, the
#      library and the tests build and pass;
#   3. add a plugin: one quorvane_plugin() line, here with a new trait that
#      takes freeze away (WHEN NOT TRIAL), and the Turtle, the descriptors,
#      the presets that fit it and the tests over every plugin follow.
# Builds only the library and the two test programs that cover the moves,
# in a directory of its own that it removes afterwards.
# Usage: scripts/try-moves.sh [SOURCE_DIR]   (default: this checkout)
set -euo pipefail
src=$(cd "${1:-$(dirname "$0")/..}" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-moves.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
jobs=$(nproc)

step() { printf '== %s\n' "$*"; }
fail() {
  printf 'FAILED: %s\n' "$*" >&2
  exit 1
}
# must_fail PATTERN COMMAND...: COMMAND must fail, saying PATTERN.
must_fail() {
  local expect=$1 out
  shift
  if out=$("$@" 2>&1); then
    fail "$* succeeded; expected it to stop with: $expect"
  fi
  grep -qE "$expect" <<<"$out" || {
    printf '%s\n' "$out" | tail -20 >&2
    fail "$* failed without saying: $expect"
  }
}

# The working tree as it stands, uncommitted changes included, without builds.
git -C "$src" ls-files -z --cached --others --exclude-standard |
  (cd "$src" && tar --null -T - -cf -) | tar -xf - -C "$scratch"
cd "$scratch"
configure() { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null; }
build() { cmake --build build -j "$jobs" --target "$@" >/dev/null; }

step "a misspelt trait or WHEN word stops configure"
cp bundle/plugins.cmake plugins.cmake.orig
sed -i '0,/COHERENT BYPASS/s//COHERNET BYPASS/' bundle/plugins.cmake
must_fail 'unknown words COHERNET' configure
cp plugins.cmake.orig bundle/plugins.cmake
cp bundle/ports.cmake ports.cmake.orig
sed -i 's/WHEN LATENCY/WHEN LATENCYY/' bundle/ports.cmake
must_fail 'unknown word LATENCYY' configure
cp ports.cmake.orig bundle/ports.cmake

step "add a control: a row before existing ports stops the build"
cat >trim.cmake <<'EOF'
quorvane_port(trim CONTROL_IN
  NAME "Trim" DEFAULT 1.0 MINIMUM 0.0 MAXIMUM 2.0
  COMMENT "A control added by scripts/try-moves.sh.")
EOF
grep -q '^quorvane_port(latency ' bundle/ports.cmake || fail "ports.cmake has no latency row"
sed -i '/^quorvane_port(latency /e cat trim.cmake' bundle/ports.cmake
configure
must_fail "released plugin's ports moved" build quorvane

step "add a control: its row at the end alone stops the build, naming it"
cp ports.cmake.orig bundle/ports.cmake
cat trim.cmake >>bundle/ports.cmake
configure
must_fail "TRIM.* not handled in switch" build quorvane

step "add a control: its place in use_of() and the presets"
grep -q '^  case Role::MIX:$' plugin/quorvane.cpp || fail "use_of() has no 'case Role::MIX:' line"
sed -i 's/^  case Role::MIX:$/  case Role::TRIM:\n&/' plugin/quorvane.cpp
sed -i 's/^\t\] \.$/\t] , [\n\t\tlv2:symbol "trim" ;\n\t\tpset:value 1.0\n\t] ./' bundle/presets.ttl.in
sed -i 's/{"threshold", [-0-9.f]*}/&, {"trim", 1}/' tests/test_lilv_host.cpp

step "add a plugin: its line, and a trait for what is new (no freeze)"
grep -q '^set(quorvane_traits LATENCY COHERENT BYPASS STATE' bundle/CMakeLists.txt ||
  fail "bundle/CMakeLists.txt does not list the traits as expected"
sed -i 's/^set(quorvane_traits LATENCY COHERENT BYPASS STATE/& TRIAL/' bundle/CMakeLists.txt
sed -i 's/^  bool state; .*$/&\n  bool trial;/' bundle/quorvane_table.hpp.in
grep -q '^  bool trial;$' bundle/quorvane_table.hpp.in || fail "PluginInfo has no 'bool state;' line"
sed -i '0,/^quorvane_port(freeze CONTROL_IN$/s//quorvane_port(freeze CONTROL_IN WHEN NOT TRIAL/' \
  bundle/ports.cmake
grep -q 'WHEN NOT TRIAL' bundle/ports.cmake || fail "no freeze row to condition"
cat >>bundle/plugins.cmake <<'EOF'
quorvane_plugin(quorvane-moved-plain TRIAL BYPASS CHANNELS 1
  NAME "quorvane moved plain" LABEL "Moved Plain"
  SUMMARY "A plugin added by scripts/try-moves.sh"
  COMMENT [[A plugin added by scripts/try-moves.sh, without freeze.]])
EOF
configure
build quorvane quorvane_tests quorvane_lilv_tests
grep -q 'quorvane-moved-plain#smeared-wash' build/lv2/quorvane.lv2/manifest.ttl ||
  fail "the plugin without freeze has no copy of a preset that only resets freeze"
if grep -A8 'quorvane-moved-plain>' build/lv2/quorvane.lv2/quorvane.ttl |
  grep -q '"freeze"'; then
  fail "the plugin without freeze has a freeze port"
fi

step "the tests over every plugin and port"
build/tests/quorvane_lilv_tests --gtest_brief=1 || fail "the lilv tests after both moves"
build/tests/quorvane_tests --gtest_brief=1 --gtest_filter='Ports.*:Reference*:Model*:*Twin*:Bypass*' ||
  fail "the library's tests after both moves"
step "both moves work as docs/architecture.md says"
