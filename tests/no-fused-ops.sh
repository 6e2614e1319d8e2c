#!/usr/bin/env bash
# Fails if a binary contains a fused multiply-add instruction (scalar or
# vector, x86-64, 64-bit or 32-bit Arm): the plugin's arithmetic must round
# every product on its own, whatever the target.
# On 32-bit Arm the fused ones are vfma, vfms, vfnma and vfnms (VFPv4).
# VFPv2's vmla, vmls, vnmla and vnmls stay allowed: they round the product,
# then the sum, exactly as a separate multiply and add do, and GCC uses them
# for a*b+c even with contraction off.
set -euo pipefail
objdump=${1:?usage: no-fused-ops.sh OBJDUMP BINARY}
binary=${2:?usage: no-fused-ops.sh OBJDUMP BINARY}
disasm=$("$objdump" -d --no-show-raw-insn "$binary")
[ -n "$disasm" ] || { echo "could not disassemble $binary" >&2; exit 1; }
if fused=$(grep -E $'\t''(v?fn?m(add|sub)[0-9a-z]*|fml[as]|fml[as]l2?|vfn?m[as]([a-z]{2})?\.f(16|32|64))[[:space:]]' <<<"$disasm"); then
  echo "$binary has fused multiply-add instructions:" >&2
  echo "$fused" | head -20 >&2
  exit 1
fi
echo "$binary: $(grep -c $'\t' <<<"$disasm") instructions, no fused multiply-add"
