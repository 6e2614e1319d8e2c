#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus (tests/fuzz/corpus) in the byte language
that fuzz_host.cpp reads: one opcode byte, then its arguments."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.join(here, "corpus")


def inst(s): return bytes([0, s])
def clean(s): return bytes([1, s])
def audio(s, port, buf): return bytes([2, s, port, buf + 1])          # buf -1 is null
def ctl(s, port, cell): return bytes([2, s, port, 4 + cell + 1])      # one of the cells
def wide(s, port, target): return bytes([2, s, 0xF0]) + struct.pack("<I", port) + bytes([target])
def setf(target, v): return bytes([3, target]) + struct.pack("<f", v)
def setbits(target, bits): return bytes([3, target]) + struct.pack("<I", bits)
def tile(b, vals): return bytes([4, b, len(vals) - 1]) + b"".join(struct.pack("<f", v) for v in vals)
def tone(b, amp, step): return bytes([5, b]) + struct.pack("<f", amp) + bytes([step])
def huge(b, positions): return bytes([6, b, len(positions) - 1]) + b"".join(struct.pack("<H", p) for p in positions)
def run(s, n): return bytes([7, s]) + struct.pack("<H", n)

# Ports go by role, the row's place in bundle/ports.cmake (the fuzz host
# connects a role to its index in whatever plugin the slot holds).
ROLES = ["in", "in_l", "in_r", "out", "out_l", "out_r", "freeze", "mix", "blur", "shift",
         "threshold", "latency", "enabled"]
IN, OUT, FREEZE, THRESHOLD = (ROLES.index(r) for r in ("in", "out", "freeze", "threshold"))
MIX, BLUR, SHIFT = (ROLES.index(r) for r in ("mix", "blur", "shift"))
MAX = 3.4028235e38
cell = lambda c: 4 + c  # set-target index of cell c

def wire(s):
    return audio(s, IN, 0) + audio(s, OUT, 1) + b"".join(
        ctl(s, p, p - FREEZE) for p in range(FREEZE, THRESHOLD + 1))

seeds = {
    "plain-controls": inst(0) + wire(0) + setf(cell(1), 1.0) + setf(cell(2), 0.3) + setf(cell(3), 0.1)
    + setf(cell(4), 0.05) + tone(0, 0.5, 7) + run(0, 4096) * 4 + setf(cell(0), 1.0) + run(0, 4096) * 4
    + setf(cell(3), -0.5) + setf(cell(2), 1.0) + run(0, 3000) * 3 + setf(cell(0), 0.0) + run(0, 8192),
    "in-place-huge": inst(0) + audio(0, IN, 0) + audio(0, OUT, 0) + ctl(0, FREEZE, 0) + setf(cell(0), 1.0)
    + tone(0, MAX, 3) + run(0, 8192) * 2 + tone(0, MAX, 3) + huge(0, [5, 700, 0x8000 | 900]) + run(0, 8192)
    + tone(0, 1.0, 40) + run(0, 8192) * 2,
    "several-aliased": inst(0) + inst(1) + inst(2) + inst(3) + audio(0, IN, 0) + audio(1, IN, 0)
    + audio(2, IN, 0) + audio(3, IN, 3) + audio(0, OUT, 1) + audio(1, OUT, 2) + audio(2, OUT, 0) + audio(3, OUT, 3)
    + audio(1, BLUR, 0) + audio(2, MIX, 1) + wide(0, 7, 5) + wide(1, 0xFFFFFFFF, 1) + wide(3, 8, 6)
    + ctl(0, SHIFT, 0) + ctl(3, FREEZE, 1) + ctl(3, SHIFT, 2) + setbits(cell(0), 0x7FC00000) + setf(cell(1), 1.0)
    + setf(cell(2), 0.05) + tone(0, 0.9, 11) + tone(3, 0.5, 5) + run(0, 0) + run(1, 1) + run(2, 7)
    + run(3, 4096) + run(0, 8192) + run(1, 8192) + run(2, 8192) + setf(cell(1), 0.0) + run(3, 8192)
    + clean(1) + inst(1) + run(1, 300),
    "unconnected": inst(0) + run(0, 8192) + audio(0, OUT, 2) + run(0, 5000) + audio(0, IN, 2) + tone(2, 0.3, 2)
    + run(0, 8192) + audio(0, OUT, -1) + run(0, 1024) + audio(0, OUT, 3) + run(0, 2048) + clean(0) + inst(0) + run(0, 10),
    "raw-bits": inst(0) + wire(0) + tile(0, [float("nan"), float("inf"), -float("inf"), 1e-45, -0.0, MAX, -MAX, 0.25])
    + setbits(cell(4), 0x7F800000) + setf(cell(2), 2.0) + setf(cell(3), -7.0) + run(0, 8192) * 3
    + setf(cell(0), 0.5) + run(0, 8192),
}

os.makedirs(out, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
print(f"{len(seeds)} seeds in {out}")
