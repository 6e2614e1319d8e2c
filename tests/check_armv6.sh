#!/usr/bin/env bash
# Checks that a 32-bit Arm library runs on every Raspberry Pi, the ARM1176 of
# the Pi 1 and Zero included, and stays exact:
#   check_armv6.sh <readelf> <objdump> <library>
# The build attributes, merged over every object linked in (start files and
# compiler helpers would bring ARMv7 and Thumb-2 with them), must ask for
# ARMv6, VFPv2, no NEON and no Thumb-2; the code itself must hold no NEON
# instruction (NEON flushes denormals to zero, so it is not IEEE-exact).
set -euo pipefail
readelf=${1:?usage: check_armv6.sh READELF OBJDUMP LIBRARY}
objdump=${2:?usage: check_armv6.sh READELF OBJDUMP LIBRARY}
lib=${3:?usage: check_armv6.sh READELF OBJDUMP LIBRARY}
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }

attrs=$("$readelf" -A "$lib")
tag() { sed -n "s/^ *$1: //p" <<<"$attrs"; }
[ "$(tag Tag_CPU_arch)" = v6 ] || bad "Tag_CPU_arch is '$(tag Tag_CPU_arch)', not v6"
[ "$(tag Tag_FP_arch)" = VFPv2 ] || bad "Tag_FP_arch is '$(tag Tag_FP_arch)', not VFPv2"
[ "$(tag Tag_ARM_ISA_use)" = Yes ] || bad "no ARM code (Tag_ARM_ISA_use '$(tag Tag_ARM_ISA_use)')"
[ -z "$(tag Tag_Advanced_SIMD_arch)" ] || bad "Tag_Advanced_SIMD_arch: $(tag Tag_Advanced_SIMD_arch)"
[ "$(tag Tag_THUMB_ISA_use)" != Thumb-2 ] || bad "Tag_THUMB_ISA_use: Thumb-2"
[ -z "$(tag Tag_CPU_arch_profile)" ] || bad "Tag_CPU_arch_profile: $(tag Tag_CPU_arch_profile) (ARMv7 and later)"

# NEON: quad registers, float arithmetic on double registers (VFP works on
# single-precision s registers), element loads and stores, lane shuffles.
disasm=$("$objdump" -d --no-show-raw-insn "$lib")
[ -n "$disasm" ] || bad "could not disassemble $lib"
neon=$(grep -E $'\t''(v[a-z0-9.]+'$'\t''.*\<q([0-9]|1[0-5])\>|v[a-z]+\.f32'$'\t''.*\<d[0-9]+\>|v(ld|st)[1-4]\.|v(dup|ext|zip|uzp|trn|rev|bsl|bif|bit|tbl|tbx|max|min|pmax|pmin|padd|recp|rsqrt)[a-z0-9]*\.)' \
  <<<"$disasm" | grep -v $'\t''vcvt' || true)
[ -z "$neon" ] || bad "NEON instructions: $(head -5 <<<"$neon")"

[ $fail -eq 0 ] || { echo "$lib is not ARMv6/VFPv2 ARM code only" >&2; exit 1; }
echo "$lib: Tag_CPU_arch v6, Tag_FP_arch VFPv2, Thumb $(tag Tag_THUMB_ISA_use), no NEON"
