#!/usr/bin/env python3
"""Turns a Wine soak output directory (c_host --soak) into bench/WINE_SOAK_RESULTS.md and bench/wine_soak.png.

Every figure and every verdict in the results file is computed here from the run's samples and summary;
the tolerances below are the only numbers written by hand, and the file states them.
"""
import argparse
import csv
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ beside the results
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from soak_report import fit, fmt, machine, slope_error, verdict  # noqa: E402  (sets matplotlib's Agg backend)

import matplotlib.pyplot as plt  # noqa: E402

# Series of samples.csv, how they are shown, the growth per hour up to which a series "levels off",
# and why that much.
SERIES = [
    ("private_kib", "private bytes (KiB)", 64,
     "as on Linux: what the module holds must be bounded by what it serves; 64 KiB an hour is 45 MiB a month"),
    ("working_set_kib", "working set (KiB)", 256,
     "also holds pages of mapped files (the DLL's and Wine's code, paged in as paths run the first time)"),
    ("handles", "handles", 60,
     "a sample catches a varying number of channels in a reconnect, each holding a few sockets, events and "
     "threads for a moment (tens of handles of noise); the schedule brings about 1200 faults an hour, so one "
     "handle kept by one fault kind in twelve (about 100 an hour) exceeds it"),
    ("threads", "threads", 10,
     "the same reasoning: a few threads of noise per sample, and one thread kept by one fault kind in twelve "
     "is about 100 an hour"),
    ("outstanding", "samples created - released", 10, "pictures in flight at the moment of a sample"),
]
GOAL = ("private_kib", "handles", "threads")  # the leak checks; the others explain them


def read_samples(path):
    with open(path) as f:
        rows = list(csv.DictReader(f))
    data = {key: [float(r[key]) for r in rows] for key in rows[0]}
    data["minutes"] = [s / 60 for s in data["seconds"]]
    return data


def read_summary(path):
    values = {}
    with open(path) as f:
        for line in f:
            name, _, value = line.strip().partition(" ")
            if name:
                values[name] = value
    return values


def num(summary, name, default=0):
    try:
        return int(float(summary.get(name, default)))
    except ValueError:
        return default


def census(summary, when):
    prefix = f"handles_{when}."
    return {k[len(prefix):]: num(summary, k) for k in summary if k.startswith(prefix)}


def plot(samples, path):
    minutes = samples["minutes"]
    fig, axes = plt.subplots(4, 1, figsize=(9, 11), sharex=True)
    axes[0].plot(minutes, [v / 1024 for v in samples["private_kib"]], label="private bytes")
    axes[0].plot(minutes, [v / 1024 for v in samples["working_set_kib"]], label="working set")
    axes[0].set_ylabel("MiB")
    axes[1].plot(minutes, samples["handles"], color="tab:red")
    axes[1].set_ylabel("handles")
    axes[2].plot(minutes, samples["threads"], color="tab:green")
    axes[2].set_ylabel("threads")
    rate = [0.0] + [(b - a) / max(m2 - m1, 1e-9) for a, b, m1, m2 in
                    zip(samples["pictures"], samples["pictures"][1:], minutes, minutes[1:])]
    axes[3].plot(minutes, rate, color="tab:purple", label="pictures per minute")
    axes[3].set_ylabel("pictures / min")
    twin = axes[3].twinx()
    twin.plot(minutes, samples["faults"], color="tab:gray", label="faults so far")
    twin.set_ylabel("faults")
    start = minutes[-1] * 2 / 3
    for ax in axes:
        ax.axvspan(start, minutes[-1], color="0.92", zorder=0)
        ax.grid(alpha=0.3)
    axes[0].legend(loc="lower right")
    axes[3].set_xlabel("minutes (shaded: the last third, where the slopes are fitted)")
    fig.suptitle("quenlark_ipcapture.dll under Wine: soak of the C recorder")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--png", required=True)
    parser.add_argument("--start", default="")
    parser.add_argument("--load-start", default="")
    parser.add_argument("--load-end", default="")
    parser.add_argument("--command", default="bench/run_wine_soak.sh")
    parser.add_argument("--wine", default="")
    args = parser.parse_args()

    samples = read_samples(os.path.join(args.out_dir, "samples.csv"))
    summary = read_summary(os.path.join(args.out_dir, "summary.txt"))
    minutes = samples["minutes"]
    faults_per_hour, _ = fit(minutes, samples["faults"])
    pictures_per_hour, _ = fit(minutes, samples["pictures"])
    plot(samples, args.png)

    rows, grows, loose = [], [], []
    for key, label, tolerance, _ in SERIES:
        slope, points = fit(minutes, samples[key])
        per_fault = slope / faults_per_hour if faults_per_hour > 0 else 0.0
        result = verdict(slope, tolerance)
        if result == "grows" and key in GOAL:
            grows.append(label)
        upper = slope + 2 * slope_error(points)
        if result == "levels off" and upper > tolerance:
            loose.append(f"{label}: the slope plus two standard errors is {fmt(upper)} per hour")
        rows.append(f"| {label} | {fmt(samples[key][0])} | {fmt(min(samples[key]))} | {fmt(max(samples[key]))} | "
                    f"{fmt(samples[key][-1])} | {fmt(slope)} | {fmt(slope_error(points))} | {per_fault:.3f} | "
                    f"{fmt(tolerance)} | {result} |")

    cold_t, warm_t, end_t = (num(summary, f"threads_{w}") for w in ("before_first_open", "after_warm_up",
                                                                     "after_last_delete"))
    cold_h, warm_h, end_h = (num(summary, f"handles_{w}") for w in ("before_first_open", "after_warm_up",
                                                                     "after_last_delete"))
    cold_c, warm_c, end_c = (census(summary, w) for w in ("before_first_open", "after_warm_up", "after_last_delete"))
    back_threads = end_t <= warm_t
    back_handles = end_h <= warm_h
    types = sorted(set(cold_c) | set(warm_c) | set(end_c))
    type_rows = [f"| {t} | {cold_c.get(t, 0)} | {warm_c.get(t, 0)} | {end_c.get(t, 0)} | "
                 f"{end_c.get(t, 0) - warm_c.get(t, 0):+d} |" for t in types]

    faults = num(summary, "faults")
    kinds = sorted((k[len("faults."):], num(summary, k)) for k in summary if k.startswith("faults."))
    span = minutes[-1] if minutes else 0
    status = num(summary, "exit_status", -1)
    clean = (num(summary, "samples_outstanding", -1) == 0 and num(summary, "unexpected_slot_calls", -1) == 0
             and num(summary, "unloaded") == 1 and num(summary, "open_failures", -1) == 0)

    if not grows and back_threads and back_handles:
        headline = ("Private bytes, handles and threads level off over the last third, and after the last delete "
                    "threads and handles are back to their counts after the warm-up: no leak of the Windows "
                    "backends shows in this run.")
    else:
        parts = []
        if grows:
            parts.append("grows over the last third: " + ", ".join(grows))
        if not back_threads:
            parts.append(f"{end_t - warm_t} threads more after the last delete than after the warm-up")
        if not back_handles:
            parts.append(f"{end_h - warm_h} handles more after the last delete than after the warm-up")
        headline = "A leak shows: " + "; ".join(parts) + "."

    lines = [
        "# Soak of the Windows DLL under Wine",
        "",
        "The C recorder (`tests/windows/c_host`, `--soak`) loads the x64 `quenlark_ipcapture.dll` under Wine and "
        f"keeps {num(summary, 'drivers')} drivers (one channel each, the codecs cycling) streaming from "
        f"{num(summary, 'cameras')} camsim cameras (Digest and Basic logins, PTZ, I/O) while faults arrive on a "
        "seeded schedule: channels stopped and started, restarted, started again, a second `Open`, I/O sessions "
        "with outputs switched, PTZ moves and presets, capability queries with the right and a wrong password, "
        "drivers deleted and made again with another codec and export pair, and on the camera side CGI errors, "
        "stalls and dropped connections, all RTSP connections closed, sessions forgotten. A thread of the "
        "recorder samples the process itself. This file and `bench/wine_soak.png` are written by "
        "`bench/wine_soak_report.py` from the run's samples; the tolerances are the only figures set by hand.",
        "",
        f"**{headline}**",
        "",
        "## Run",
        "",
        f"- Command: `{args.command}` (seed {summary.get('seed', '?')}), started {args.start}",
        f"- Machine: {machine()}; Wine: {args.wine or 'unknown'}",
        f"- Load average (1, 5, 15 min): {args.load_start} at the start, {args.load_end} at the end",
        f"- {len(minutes)} samples every {summary.get('sample_seconds', '?')} s over {span:.1f} minutes; "
        f"{faults} faults (mean gap {summary.get('fault_seconds', '?')} s; {fmt(faults_per_hour)} an hour over the "
        f"last third), {num(summary, 'pictures')} pictures ({fmt(pictures_per_hour / 60)} a minute over the last "
        "third)",
        "- Faults by kind: " + ", ".join(f"{name} {count}" for name, count in kinds),
        f"- Drivers that failed to open: {num(summary, 'open_failures')}; capability queries with the right "
        f"password that failed: {num(summary, 'query_failures')}; module error lines: "
        f"{num(summary, 'module_error_lines')} of {num(summary, 'module_lines')} (faults cause them)",
        f"- At the end: samples outstanding {num(summary, 'samples_outstanding')}, unexpected slot calls "
        f"{num(summary, 'unexpected_slot_calls')}, DLL unloaded {'yes' if num(summary, 'unloaded') else 'no'}, "
        f"exit status {status}" + ("" if clean and status == 0 else " (not clean)"),
        "",
        "## Growth over the last third",
        "",
        "Least-squares slope over the last third of the run, per hour and per fault (the slope per hour divided "
        "by the faults per hour); ± is the standard error of that slope, what the samples' scatter leaves open in a "
        "run this short (the verdict compares the slope itself with the tolerance, as on Linux). Private bytes are "
        "the committed private regions of the address space, summed with `VirtualQuery` (the `PrivateUsage` of "
        "`GetProcessMemoryInfo` answers at most "
        f"{fmt(max(samples['private_usage_kib']))} KiB under this Wine), the working set is that of "
        "`GetProcessMemoryInfo`, handles are counted by walking the handle table (Wine's `GetProcessHandleCount` "
        f"answers {summary.get('handle_count_api', '?')}), threads with a Toolhelp snapshot.",
        "",
        "| series | first | min | max | last | per hour | ± per hour | per fault | tolerance per hour | verdict |",
        "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |",
        *rows,
        "",
        *(["The scatter leaves growth above the tolerance open for: " + "; ".join(loose) + ".", ""] if loose else []),
        "Tolerances:",
        "",
        *[f"- {label}: {fmt(tolerance)} per hour; {why}." for _, label, tolerance, why in SERIES],
        "",
        "## Threads and handles before the first Open and after the last delete",
        "",
        "Before the first `Open` (the DLL loaded and each camera's capabilities queried), after a warm-up round "
        "(every driver opened, streaming, one fault of each kind, every driver deleted: what is made once per "
        "process exists from then on) and after the run's last delete. After each delete the recorder waits, at "
        "most 30 s, for the counts to come down.",
        "",
        "| | before the first Open | after the warm-up | after the last delete |",
        "| --- | ---: | ---: | ---: |",
        f"| threads | {cold_t} | {warm_t} | {end_t} |",
        f"| handles | {cold_h} | {warm_h} | {end_h} |",
        "",
        f"Threads {'are back to' if back_threads else 'do not come back to'} the warm-up count "
        f"({end_t - warm_t:+d}); handles {'are back to' if back_handles else 'do not come back to'} it "
        f"({end_h - warm_h:+d}). Against the count before the first Open: threads {end_t - cold_t:+d}, handles "
        f"{end_h - cold_h:+d}.",
        "",
        "Handles by type:",
        "",
        "| type | before the first Open | after the warm-up | after the last delete | last delete - warm-up |",
        "| --- | ---: | ---: | ---: | ---: |",
        *type_rows,
        "",
        "![private bytes, working set, handles, threads and pictures over the run](wine_soak.png)",
        "",
    ]
    with open(args.results, "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
