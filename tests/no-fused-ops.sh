#!/usr/bin/env bash
# Fails if a binary contains a fused multiply-add instruction (scalar or
# vector, x86-64 or 64-bit Arm): the plugin's arithmetic must round every
# product on its own, whatever the target.
set -euo pipefail
objdump=${1:?usage: no-fused-ops.sh OBJDUMP BINARY}
binary=${2:?usage: no-fused-ops.sh OBJDUMP BINARY}
disasm=$("$objdump" -d --no-show-raw-insn "$binary")
[ -n "$disasm" ] || { echo "could not disassemble $binary" >&2; exit 1; }
if fused=$(grep -E $'\t''(v?fn?m(add|sub)[0-9a-z]*|fml[as]|fml[as]l2?)[[:space:]]' <<<"$disasm"); then
  echo "$binary has fused multiply-add instructions:" >&2
  echo "$fused" | head -20 >&2
  exit 1
fi
echo "$binary: $(grep -c $'\t' <<<"$disasm") instructions, no fused multiply-add"
