#!/usr/bin/env python3
"""Which allocation sites the heap grows by: reads a `heaptrack --raw` recording of the soak
(bench/run_heap_sites.sh makes one) and writes a report of

1. live bytes per allocation site at two moments of the run, FROM and TO minutes, and the sites
   whose live bytes grew between them (a leak, or a cache that keeps filling);
2. the allocations that raised an arena's high-water mark after FROM: requests that none of the
   arena's free chunks could serve, by site and size (what the arenas grow for when the blocks in
   use do not).

    bench/heap_sites.py RECORDING FROM TO --results FILE [--command TEXT] [--start TEXT]

Frames are named by addr2line from the modules the recording lists (in a library without symbols,
the nearest exported name). A site is its two innermost frames past the allocator and, when the
module is further out, the module's innermost frame. Blocks of 128 KiB and more are
left out of the high-water part: the allocator maps those on their own, outside the arenas.
"""
import argparse
import collections
import subprocess
import sys

ARENA_SHIFT = 26            # the allocator's own arenas are 64 MiB aligned
MAPPED_ALONE = 128 * 1024   # default mmap threshold
ALLOCATOR_FRAMES = ("libc.so", "libstdc++", "ld-linux", "libheaptrack")
SITE_FRAMES = 2    # the innermost frames past the allocator, then the module's own innermost frame
MODULE = "libquenlark_ipcapture"
TOP_SITES = 12


class Recording:
    def __init__(self, path, t_from_ms, t_to_ms):
        self.traces = [(0, 0)]  # index -> (instruction pointer, parent index)
        self.modules = []       # (base, end, path), every module ever listed
        self.snapshots = []     # [(bytes per trace, blocks per trace)] at FROM and TO
        self.extensions = collections.Counter()         # trace -> bytes the high-water mark rose
        self.extension_count = collections.Counter()    # trace -> times
        self.extension_sizes = collections.defaultdict(collections.Counter)
        self._read(path, t_from_ms, t_to_ms)

    def _read(self, path, t_from_ms, t_to_ms):
        live = {}
        high = {}
        now = 0
        moments = [t_from_ms, t_to_ms]
        with subprocess.Popen(["zstdcat", path], stdout=subprocess.PIPE, text=True) as proc:
            for line in proc.stdout:
                kind = line[0]
                if kind == "+":
                    _, size, trace, ptr = line.split()
                    size, trace, ptr = int(size, 16), int(trace, 16), int(ptr, 16)
                    live[ptr] = (size, trace)
                    if size >= MAPPED_ALONE:
                        continue
                    arena = ptr >> ARENA_SHIFT if ptr >> 40 else -1  # -1: the main arena
                    end = ptr + size
                    old = high.get(arena, 0)
                    if end > old:
                        high[arena] = end
                        if old and now >= t_from_ms and now <= t_to_ms:
                            self.extensions[trace] += end - max(old, ptr)
                            self.extension_count[trace] += 1
                            self.extension_sizes[trace][size] += 1
                elif kind == "-":
                    live.pop(int(line[2:], 16), None)
                elif kind == "t":
                    _, ip, parent = line.split()
                    self.traces.append((int(ip, 16), int(parent, 16)))
                elif kind == "c":
                    now = int(line[2:], 16)
                    while moments and now >= moments[0]:
                        moments.pop(0)
                        by_bytes, by_blocks = collections.Counter(), collections.Counter()
                        for size, trace in live.values():
                            by_bytes[trace] += size
                            by_blocks[trace] += 1
                        self.snapshots.append((by_bytes, by_blocks))
                    if not moments:
                        break
                elif kind == "m":
                    parts = line.split()
                    if len(parts) < 4 or parts[2] == "-":
                        continue
                    base = int(parts[3], 16)
                    segments = parts[4:]
                    end = base
                    for i in range(0, len(segments) - 1, 2):
                        end = max(end, base + int(segments[i], 16) + int(segments[i + 1], 16))
                    entry = (base, end, parts[2])
                    if entry not in self.modules:
                        self.modules.append(entry)
            proc.stdout.close()
        if len(self.snapshots) < 2:
            sys.exit(f"heap_sites: the recording ends at minute {now / 60000:.1f}, before TO")


class Symbols:
    """addr2line per module, in batches."""

    def __init__(self, modules, executable):
        self.modules = modules
        self.executable = executable
        self.names = {}

    def resolve(self, ips):
        pending = collections.defaultdict(list)
        for ip in set(ips) - set(self.names):
            for base, end, path in self.modules:
                if base <= ip < end:
                    pending[(base, path)].append(ip)
                    break
            else:
                self.names[ip] = hex(ip)
        for (base, path), batch in pending.items():
            file = self.executable if path == "x" else path
            short = file.rsplit("/", 1)[-1]
            try:
                out = subprocess.run(["addr2line", "-f", "-C", "-e", file] + [hex(ip - base - 1) for ip in batch],
                                     capture_output=True, text=True, check=False).stdout.split("\n")
            except OSError:
                out = []
            for i, ip in enumerate(batch):
                name = out[2 * i] if 2 * i < len(out) else "??"
                name = name.split("(")[0] if "(" in name and not name.startswith("(") else name
                self.names[ip] = f"{name} ({short})"


def frames(recording, trace):
    ips = []
    while trace:
        ip, trace = recording.traces[trace]
        ips.append(ip)
    return ips


def site(recording, symbols, trace):
    named = [symbols.names[ip] for ip in frames(recording, trace)]
    kept = [n for n in named if not any(a in n for a in ALLOCATOR_FRAMES)]
    key = kept[:SITE_FRAMES]
    caller = next((n for n in kept if MODULE in n), None)
    if caller is not None and caller not in key:
        key.append("... " + caller)
    return tuple(key) or tuple(named[:1])


def esc(text):
    return text.replace("|", "\\|").replace("<", "&lt;").replace(">", "&gt;")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("recording")
    parser.add_argument("from_minute", type=float)
    parser.add_argument("to_minute", type=float)
    parser.add_argument("--results", required=True)
    parser.add_argument("--executable", default="build-bench/bin/soak_bench")
    parser.add_argument("--command", default="")
    parser.add_argument("--start", default="")
    args = parser.parse_args()
    rec = Recording(args.recording, args.from_minute * 60000, args.to_minute * 60000)
    symbols = Symbols(rec.modules, args.executable)
    (bytes0, blocks0), (bytes1, blocks1) = rec.snapshots[:2]
    traces = set(bytes0) | set(bytes1) | set(rec.extensions)
    symbols.resolve(ip for t in traces for ip in frames(rec, t))

    grown, grown_blocks = collections.Counter(), collections.Counter()
    at0, at1 = collections.Counter(), collections.Counter()
    for t in set(bytes0) | set(bytes1):
        key = site(rec, symbols, t)
        at0[key] += bytes0[t]
        at1[key] += bytes1[t]
        grown[key] += bytes1[t] - bytes0[t]
        grown_blocks[key] += blocks1[t] - blocks0[t]
    raised, raised_count = collections.Counter(), collections.Counter()
    raised_sizes = collections.defaultdict(collections.Counter)
    for t, b in rec.extensions.items():
        key = site(rec, symbols, t)
        raised[key] += b
        raised_count[key] += rec.extension_count[t]
        raised_sizes[key].update(rec.extension_sizes[t])

    span_h = (args.to_minute - args.from_minute) / 60
    total0, total1 = sum(bytes0.values()), sum(bytes1.values())
    total_raised = sum(raised.values())
    lines = ["# Heap by allocation site", ""]
    lines.append("One soak process (`bench/soak.cpp`) recorded by `heaptrack --raw`; every allocation and "
                 "free with its stack and address. A site is named by its two innermost frames past the allocator "
                 "and, after \"...\", the module's innermost frame; a library without symbols shows the nearest "
                 "exported name. Regenerate with `bench/run_heap_sites.sh [MINUTES] "
                 "[CHANNELS] [soak options]`; `bench/heap_sites.py` writes this page from the recording.")
    lines.append("")
    if args.command:
        lines.append(f"- Command: `{args.command}`")
    if args.start:
        lines.append(f"- Date: {args.start}.")
    lines.append(f"- Compared: minute {args.from_minute:g} and minute {args.to_minute:g} of the run.")
    lines.append(f"- Blocks in use, all sites: {total0 / 1024:.0f} KiB at minute {args.from_minute:g}, "
                 f"{total1 / 1024:.0f} KiB at minute {args.to_minute:g}: "
                 f"{(total1 - total0) / 1024 / span_h:.0f} KiB per hour.")
    lines.append(f"- The arenas' high-water marks rose {total_raised / 1024:.0f} KiB in that time "
                 f"({total_raised / 1024 / span_h:.0f} KiB per hour), "
                 f"{(total_raised - max(total1 - total0, 0)) / 1024:.0f} KiB of it more than the blocks in use grew: "
                 "space the free chunks could not give.")
    lines.append("")
    lines.append("## Sites whose blocks in use grew")
    lines.append("")
    lines.append("| site (innermost frames first) | KiB at FROM | KiB at TO | growth KiB | blocks |")
    lines.append("|---|---|---|---|---|")
    shown = [(k, b) for k, b in grown.most_common(TOP_SITES) if b > 0]
    for key, b in shown:
        lines.append(f"| {esc(' &larr; '.join(key))} | {at0[key] / 1024:.1f} | {at1[key] / 1024:.1f} | "
                     f"{b / 1024:.1f} | {grown_blocks[key]:+d} |")
    if not shown:
        lines.append("| none | | | | |")
    lines.append("")
    lines.append("## Requests that raised an arena's high-water mark")
    lines.append("")
    lines.append("| site (innermost frames first) | times | KiB raised | share | sizes requested (bytes x times) |")
    lines.append("|---|---|---|---|---|")
    for key, b in raised.most_common(TOP_SITES):
        sizes = ", ".join(f"{s} x {n}" for s, n in raised_sizes[key].most_common(3))
        share = 100 * b / total_raised if total_raised else 0
        lines.append(f"| {esc(' &larr; '.join(key))} | {raised_count[key]} | {b / 1024:.1f} | {share:.0f} % | {sizes} |")
    if not raised:
        lines.append("| none | | | | |")
    lines.append("")
    with open(args.results, "w", encoding="utf-8") as out:
        out.write("\n".join(lines))
    print(f"wrote {args.results}")


if __name__ == "__main__":
    main()
