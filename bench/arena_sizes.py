#!/usr/bin/env python3
"""Which sizes the allocator's free space grows in: reads a soak's malloc/MINUTES.xml snapshots
(bench/soak.cpp writes one per sample) and prints, per band of free-chunk sizes, the free bytes
summed over every arena at the first and last snapshot of a window and the growth per hour.

    bench/arena_sizes.py OUT_DIR [FROM_MINUTE [TO_MINUTE]]   (default: the last third)
"""
import glob
import os
import sys
import xml.etree.ElementTree as ET

BANDS = [(0, 128), (128, 1024), (1024, 4096), (4096, 16384), (16384, 65536), (65536, 1 << 62)]


def band_name(lo, hi):
    def size(n):
        return f"{n // 1024} KiB" if n >= 1024 else f"{n} B"
    return f"{size(lo)} - {size(hi)}" if hi < (1 << 62) else f"{size(lo)} and more"


def free_by_band(path):
    totals = [0] * (len(BANDS) + 1)  # the last: unsorted chunks, not yet sorted by size
    root = ET.parse(path).getroot()
    for heap in root.findall("heap"):
        for entry in heap.find("sizes"):
            if entry.tag == "unsorted":
                totals[-1] += int(entry.get("total"))
                continue
            lo = int(entry.get("from"))
            for i, (b_lo, b_hi) in enumerate(BANDS):
                if b_lo <= lo < b_hi:
                    totals[i] += int(entry.get("total"))
    return totals


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    snapshots = sorted(glob.glob(os.path.join(sys.argv[1], "malloc", "*.xml")))
    if len(snapshots) < 2:
        sys.exit("arena_sizes: fewer than two snapshots in " + sys.argv[1])
    minutes = [float(os.path.basename(p)[:-4]) for p in snapshots]
    end = float(sys.argv[3]) if len(sys.argv) > 3 else minutes[-1]
    begin = float(sys.argv[2]) if len(sys.argv) > 2 else end - (end - minutes[0]) / 3
    window = [(m, p) for m, p in zip(minutes, snapshots) if begin <= m <= end]
    if len(window) < 2:
        sys.exit("arena_sizes: fewer than two snapshots in the window")
    (m0, p0), (m1, p1) = window[0], window[-1]
    first, last = free_by_band(p0), free_by_band(p1)
    hours = (m1 - m0) / 60
    print(f"free bytes in the arenas by chunk size, minute {m0:g} to {m1:g}")
    print(f"{'chunk size':>22} {'first KiB':>10} {'last KiB':>10} {'KiB per hour':>13}")
    names = [band_name(lo, hi) for lo, hi in BANDS] + ["unsorted"]
    for name, a, b in zip(names, first, last):
        print(f"{name:>22} {a / 1024:10.0f} {b / 1024:10.0f} {(b - a) / 1024 / hours:13.0f}")


if __name__ == "__main__":
    main()
