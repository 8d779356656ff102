#!/usr/bin/env python3
"""Turns a soak_bench output directory into bench/SOAK_RESULTS.md and bench/soak.png.

Every figure and every verdict in the results file is computed here from the run's samples; the
tolerances below are the only numbers written by hand, and the file states them.
"""
import argparse
import csv
import math
import os
import platform
import re
from collections import Counter

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# Series of samples.csv, how they are shown, and the growth per hour up to which a series "levels off".
# A recorder runs for months: what the module holds must be bounded by what it serves (channels,
# presets, cameras), so resident memory and the heap in use may rise by no more than 64 KiB per hour
# over the last third of a run (a 64 KiB step a month is already 2 MiB a year).
SERIES = [
    ("rss_kib", "resident memory (KiB)", 64),
    # Its two parts: anonymous pages (heap, arenas, stacks) and pages of mapped files (code and data
    # of the libraries, paged in as paths run for the first time). Older runs lack them.
    ("rss_anon_kib", "resident anonymous memory (KiB)", 64),
    ("rss_file_kib", "resident file pages (KiB)", 64),
    ("heap_kib", "heap in use, mallinfo2 (KiB)", 64),
    # What the allocator holds from the system, and the free part of it: memory freed but kept, which
    # follows how many channels reconnect at the moment of a sample (a few hundred KiB).
    ("heap_arena_kib", "allocator arenas, mallinfo2 (KiB)", 256),
    ("heap_free_kib", "free in the arenas, mallinfo2 (KiB)", 256),
    # glibc keeps every arena it made for the life of the process.
    ("arenas", "allocator arenas (count)", 1),
    # Descriptors and threads follow how many channels are reconnecting at the moment of a sample.
    ("fds", "open descriptors", 40),
    ("threads", "threads", 20),
    ("outstanding", "samples created - released", 10),
    ("preset_bytes", "preset files (bytes)", 1024),
]
MEMORY_KEYS = ("rss_kib", "rss_anon_kib", "heap_kib")  # the goal; the others explain them
PICTURE_TOLERANCE = 0.10  # pictures per minute: steady within 10 % of their mean per hour
FULL_MINUTES, FULL_CHANNELS, FULL_SAMPLE_SECONDS = 120, 32, 60


def read_samples(path):
    with open(path) as f:
        rows = list(csv.DictReader(f))
    data = {key: [float(r[key]) for r in rows] for key in rows[0]}
    data["outstanding"] = [c - r for c, r in zip(data["samples_created"], data["samples_released"])]
    SERIES[:] = [series for series in SERIES if series[0] in data]
    return data


def read_channels(path):
    with open(path) as f:
        reader = csv.reader(f)
        header = next(reader)
        rows = [[float(x) for x in row] for row in reader]
    return header[1:], rows


def read_summary(path):
    values = {}
    with open(path) as f:
        for line in f:
            name, _, value = line.strip().partition(" ")
            values[name] = value
    return values


def fit(minutes, values):
    """Least-squares slope over the last third of the run, per hour, and the points it used."""
    start = minutes[-1] * 2 / 3
    points = [(m, v) for m, v in zip(minutes, values) if m >= start]
    if len(points) < 2:
        return 0.0, points
    n = len(points)
    mx = sum(m for m, _ in points) / n
    my = sum(v for _, v in points) / n
    sxx = sum((m - mx) ** 2 for m, _ in points)
    if sxx == 0:
        return 0.0, points
    sxy = sum((m - mx) * (v - my) for m, v in points)
    return sxy / sxx * 60, points


def slope_error(points):
    """Standard error of the least-squares slope, per hour, as if the samples' scatter about the line
    were independent (it is not quite: the error is a lower bound)."""
    n = len(points)
    if n < 3:
        return 0.0
    mx = sum(m for m, _ in points) / n
    my = sum(v for _, v in points) / n
    sxx = sum((m - mx) ** 2 for m, _ in points)
    if sxx == 0:
        return 0.0
    b = sum((m - mx) * (v - my) for m, v in points) / sxx
    residual = sum((v - my - b * (m - mx)) ** 2 for m, v in points) / (n - 2)
    return (residual / sxx) ** 0.5 * 60


def curve_fits(minutes, values, start):
    """From minute start on, the least-squares fits v = c + b*t and v = c + a*ln(t): (b per hour,
    residual sd of the line, a, residual sd of the logarithm), or None with too few points."""
    points = [(m, v) for m, v in zip(minutes, values) if m >= start and m > 0]
    if len(points) < 4:
        return None

    def line(xs, ys):
        n = len(xs)
        mx, my = sum(xs) / n, sum(ys) / n
        sxx = sum((x - mx) ** 2 for x in xs)
        b = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx if sxx else 0.0
        sd = (sum((y - my - b * (x - mx)) ** 2 for x, y in zip(xs, ys)) / (n - 2)) ** 0.5
        return b, sd

    ys = [v for _, v in points]
    b, line_sd = line([m for m, _ in points], ys)
    a, log_sd = line([math.log(m) for m, _ in points], ys)
    return b * 60, line_sd, a, log_sd


def faults_per_hour(samples):
    """Faults per hour over the last third, from the schedule's running count."""
    slope, _ = fit(samples["minutes"], samples["faults"])
    return slope


def verdict(slope, tolerance):
    return "grows" if slope > tolerance else "levels off"


def picture_verdict(slope, tolerance):
    if abs(slope) <= tolerance:
        return "steady"
    return "rises" if slope > 0 else "falls"


def read_arenas(path):
    """(system KiB, free KiB) of each arena in a malloc_info file, or None without one."""
    if not os.path.exists(path):
        return None
    with open(path) as f:
        text = f.read()
    arenas = []
    for heap in re.findall(r'<heap nr="\d+">(.*?)</heap>', text, re.S):
        system = re.search(r'<system type="current" size="(\d+)"/>', heap)
        free = sum(int(n) for n in re.findall(r'<total type="(?:fast|rest)" count="\d+" size="(\d+)"/>', heap))
        arenas.append((int(system.group(1)) / 1024 if system else 0, free / 1024))
    return arenas


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(re.search(r"MemTotal:\s+(\d+)", f.read()).group(1))
    return f"{model}, {os.cpu_count()} cores, {mem_kib / 1024 / 1024:.0f} GB, {platform.system()} {platform.release()}"


def libc_version():
    return platform.libc_ver()[1] or "(version unknown)"


def allocator_words(tunables):
    if not tunables or tunables == "none":
        return "defaults (no GLIBC_TUNABLES)"
    return f"GLIBC_TUNABLES={tunables}"


def process_words(tunables, summary):
    """The allocator settings of one run, and whether the module's hand-backs of free memory ran."""
    words = allocator_words(tunables)
    if summary.get("keep_free_memory") == "1":
        words += ", the module's hand-backs of free memory turned off"
    return words


def give_back_words(summary):
    if "give_backs" not in summary:
        return "not recorded"
    if summary.get("keep_free_memory") == "1":
        return "turned off (`--keep-free-memory`)"
    count = int(summary["give_backs"])
    if count == 0:
        return "none"
    mean = float(summary["give_back_ms"]) / count
    return (f"{count}, {fmt(float(summary['give_back_ms']))} ms in all, {fmt(mean)} ms on average, "
            f"{fmt(float(summary['give_back_max_ms']))} ms the longest")


def run_figures(samples, summary):
    """Slopes per hour of the memory the goal names, and the costs beside them, of one run."""
    minutes = samples["minutes"]
    fits = {key: fit(minutes, samples[key]) for key in MEMORY_KEYS + ("heap_arena_kib",) if key in samples}
    slopes = {key: slope for key, (slope, _) in fits.items()}
    errors = {key: slope_error(points) for key, (_, points) in fits.items()}
    tolerances = {key: tolerance for key, _, tolerance in SERIES}
    grows = any(verdict(slopes[key], tolerances[key]) == "grows" for key in MEMORY_KEYS if key in slopes)
    cpu = samples["cpu_seconds"][-1] if "cpu_seconds" in samples else None
    return {
        "slopes": slopes,
        "errors": errors,
        "verdict": "grows" if grows else "levels off",
        "rss_end": samples["rss_kib"][-1],
        "cpu": cpu,
        "slow": summary.get("slow_host_calls", "?"),
        "without": summary.get("channel_samples_expected_without_pictures", "?"),
        "expected": summary.get("channel_samples_expected", "?"),
    }


def side_section(w, args, samples, summary):
    """This run beside runs of the same schedule under other allocator settings or other code."""
    mine = process_words(summary.get("glibc_tunables", args.allocator), summary)
    if args.side_code:
        mine = f"this module ({args.code or 'this build'}), {mine}"
    runs = [(mine, run_figures(samples, summary))]
    sides = [(side, None) for side in args.side] + [(side, "code") for side in args.side_code]
    for side, kind in sides:
        directory, _, label = side.partition("=")
        side_summary = read_summary(os.path.join(directory, "summary.txt"))
        side_samples = read_samples(os.path.join(directory, "samples.csv"))
        if kind == "code":
            words = f"the module built from {label}, {process_words(side_summary.get('glibc_tunables'), side_summary)}"
        else:
            words = process_words(label or side_summary.get("glibc_tunables"), side_summary)
        runs.append((words, run_figures(side_samples, side_summary)))
    w("## Beside it: earlier code, other allocator settings, or no hand-backs")
    w("")
    w("The same schedule (same seed, channels and cameras) run at the same time in other recorder processes: "
      "with the module built from an earlier commit, with the allocator started under other settings, "
      "or with the module's hand-backs of free memory to the system doing nothing. glibc gives each thread "
      "a cache of freed blocks and "
      "spreads the threads over up to 8 arenas per core; the settings are the process's, read when it "
      "starts (`GLIBC_TUNABLES`), so a recorder chooses them, not the module. Slopes per hour over the "
      "last third with their standard errors; the verdict is the one above, on resident memory, its "
      "anonymous part and the heap in use.")
    w("")
    w("| process | resident memory | resident anonymous | heap in use | arenas held | verdict | "
      "resident at the end (KiB) | processor seconds | host calls over 8 s | channel-samples without pictures |")
    w("|---|---|---|---|---|---|---|---|---|---|")
    for label, r in runs:
        s = r["slopes"]
        cell = lambda key: f"{fmt(s[key])} ± {fmt(r['errors'][key])}" if key in s else "n/a"  # noqa: E731
        cpu = fmt(r["cpu"]) if r["cpu"] is not None else "not recorded"
        w(f"| {label} | {cell('rss_kib')} | {cell('rss_anon_kib')} | {cell('heap_kib')} | "
          f"{cell('heap_arena_kib')} | {r['verdict']} | {fmt(r['rss_end'])} | {cpu} | {r['slow']} | "
          f"{r['without']} of {r['expected']} |")
    w("")


def fmt(value):
    if abs(value) >= 100 or value == int(value):
        return f"{value:.0f}"
    return f"{value:.2f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--png", required=True)
    parser.add_argument("--start", required=True)
    parser.add_argument("--load-start", required=True)
    parser.add_argument("--load-end", required=True)
    parser.add_argument("--command", required=True)
    parser.add_argument("--code", help="the commit the run's build came from")
    parser.add_argument("--compare", help="another run's output directory (other fault rate): per hour and per fault")
    parser.add_argument("--allocator", help="GLIBC_TUNABLES of this run, when its summary does not say")
    parser.add_argument("--side", action="append", default=[], metavar="DIR[=TUNABLES]",
                        help="a run of the same schedule beside this one under other allocator settings "
                             "(GLIBC_TUNABLES from its summary unless given)")
    parser.add_argument("--side-code", action="append", default=[], metavar="DIR=COMMIT",
                        help="a run of the same schedule beside this one with the module built from COMMIT")
    args = parser.parse_args()

    samples = read_samples(os.path.join(args.out_dir, "samples.csv"))
    compare = read_samples(os.path.join(args.compare, "samples.csv")) if args.compare else None
    names, channel_rows = read_channels(os.path.join(args.out_dir, "channels.csv"))
    summary = read_summary(os.path.join(args.out_dir, "summary.txt"))
    with open(os.path.join(args.out_dir, "events.log")) as f:
        events = f.read().splitlines()
    minutes = samples["minutes"]
    run_minutes = float(summary["minutes"])
    channels = int(summary["channels"])
    sample_seconds = float(summary["sample_seconds"])
    per_minute = 60 / sample_seconds
    pictures_per_minute = [p * per_minute for p in samples["pictures"]]
    fault_rate = float(summary.get("fault_rate", 1))
    short = run_minutes < FULL_MINUTES or channels < FULL_CHANNELS or sample_seconds > FULL_SAMPLE_SECONDS
    fph = faults_per_hour(samples)

    # Verdicts: every series of the table with its slope over the last third.
    rows = []
    fits = {}
    for key, label, tolerance in SERIES:
        slope, points = fit(minutes, samples[key])
        fits[key] = (slope, points)
        per_fault = slope / fph if fph > 0 else 0.0
        rows.append((label, samples[key][0], samples[key][-1], slope, slope_error(points), per_fault, tolerance,
                     verdict(slope, tolerance)))
    ppm_slope, ppm_points = fit(minutes[1:], pictures_per_minute[1:])
    ppm_mean = sum(v for _, v in ppm_points) / len(ppm_points) if ppm_points else 0
    ppm_tolerance = PICTURE_TOLERANCE * ppm_mean
    growing = [label for label, *_rest, word in rows if word == "grows"]
    goal_labels = [label for key, label, _ in SERIES if key in MEMORY_KEYS]
    goal_growing = [label for label in growing if label in goal_labels]

    kinds = Counter()
    for line in events:
        match = re.match(r"^\s*[\d.]+ s  (.*)$", line)
        if not match:
            continue
        text = match.group(1)
        text = re.sub(r"^(camera|channel) \d+ ", "", text)
        text = re.sub(r" for \d+ s$", "", text)
        text = re.sub(r" (x\d+ )?\(\d+\)$", "", text)
        text = re.sub(r"^input \d+ (on|off)$", "input switched", text)
        if not text.startswith("latest error"):
            kinds[text] += 1

    created = int(summary["samples_created"])
    released = int(summary["samples_released"])
    expected = int(summary["channel_samples_expected"])
    without = int(summary["channel_samples_expected_without_pictures"])
    silent = int(summary["channels_silent_at_end"])
    # A channel gets at most the camera's rate; more means pictures counted twice, or a camera that
    # sent more than its rate (cameras.csv says which).
    rate_per_minute = 60000 / float(summary["frame_interval_ms"])
    over = [r[i + 1] * per_minute for r in channel_rows[1:] for i in range(len(names))
            if r[i + 1] * per_minute > rate_per_minute * 1.1]
    camera_count = int(summary["cameras"])
    _, camera_rows = read_channels(os.path.join(args.out_dir, "cameras.csv"))
    camera_over = sum(1 for r in camera_rows[1:] for c in range(camera_count)
                      if r[c + 1] * per_minute > rate_per_minute * 1.1)
    # Channel n watches camera n % cameras; a picture or two may fall on either side of a sample.
    beyond_camera = sum(1 for r, cam in zip(channel_rows[1:], camera_rows[1:]) for i in range(len(names))
                        if cam[i % camera_count + 1] >= 0 and r[i + 1] > cam[i % camera_count + 1] + 2)

    # The plot: every series against time, the second-half fit over it.
    fig, axes = plt.subplots(4, 2, figsize=(12, 13))
    panels = [(key, label) for key, label, _ in SERIES] + [("ppm", "pictures per minute, all channels"),
                                                         ("channels", "pictures per minute, each channel")]
    for ax, (key, label) in zip(axes.flat, panels):
        if key == "channels":
            for i in range(len(names)):
                ax.plot([r[0] for r in channel_rows[1:]], [r[i + 1] * per_minute for r in channel_rows[1:]],
                        linewidth=0.6)
        elif key == "ppm":
            ax.plot(minutes[1:], pictures_per_minute[1:], marker=".", linewidth=1)
        else:
            ax.plot(minutes, samples[key], marker=".", linewidth=1)
            slope, points = fits[key]
            if len(points) >= 2:
                n = len(points)
                mx = sum(m for m, _ in points) / n
                my = sum(v for _, v in points) / n
                xs = [points[0][0], points[-1][0]]
                ax.plot(xs, [my + slope / 60 * (x - mx) for x in xs], color="red", linewidth=1.5,
                        label=f"last third: {fmt(slope)}/h")
                ax.legend(loc="best", fontsize=8)
        ax.set_title(label, fontsize=10)
        ax.set_xlabel("minutes")
        ax.grid(alpha=0.3)
    title = f"soak: {channels} channels, {fmt(run_minutes)} min, seed {summary['seed']}"
    if fault_rate != 1:
        title += f", faults {fmt(fault_rate)} times as often"
    if short:
        title += " (short validation run)"
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(args.png, dpi=80)

    png_name = os.path.basename(args.png)
    out = []
    w = out.append
    w("# Soak" + (f", faults {fmt(fault_rate)} times as often" if fault_rate != 1 else ""))
    w("")
    if short:
        w(f"**Short validation run** ({fmt(run_minutes)} min, {channels} channels, a sample every "
          f"{fmt(sample_seconds)} s): it checks the soak itself. Slopes per hour extrapolated from a few "
          f"minutes include the start-up and say little; a run of {FULL_MINUTES} minutes or more with "
          f"{FULL_CHANNELS} channels on an idle machine is the measurement.")
        w("")
    w("One recorder process (`bench/soak.cpp`, on the hostkit host objects) loads the module and runs "
      f"{channels} channels over {summary['cameras']} camsim cameras (codecs cycling Motion JPEG, MPEG-4, "
      "H.264; 320x240, 10 pictures per second) while faults arrive on a seeded schedule. "
      "Regenerate with `bench/run_soak.sh [MINUTES] [CHANNELS]` (Release build in `build-bench`); "
      "`--fault-rate N` makes the faults N times as frequent, to tell growth that follows time from "
      "growth that follows faults.")
    w("")
    w(f"- Command: `{args.command}`" + (f" on {args.code}" if args.code else ""))
    w(f"- Date: {args.start}. Machine: {machine()}.")
    w(f"- Allocator: glibc {libc_version()}, " + allocator_words(summary.get("glibc_tunables", args.allocator)) + ".")
    w("- The module's hand-backs of free memory to the system (`malloc_trim`): " + give_back_words(summary) + ".")
    w(f"- Load average (1, 5, 15 min) at the start {args.load_start}, at the end {args.load_end}.")
    w(f"- Seed {summary['seed']}; a fault every {fmt(float(summary['fault_seconds']))} s on average "
      f"({summary['faults']} in all); a sample every {fmt(sample_seconds)} s; {summary['host_calls']} host "
      f"calls, {summary['slow_host_calls']} of them over 8 s; {summary['dropped_jobs']} host jobs dropped "
      "behind a stalled call.")
    w("- Faults and host actions: "
      + (", ".join(f"{k} {v}" for k, v in sorted(kinds.items(), key=lambda kv: -kv[1])) or "none") + ".")
    w("")
    w("## Growth over the last third of the run")
    w("")
    w("Least-squares slope of each series over the samples of the last third, per hour and per fault "
      f"({fmt(fph)} faults per hour there); a series \"levels off\" when its slope per hour stays within "
      "the tolerance, else it \"grows\". The standard error is how far the samples' scatter about the "
      "line alone could move the slope (taking the samples as independent, so at least that far).")
    w("")
    w("| series | first sample | last sample | slope per hour | ± standard error | per fault | tolerance per hour | verdict |")
    w("|---|---|---|---|---|---|---|---|")
    for label, first, last, slope, error, per_fault, tolerance, word in rows:
        w(f"| {label} | {fmt(first)} | {fmt(last)} | {fmt(slope)} | {fmt(error)} | {fmt(per_fault)} | "
          f"{fmt(tolerance)} | {word} |")
    w(f"| pictures per minute, all channels | {fmt(pictures_per_minute[1] if len(minutes) > 1 else 0)} | "
      f"{fmt(pictures_per_minute[-1])} | {fmt(ppm_slope)} | {fmt(slope_error(ppm_points))} | | {fmt(ppm_tolerance)} "
      f"({int(PICTURE_TOLERANCE * 100)} % of the mean) | {picture_verdict(ppm_slope, ppm_tolerance)} |")
    w("")
    if goal_growing:
        w("Memory grows: " + ", ".join(goal_growing) + ".")
    else:
        w("Memory levels off: resident memory and the heap in use rise by no more than "
          f"{SERIES[0][2]} KiB per hour.")
    others = [label for label in growing if label not in goal_labels]
    if others:
        w("Also growing: " + ", ".join(others) + ".")
    started = float(summary.get("threads_started", 0))
    if started:
        w("")
        started_slope, _ = fit(minutes, samples["threads_started"])
        w(f"Threads started in the run: {fmt(started)}, over the last third {fmt(started_slope)} per hour "
          f"({fmt(started_slope / fph if fph else 0)} per fault); allocator arenas at the end: "
          f"{summary.get('arenas', '?')}.")
    arenas = read_arenas(os.path.join(args.out_dir, "malloc_info.xml"))
    if arenas:
        w("")
        w(f"The allocator at the end of the schedule (malloc_info): {len(arenas)} arenas hold "
          f"{fmt(sum(a for a, _ in arenas))} KiB from the system, of it {fmt(sum(f for _, f in arenas))} KiB "
          f"free; per arena (KiB held / free): "
          + ", ".join(f"{fmt(a)}/{fmt(f)}" for a, f in arenas) + ".")
    w("")
    # Growth that slows as the run goes on is not the straight line the last third's slope suggests:
    # the memory series against a line and against a logarithm of the time, after the warm-up.
    log_start = max(10.0, run_minutes / 6)
    curves = [(label, curve_fits(minutes, samples[key], log_start)) for key, label, _ in SERIES
              if key in MEMORY_KEYS]
    if all(c is not None for _, c in curves) and run_minutes > log_start:
        year_factor = math.log(365 * 24 * 60 / run_minutes)
        w("## Line or logarithm")
        w("")
        w(f"From minute {fmt(log_start)} to the end, each memory series fitted as a straight line in time "
          "and as c + a ln(minutes): the fit whose residuals are smaller describes the growth better. "
          "For a logarithm, the growth per doubling of the run time and what the curve, carried on, "
          "would add from the end of this run to a year of running.")
        w("")
        w("| series | line: KiB per hour | line: residual sd | logarithm: KiB per doubling | "
          "logarithm: residual sd | closer fit | a year on the logarithm, KiB more |")
        w("|---|---|---|---|---|---|---|")
        for label, (per_hour, line_sd, a, log_sd) in curves:
            closer = "logarithm" if log_sd < line_sd else "line"
            w(f"| {label} | {fmt(per_hour)} | {fmt(line_sd)} | {fmt(a * math.log(2))} | {fmt(log_sd)} | "
              f"{closer} | {fmt(a * year_factor)} |")
        w("")
    if compare is not None:
        w("## Time or faults")
        w("")
        w("The same series in a run with another fault rate: growth that follows time keeps its slope per "
          "hour, growth that follows faults keeps its slope per fault.")
        w("")
        other_fph = faults_per_hour(compare)
        w(f"| series | this run, per hour | per fault ({fmt(fph)}/h) | other run, per hour | "
          f"per fault ({fmt(other_fph)}/h) |")
        w("|---|---|---|---|---|")
        for key, label, _ in SERIES:
            if key not in compare:
                continue
            mine, _ = fit(minutes, samples[key])
            theirs, _ = fit(compare["minutes"], compare[key])
            w(f"| {label} | {fmt(mine)} | {fmt(mine / fph if fph else 0)} | {fmt(theirs)} | "
              f"{fmt(theirs / other_fph if other_fph else 0)} |")
        w("")
    if args.side or args.side_code:
        side_section(w, args, samples, summary)
    w("## At the end")
    w("")
    w(f"- Samples created {created}, released {released}: "
      + ("every sample was released once." if created == released else f"{created - released} not released."))
    w(f"- Threads: {summary['threads_before_open']} before the first Open, {summary['threads_after_delete']} "
      f"after every driver was deleted. Descriptors: {summary['fds_before_open']} before, "
      f"{summary['fds_after_delete']} after. Deleting every driver took {fmt(float(summary['delete_all_ms']))} ms.")
    w(f"- Channel-samples in which a wanted channel of a camera that was up and took the recorder's credentials "
      f"was untouched by any fault from {summary['grace_seconds']} s before the interval to its end: {expected}; "
      f"of these without a picture: {without}.")
    w(f"- After the schedule ended and every camera was up: {silent} of {channels} channels without a picture "
      f"in 5 s after a {summary['grace_seconds']} s wait.")
    w(f"- Channel-samples above the camera's {fmt(rate_per_minute)} pictures per minute (by more than 10 %): "
      + (f"{len(over)}, the highest {fmt(max(over))} per minute" if over else "none")
      + f"; camera-samples in which camsim itself sent more than that: {camera_over}; channel-samples with "
      f"more pictures than their camera sent: {beyond_camera}.")
    w(f"- Digital I/O: {summary['io_input_changes']} input changes and {summary['io_failures']} failures "
      "reported to the recorder.")
    w(f"- Diagnostic lines {summary['debug_lines']}, of them errors {summary['debug_errors']}.")
    w("")
    w(f"![every series against time]({png_name})")
    w("")
    with open(args.results, "w") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main()
