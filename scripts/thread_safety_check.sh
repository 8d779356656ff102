#!/usr/bin/env bash
# Runs clang's thread-safety analysis over every translation unit of the module and its tools
# (not the tests, benchmarks or fuzz targets), with the include paths and defines of a configured
# build, and fails on any warning. Only parses (-fsyntax-only): no code is generated or linked.
# Usage: scripts/thread_safety_check.sh [BUILD_DIR]   (default: build; needs compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
exec python3 - "$PWD" "$build_dir" "${CLANGXX:-clang++}" <<'PY'
import concurrent.futures
import json
import os
import shlex
import subprocess
import sys
import time

root, build_dir, clang = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3]
database = os.path.join(build_dir, "compile_commands.json")
if not os.path.isfile(database):
    sys.exit(f"thread-safety check: {database} is missing; configure the build first")

skipped_dirs = ("tests", "bench", "fuzz")
# Flags that decide how the code parses; warnings, optimisation and code generation are left out.
kept_with_value = ("-I", "-isystem", "-iquote", "-D", "-U", "-include")
kept_alone = ("-std=", "-pthread", "-fno-exceptions", "-fno-rtti")


def wanted(path):
    path = os.path.realpath(path)
    if not path.startswith(root + os.sep) or path.startswith(build_dir + os.sep):
        return False
    top = os.path.relpath(path, root).split(os.sep)[0]
    return top not in skipped_dirs and not top.startswith("build")


def parse_flags(entry):
    args = entry.get("arguments") or shlex.split(entry["command"])
    flags, i = [], 1
    while i < len(args):
        arg = args[i]
        if arg in kept_with_value and i + 1 < len(args):
            flags += [arg, args[i + 1]]
            i += 2
            continue
        if arg.startswith(kept_with_value + kept_alone):
            flags.append(arg)
        i += 1
    return flags


units = {}
for entry in json.load(open(database)):
    source = os.path.join(entry["directory"], entry["file"])
    if wanted(source):
        units.setdefault(os.path.realpath(source), entry)  # one parse per source file


def check(item):
    source, entry = item
    command = [clang, "-fsyntax-only", "-Wthread-safety", "-Werror=thread-safety", *parse_flags(entry), source]
    done = subprocess.run(command, cwd=entry["directory"], capture_output=True, text=True)
    return source, done.returncode, (done.stdout + done.stderr).strip()


# The check must be able to fail: a deliberately unguarded access has to be reported, or the
# annotations are switched off (a compiler that is not clang, a macro defined away) and a clean
# run would prove nothing.
CANARY = """
#include "thread/annotated_mutex.h"
#include "thread/spin_mutex.h"
struct Canary {
  korvalt::CSpinMutex SpinLock;
  int SpinGuarded QL_GUARDED_BY(SpinLock) = 0;
  korvalt::CMutex Lock;
  int Guarded QL_GUARDED_BY(Lock) = 0;
  void Touch() { ++SpinGuarded; ++Guarded; }
};
"""
canary = subprocess.run([clang, "-x", "c++", "-std=c++20", "-fsyntax-only", "-Wthread-safety", "-I", root, "-"],
                        input=CANARY, capture_output=True, text=True)
for lock in ("SpinLock", "Lock"):
    if f"requires holding mutex '{lock}'" not in canary.stderr:
        print(canary.stdout + canary.stderr)
        sys.exit(f"thread-safety check: an unguarded access under {lock} went unreported; the analysis is not working")

start = time.monotonic()
failed = []
jobs = os.cpu_count() or 2
with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
    for source, code, output in pool.map(check, sorted(units.items())):
        # Any diagnostic fails the check, not only the analysis' own.
        if code != 0 or output:
            failed.append(source)
            print(output, flush=True)
elapsed = time.monotonic() - start
print(f"thread-safety check: {len(units)} translation units, {len(failed)} with diagnostics, "
      f"{elapsed:.0f} s on {jobs} jobs")
sys.exit(1 if failed or not units else 0)
PY
