#!/usr/bin/env bash
# Checks the hardening of the built plugin library or renderer:
#   check_hardening.sh <binary> <compile_commands.json> [readelf] [nm] [objects]
# Full RELRO with immediate binding, no executable stack, no text
# relocations, a stack protector, stack-clash probes, fortify, control-flow
# protection where the processor has it (as the binary's notes say), and for
# a library one exported symbol. The compile commands checked, and for a
# program the objects, are those that contain <objects> (default: the
# plugin's source).
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

# Control-flow protection, as the binary itself says: the property note that
# the linker writes only when every object linked carries it, and that the
# loader reads to turn the protection on. On x86-64 CET (IBT, SHSTK), on
# 64-bit Arm BTI and PAC; 32-bit Arm has none. The library links none but
# its own objects and libgcc's, so it must carry the mark. A program also
# links the C library's start files, which Debian 12 builds unmarked, so the
# linked program may carry none: then each of our own objects in it must
# (their code has the landing pads and signed returns, which the loader
# cannot enforce for the program as a whole), and the result says so.
features() { # FILE KIND: the KIND feature list of its property note, if any
  "$readelf" -nW "$1" | sed -n "s/.*Properties:.*$2 feature: *//p" | sed 's/, [^,]*:.*//' | head -1
}
marks() { # FEATURES: whether they include every one of $want
  local w
  for w in ${want//,/ }; do
    [[ ", $1, " == *", $w, "* ]] || return 1
  done
}
# Our objects in the binary: the -o of each compile command, in its build
# directory (one key per line, as CMake writes compile_commands.json).
objects_of() {
  awk -v want="$objects" '
    /"directory":/ { d = $0; sub(/^[^:]*: *"/, "", d); sub(/",? *$/, "", d) }
    /"command":/ && index($0, want) && match($0, / -o [^ ]+/) {
      o = substr($0, RSTART + 4, RLENGTH - 4)
      print (o ~ /^\// ? o : d "/" o) }' "$commands"
}
cfi=none
want=
case "$machine" in
*X86-64*) kind=x86 want="IBT, SHSTK" name=CET ;;
*AArch64*) kind=AArch64 want="BTI, PAC" name=BTI+PAC ;;
esac
if [ -n "$want" ]; then
  marked=$(features "$lib" "$kind")
  if marks "$marked"; then
    cfi="$name (marked: $marked)"
  elif [ $library = 1 ]; then
    bad "no $kind feature note $want on the library (it has: ${marked:-none})"
  else
    n=0
    while IFS= read -r o; do
      [ -f "$o" ] || { bad "object $o of the compile commands is missing"; continue; }
      f=$(features "$o" "$kind")
      marks "$f" || bad "$o has no $kind feature note $want (it has: ${f:-none})"
      n=$((n + 1))
    done < <(objects_of)
    [ $n -gt 0 ] || bad "no objects for $objects in $commands"
    cfi="$name in each of our $n objects; the program itself unmarked (${marked:-no note}), so not enforced"
  fi
fi

# Any fortified call whose size is not known at compile time becomes a
# __*_chk call; an unfortified one of those would show up as plain.
chk=$(grep -c '_chk\(@\|$\)' <<<"$undefined" || true)
if [ $fail -ne 0 ]; then
  echo "hardening check failed for $lib" >&2
  exit 1
fi
echo "hardening ok: RELRO+NOW, non-exec stack, no TEXTREL, stack protector, stack clash," \
  "fortify, control flow: $cfi;${exported:+ exports: $exported;} fortified calls: $chk"
