#!/usr/bin/env bash
# Checks the hardening of the built plugin library or renderer:
#   check_hardening.sh <binary> <compile_commands.json> [readelf] [nm] [objects]
# Full RELRO with immediate binding, no executable stack, no text
# relocations, a stack protector, stack-clash probes, fortify, control-flow
# protection where the processor has it, and for a library one exported
# symbol. The compile commands checked are those that contain <objects>
# (default: the plugin's source).
set -euo pipefail
lib=$1
commands=$2
readelf=${3:-readelf} # the toolchain's own, for a cross build
nm=${4:-nm}
objects=${5:-plugin/quorvane.cpp}
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }

headers=$("$readelf" -lW "$lib")
dynamic=$("$readelf" -dW "$lib")
notes=$("$readelf" -nW "$lib")
undefined=$("$nm" -D --undefined-only "$lib")
machine=$("$readelf" -hW "$lib" | sed -n 's/^ *Machine: *//p')

grep -q 'GNU_RELRO' <<<"$headers" || bad "no GNU_RELRO segment"
grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" || bad "not linked with -z now"
stack=$(grep 'GNU_STACK' <<<"$headers" || true)
[ -n "$stack" ] || bad "no GNU_STACK header (the stack would default to executable)"
grep -q 'RWE' <<<"$stack" && bad "executable stack: $stack"
grep -q 'TEXTREL' <<<"$dynamic" && bad "text relocations present"

# A program has an interpreter (the dynamic loader); a library does not.
library=1
grep -q 'INTERP' <<<"$headers" && library=0
exported=
if [ $library = 1 ]; then
  # Exported: defined dynamic symbols. Only the LV2 entry point may be there.
  exported=$("$nm" -D --defined-only "$lib" | awk '{print $3}' | sort)
  [ "$exported" = "lv2_descriptor" ] || bad "exported symbols are not just lv2_descriptor: $(echo $exported)"
fi

# The stack protector leaves a reference to __stack_chk_fail in any function
# with a local array (the frame's accumulator is one), so it must be there.
grep -q '__stack_chk_fail' <<<"$undefined" \
  || bad "no __stack_chk_fail reference: stack protector not in effect"

# _FORTIFY_SOURCE leaves no mark when every checked call has a size known at
# compile time (the library's memcpy calls all copy fixed-size arrays into
# arrays of that size, which the compiler checks and turns into plain copies),
# and stack-clash probes appear only in functions with frames larger than a
# page, so the compile command that built the binary is checked instead.
command=$(grep -F '"command"' "$commands" | grep -F "$objects" || true)
[ -n "$command" ] || bad "no compile command for $objects in $commands"
# Every one of the commands must have the flag.
has() {
  [ "$(grep -c -- " $1\( \|\"\|\$\)" <<<"$command")" = "$(wc -l <<<"$command")" ] \
    || bad "$objects not all compiled with $1"
}
has -D_FORTIFY_SOURCE=2
[ "$(grep -Ec -- ' -O[123s] ' <<<"$command")" = "$(wc -l <<<"$command")" ] || bad "not optimised, so fortify has no effect"
has -fstack-protector-strong
has -fstack-clash-protection
has -ffp-contract=off

# Control-flow protection. On x86-64, CET: ENDBR64 at every indirect branch
# target and shadow-stack-safe code; the mark that lets the loader turn them
# on needs every linked object to carry it, and the library links none but
# its own and libgcc's (the renderer cannot: glibc's start files on Debian 12
# have no mark). On 64-bit Arm, return addresses signed (PAC) and branch
# targets marked (BTI). 32-bit Arm has no such protection.
cfi=none
case "$machine" in
*X86-64*)
  has -fcf-protection=full
  cfi="CET flags"
  if [ $library = 1 ]; then
    grep -q 'x86 feature: IBT, SHSTK' <<<"$notes" || bad "no IBT, SHSTK property note"
    cfi="CET (IBT, SHSTK marked)"
  fi
  ;;
*AArch64*)
  has -mbranch-protection=standard
  cfi="PAC+BTI flags"
  if [ $library = 1 ]; then
    grep -q 'AArch64 feature: BTI, PAC' <<<"$notes" || bad "no BTI, PAC property note"
    cfi="PAC+BTI (marked)"
  fi
  ;;
esac

# Any fortified call whose size is not known at compile time becomes a
# __*_chk call; an unfortified one of those would show up as plain.
chk=$(grep -c '_chk\(@\|$\)' <<<"$undefined" || true)
if [ $fail -ne 0 ]; then
  echo "hardening check failed for $lib" >&2
  exit 1
fi
echo "hardening ok: RELRO+NOW, non-exec stack, no TEXTREL, stack protector, stack clash," \
  "fortify, control flow: $cfi;${exported:+ exports: $exported;} fortified calls: $chk"
