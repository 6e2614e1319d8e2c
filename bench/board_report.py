#!/usr/bin/env python3
"""Instructions per hop on the boards, from one run of bench/board_count under
qemu with bench/qcount.c: the counts per segment, the ratios, and the split of
each counted address by object and function (the process's maps joined with
nm). Used by scripts/bench-boards.sh.

Usage: board_report.py TARGET LANES NM READELF SEGMENTS COUNTS MAPS
  TARGET    name to print (armhf, aarch64)
  LANES     floats per vector operation of the transforms (1 scalar, 4 NEON)
  NM        nm for the target (the cross toolchain's)
  READELF   readelf for the target
  SEGMENTS  board_count's standard output
  COUNTS    qcount's output
  MAPS      /proc/self/maps of the counted process
"""
import bisect
import collections
import os
import re
import subprocess
import sys

# The arithmetic that exactness fixes in the two transforms, per frame: every
# butterfly of the forward transform (4 products, 6 sums), the inverse's
# first nine stages likewise, its last stage for real parts only (2 products,
# 3 sums: only real parts reach the output) and the 1/1024 scaling of them.
TRANSFORM_OPS = 10 * 5120 + 10 * 4608 + 5 * 512 + 1024


def short(name):
    """A demangled name without namespaces, arguments or clone suffixes."""
    name = name.split("@")[0]  # symbol versions
    name = re.sub(r"\.(constprop|isra|part|cold)\.\d+", "", name)
    name = name.replace("(anonymous namespace)::", "").replace(" [clone ]", "")
    depth, out = 0, []
    for ch in name:  # drop template arguments and parameter lists
        if ch in "<(":
            depth += 1
        elif ch in ">)":
            depth -= 1
        elif depth == 0:
            out.append(ch)
    name = "".join(out).strip()
    if name.startswith("void "):
        name = name[5:]
    if name.startswith("__") and name.endswith("_finite"):
        name = name[2:-7]  # glibc's aliases of the math functions
    return name


class Object:
    """Symbols of one ELF file, by address relative to its own vaddrs."""

    def __init__(self, path, nm, readelf):
        self.path = path
        self.loads = []  # (offset, vaddr, filesz)
        for line in subprocess.run([readelf, "-lW", path], capture_output=True, text=True,
                                   check=False).stdout.splitlines():
            f = line.split()
            if f and f[0] == "LOAD":
                self.loads.append((int(f[1], 16), int(f[2], 16), int(f[4], 16)))
        self.plt = None  # calls to other objects go through here
        for line in subprocess.run([readelf, "-SW", path], capture_output=True, text=True,
                                   check=False).stdout.splitlines():
            f = line.replace("[ ", "[").split()
            if len(f) > 5 and f[1] in (".plt", ".iplt"):
                self.plt = (int(f[3], 16), int(f[3], 16) + int(f[5], 16))
        syms = []
        for flag in ([], ["-D"]):
            res = subprocess.run([nm, "-C", "-S", "--defined-only"] + flag + [path],
                                 capture_output=True, text=True, check=False).stdout
            for line in res.splitlines():
                f = line.split(None, 3)
                if len(f) == 4 and f[2] in "tTwWiu":
                    syms.append((int(f[0], 16) & ~1, int(f[1], 16), f[3]))
            if syms:
                break
        syms.sort()
        self.starts = [s[0] for s in syms]
        self.syms = syms

    def bias(self, map_start, map_offset):
        for off, vaddr, size in self.loads:
            if off <= map_offset < off + max(size, 1):
                return map_start - (vaddr + map_offset - off)
        return map_start - map_offset

    def name(self, vaddr):
        if self.plt and self.plt[0] <= vaddr < self.plt[1]:
            return "(PLT: calls into other libraries)"
        i = bisect.bisect_right(self.starts, vaddr) - 1
        if i >= 0:
            start, size, name = self.syms[i]
            if vaddr < start + max(size, 1) or size == 0:
                return short(name)
        return "?"


def read_maps(path, nm, readelf):
    objects, spans = {}, []
    with open(path) as f:
        for line in f:
            f6 = line.split(None, 5)
            if len(f6) < 6 or "x" not in f6[1] or not f6[5].strip().startswith("/"):
                continue
            lo, hi = (int(v, 16) for v in f6[0].split("-"))
            obj_path = f6[5].strip()
            if obj_path not in objects:
                objects[obj_path] = Object(obj_path, nm, readelf)
            obj = objects[obj_path]
            spans.append((lo, hi, obj, obj.bias(lo, int(f6[2], 16))))
    spans.sort(key=lambda s: s[0])
    return spans


def read_counts(path):
    segs, cur = {}, None
    with open(path) as f:
        for line in f:
            if line.startswith("# segment"):
                f4 = line.split()
                cur = segs[int(f4[2])] = {"total": int(f4[4]), "addr": collections.Counter()}
            else:
                a, n = line.split()
                cur["addr"][int(a, 16)] += int(n)
    return segs


def split(seg, spans):
    """Counts by (object, function)."""
    lows = [s[0] for s in spans]
    by = collections.Counter()
    for addr, n in seg["addr"].items():
        i = bisect.bisect_right(lows, addr) - 1
        if i >= 0 and addr < spans[i][1]:
            _, _, obj, bias = spans[i]
            by[(os.path.basename(obj.path), obj.name(addr - bias))] += n
        else:
            by[("?", "?")] += n
    return by


def main():
    target, lanes, nm, readelf, seg_file, count_file, maps_file = sys.argv[1:8]
    lanes = int(lanes)
    hops, labels, exact = 200, {}, {}
    with open(seg_file) as f:
        for line in f:
            w = line.split()
            if w[0] == "segment":
                labels[int(w[1])] = (w[2].rsplit("/", 1)[-1], w[3], w[4])
            elif w[0] == "exact":
                exact[(w[1].rsplit("/", 1)[-1], w[2])] = w[3]
            elif w[0] == "hops":
                hops = int(w[1])
    segs = read_counts(count_file)
    spans = read_maps(maps_file, nm, readelf)
    per_hop = {labels[i]: s["total"] / hops for i, s in segs.items()}
    plugins = list(dict.fromkeys(lab[0] for lab in labels.values()))
    states = list(dict.fromkeys(lab[1] for lab in labels.values()))
    first = plugins[0]

    print(f"== {target}: instructions per hop ({hops} hops counted after 40 of warm-up; "
          "noise plus a sawtooth)")
    print(f"  {'plugin':28} {'state':13} {'plugin':>9} {'literal':>9} {'ratio':>6} "
          f"{'x first':>8}  output == model")
    for p in plugins:
        for s in states:
            mine = per_hop.get((p, s, "plugin"))
            lit = per_hop.get((p, s, "model"))
            ratio = f"{mine / lit:6.3f}" if lit else "     -"
            vs = per_hop.get((first, s, "plugin"))
            print(f"  {p:28} {s:13} {mine / 1e3:8.1f}k {lit / 1e3 if lit else 0:8.1f}k {ratio} "
                  f"{mine / vs:8.3f}  {exact.get((p, s), '?')}")

    floor_ops = TRANSFORM_OPS / lanes
    print(f"\n  floor of a live hop: the transforms' arithmetic, {TRANSFORM_OPS} float "
          f"operations = {floor_ops / 1e3:.1f}k instructions at {lanes} per instruction, "
          f"plus the plugin's own math-library calls (atan2f, sincosf: libm, counted below)")
    for i in sorted(segs):
        p, s, who = labels[i]
        shown = (plugins[0], plugins[min(2, len(plugins) - 1)]) if who == "plugin" else (first,)
        if p not in shown:
            continue
        by = split(segs[i], spans)
        total = segs[i]["total"]
        calls = sum(n for (obj, fn), n in by.items() if obj.startswith("libm")) / hops
        floor = floor_ops + calls
        head = f"\n  {p} {s} {who}: {total / hops / 1e3:.1f}k per hop"
        if who == "plugin":
            head += (f"; floor {floor / 1e3:.1f}k ({floor_ops / 1e3:.1f}k transforms + "
                     f"{calls / 1e3:.1f}k calls), {total / hops / floor:.2f}x the floor")
        print(head)
        for (obj, fn), n in by.most_common():
            if n / total < 0.01:
                break
            print(f"    {n / hops / 1e3:8.1f}k {100 * n / total:5.1f}%  {obj}: {fn}")


if __name__ == "__main__":
    main()
