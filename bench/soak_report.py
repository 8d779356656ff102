#!/usr/bin/env python3
"""Turns a soak_bench output directory into bench/SOAK_RESULTS.md and bench/soak.png.

Every figure and every verdict in the results file is computed here from the run's samples; the
tolerances below are the only numbers written by hand, and the file states them.
"""
import argparse
import csv
import os
import platform
import re
from collections import Counter

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# Series of samples.csv, how they are shown, and the growth per hour up to which a series is "flat".
SERIES = [
    # Descriptors, threads and heap follow how many channels are reconnecting at the moment of a sample
    # (tens of descriptors, a few MiB); their tolerances sit above that noise, below one per reconnect.
    ("rss_kib", "resident memory (KiB)", 2048),
    # Its two parts: anonymous pages (heap, arenas, stacks) and pages of mapped files (code and data
    # of the libraries, paged in as paths run for the first time). Older runs lack them.
    ("rss_anon_kib", "resident anonymous memory (KiB)", 2048),
    ("rss_file_kib", "resident file pages (KiB)", 2048),
    # The allocator's arenas and the free part of them: memory freed but kept, not leaked.
    ("heap_arena_kib", "allocator arenas, mallinfo2 (KiB)", 4096),
    ("heap_free_kib", "free in the arenas, mallinfo2 (KiB)", 4096),
    ("heap_kib", "heap in use, mallinfo2 (KiB)", 4096),
    ("fds", "open descriptors", 40),
    ("threads", "threads", 20),
    ("outstanding", "samples created - released", 10),
    ("preset_bytes", "preset files (bytes)", 1024),
]
PICTURE_TOLERANCE = 0.10  # pictures per minute: flat within 10 % of their second-half mean per hour
FULL_MINUTES, FULL_CHANNELS, FULL_SAMPLE_SECONDS = 60, 32, 60


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


def slope_per_hour(minutes, values):
    """Least-squares slope over the second half of the run, per hour, and the points it used."""
    half = minutes[-1] / 2
    points = [(m, v) for m, v in zip(minutes, values) if m >= half]
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


def verdict(slope, tolerance):
    if slope > tolerance:
        return "grows"
    if slope < -tolerance:
        return "falls"
    return "flat"


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
    args = parser.parse_args()

    samples = read_samples(os.path.join(args.out_dir, "samples.csv"))
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
    short = run_minutes < FULL_MINUTES or channels < FULL_CHANNELS or sample_seconds != FULL_SAMPLE_SECONDS

    # Verdicts: every series of the table with its second-half slope.
    rows = []
    fits = {}
    for key, label, tolerance in SERIES:
        slope, points = slope_per_hour(minutes, samples[key])
        fits[key] = (slope, points)
        rows.append((label, samples[key][0], samples[key][-1], slope, tolerance, verdict(slope, tolerance)))
    ppm_slope, ppm_points = slope_per_hour(minutes[1:], pictures_per_minute[1:])
    ppm_mean = sum(v for _, v in ppm_points) / len(ppm_points) if ppm_points else 0
    ppm_tolerance = PICTURE_TOLERANCE * ppm_mean
    growing = [label for label, *_rest, word in rows if word == "grows"]

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
                        label=f"second half: {fmt(slope)}/h")
                ax.legend(loc="best", fontsize=8)
        ax.set_title(label, fontsize=10)
        ax.set_xlabel("minutes")
        ax.grid(alpha=0.3)
    title = f"soak: {channels} channels, {fmt(run_minutes)} min, seed {summary['seed']}"
    if short:
        title += " (short validation run)"
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(args.png, dpi=80)

    png_name = os.path.basename(args.png)
    out = []
    w = out.append
    w("# Soak")
    w("")
    if short:
        w(f"**Short validation run** ({fmt(run_minutes)} min, {channels} channels, a sample every "
          f"{fmt(sample_seconds)} s): it checks the soak itself. Slopes per hour extrapolated from a few "
          "minutes include the start-up and say little; the hour-long run with 32 channels on an idle "
          "machine is the measurement.")
        w("")
    w("One recorder process (`bench/soak.cpp`, on the hostkit host objects) loads the module and runs "
      f"{channels} channels over {summary['cameras']} camsim cameras (codecs cycling Motion JPEG, MPEG-4, "
      "H.264; 320x240, 10 pictures per second) while faults arrive on a seeded schedule. "
      "Regenerate with `bench/run_soak.sh [MINUTES] [CHANNELS]` (Release build in `build-bench`).")
    w("")
    w(f"- Command: `{args.command}`")
    w(f"- Date: {args.start}. Machine: {machine()}.")
    w(f"- Load average (1, 5, 15 min) at the start {args.load_start}, at the end {args.load_end}.")
    w(f"- Seed {summary['seed']}; a fault every {fmt(float(summary['fault_seconds']))} s on average "
      f"({summary['faults']} in all); a sample every {fmt(sample_seconds)} s; {summary['host_calls']} host "
      f"calls, {summary['slow_host_calls']} of them over 8 s; {summary['dropped_jobs']} host jobs dropped "
      "behind a stalled call.")
    w("- Faults and host actions: "
      + (", ".join(f"{k} {v}" for k, v in sorted(kinds.items(), key=lambda kv: -kv[1])) or "none") + ".")
    w("")
    w("## Growth over the second half of the run")
    w("")
    w("Least-squares slope of each series over the samples of the second half, per hour; a series is "
      "\"flat\" when the slope stays within the tolerance, else \"grows\" (or \"falls\").")
    w("")
    w("| series | first sample | last sample | slope per hour | tolerance per hour | verdict |")
    w("|---|---|---|---|---|---|")
    for label, first, last, slope, tolerance, word in rows:
        w(f"| {label} | {fmt(first)} | {fmt(last)} | {fmt(slope)} | {fmt(tolerance)} | {word} |")
    w(f"| pictures per minute, all channels | {fmt(pictures_per_minute[1] if len(minutes) > 1 else 0)} | "
      f"{fmt(pictures_per_minute[-1])} | {fmt(ppm_slope)} | {fmt(ppm_tolerance)} "
      f"({int(PICTURE_TOLERANCE * 100)} % of the mean) | {verdict(ppm_slope, ppm_tolerance)} |")
    w("")
    if growing:
        w("Growing in this run: " + ", ".join(growing) + ".")
    else:
        w("No series grows beyond its tolerance in this run.")
    w("")
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
