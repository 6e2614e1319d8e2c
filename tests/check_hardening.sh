#!/usr/bin/env bash
# Checks the hardening of the built plugin library:
#   check_hardening.sh <library> <compile_commands.json> [readelf] [nm]
# Full RELRO with immediate binding, no executable stack, no text
# relocations, a stack protector, fortify, and one exported symbol.
set -euo pipefail
lib=$1
commands=$2
readelf=${3:-readelf} # the toolchain's own, for a cross build
nm=${4:-nm}
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }

headers=$("$readelf" -lW "$lib")
dynamic=$("$readelf" -dW "$lib")

grep -q 'GNU_RELRO' <<<"$headers" || bad "no GNU_RELRO segment"
grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" || bad "not linked with -z now"
stack=$(grep 'GNU_STACK' <<<"$headers" || true)
[ -n "$stack" ] || bad "no GNU_STACK header (the stack would default to executable)"
grep -q 'RWE' <<<"$stack" && bad "executable stack: $stack"
grep -q 'TEXTREL' <<<"$dynamic" && bad "text relocations present"

# Exported: defined dynamic symbols. Only the LV2 entry point may be there.
exported=$("$nm" -D --defined-only "$lib" | awk '{print $3}' | sort)
[ "$exported" = "lv2_descriptor" ] || bad "exported symbols are not just lv2_descriptor: $(echo $exported)"

# The stack protector leaves a reference to __stack_chk_fail in any function
# with a local array (the frame's accumulator is one), so it must be there.
"$nm" -D --undefined-only "$lib" | grep -q '__stack_chk_fail' \
  || bad "no __stack_chk_fail reference: stack protector not in effect"

# _FORTIFY_SOURCE leaves no mark when every checked call has a size known at
# compile time (the library's memcpy calls all copy fixed-size arrays into
# arrays of that size, which the compiler checks and turns into plain copies),
# so the compile command that built the library is checked instead.
command=$(grep -F '"command"' "$commands" | grep -F 'plugin/quorvane.cpp' || true)
[ -n "$command" ] || bad "no compile command for plugin/quorvane.cpp in $commands"
grep -q -- '-D_FORTIFY_SOURCE=2' <<<"$command" || bad "not compiled with -D_FORTIFY_SOURCE=2"
grep -Eq -- ' -O[123s]' <<<"$command" || bad "not optimised, so fortify has no effect"
grep -q -- '-fstack-protector-strong' <<<"$command" || bad "not compiled with -fstack-protector-strong"
grep -q -- '-ffp-contract=off' <<<"$command" || bad "compiled without -ffp-contract=off"
# Any fortified call whose size is not known at compile time becomes a
# __*_chk call; an unfortified one of those would show up as plain.
chk=$("$nm" -D --undefined-only "$lib" | grep -c '_chk$' || true)
if [ $fail -ne 0 ]; then
  echo "hardening check failed for $lib" >&2
  exit 1
fi
echo "hardening ok: RELRO+NOW, non-exec stack, no TEXTREL, stack protector, fortify;" \
  "exports: $exported; fortified calls: $chk"
