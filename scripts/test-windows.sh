#!/usr/bin/env bash
# Runs the Windows side of the module under Wine, `test-windows.sh x64` (the default) under wine64,
# `x86` under Wine's 32-bit loader (scripts/windows-arch.sh; skipped with one line where this
# machine cannot run 32-bit programs; its C recorder calls with a 4-byte aligned stack): the
# platform layer, the preset store over the system DOM (its files byte for byte
# those of the Linux build, tests/windows/presets_golden/, also under a non-ASCII directory), and
# the WinHTTP sender against camsim (running natively, reached on 127.0.0.1) with Digest (with and
# without qop), Basic, and an abort of a request to a server that never answers; then the C
# recorder (tests/windows/c_host/) drives the DLL itself: capability query, video of each codec,
# reconnects after the camera closes the RTSP connection (the process's event handles counted
# before and after), digital I/O, PTZ and presets, Digest and Basic logins, destruction and
# unload; and a minute of channel restarts across eight drivers must leave no handle or thread
# behind (its soak mode, handles counted by type). Needs the normal Linux build's camsim (build/bin/camsim, built when missing), or the one
# QUENLARK_CAMSIM_EXECUTABLE names.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# shellcheck source=scripts/windows-arch.sh
source scripts/windows-arch.sh

arch=${1:-x64}
jobs=${QUENLARK_JOBS:-$(nproc)}
windows_arch "$arch"
if [ -n "$skipped" ]; then
  echo "windows $arch programs: skipped: $skipped"
  exit 0
fi
cmake --preset "windows-$arch" >/dev/null
nice cmake --build "$build" -j "$jobs" --target windows_platform_smoke windows_http_smoke \
  windows_presets_smoke c_host
camsim=${QUENLARK_CAMSIM_EXECUTABLE:-build/bin/camsim}
if [ ! -x "$camsim" ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUENLARK_BUILD_BENCH=OFF >/dev/null
  nice cmake --build build -j "$jobs" --target camsim
  camsim=build/bin/camsim
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}" $(cat "$work"/*.pid 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

"${wine[@]}" "$build/bin/windows_platform_smoke.exe"

echo "== presets"
mkdir -p "$work/presets"
"${wine[@]}" "$build/bin/windows_presets_smoke.exe" "Z:$work/presets/" "Z:$PWD/tests/windows/presets_golden/"
# A recorder installed under a directory named outside ASCII: the store beside the executable.
exe_dir="$work/presets/Prüfung Ωμέγα"
mkdir -p "$exe_dir"
cp "$build/bin/windows_presets_smoke.exe" "$exe_dir/"
"${wine[@]}" "$exe_dir/windows_presets_smoke.exe" --exe-dir
cmp "$exe_dir/smoke.xml" tests/windows/presets_golden/smoke.xml

# A server that accepts connections and never answers.
python3 - >"$work/silent" <<'PY' &
import socket
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(16)
print(server.getsockname()[1], flush=True)
held = []
while True:
    connection, _ = server.accept()
    held.append(connection)
PY
pids+=($!)

start_camsim() {  # name, camsim options...; called as $(...), so its pid goes to a file
  local name=$1
  shift
  "$camsim" "$@" >"$work/$name" 2>&1 &
  echo $! >"$work/$name.pid"
  for _ in $(seq 100); do
    grep -q '^camsim ready' "$work/$name" && break
    sleep 0.1
  done
  sed -n 's/^camsim ready http=\([0-9]*\).*/\1/p' "$work/$name"
}

for _ in $(seq 100); do
  [ -s "$work/silent" ] && break
  sleep 0.1
done
silent=$(head -1 "$work/silent")
for auth in "digest --digest-qop yes" "digest --digest-qop no" "basic"; do
  # shellcheck disable=SC2086
  port=$(start_camsim "camsim-${auth// /-}" --auth $auth)
  echo "== HTTP with --auth $auth"
  "${wine[@]}" "$build/bin/windows_http_smoke.exe" "$port" admin secret "$silent"
done
# Credentials longer than the RTSP header's 72 bytes still go over HTTP, as with libcurl.
long_password=$(printf 'p%.0s' $(seq 100))
for auth in "basic" "digest --digest-qop yes"; do
  # shellcheck disable=SC2086
  port=$(start_camsim "camsim-long-${auth// /-}" --auth $auth --password "$long_password")
  echo "== HTTP with --auth $auth and a 100-character password"
  "${wine[@]}" "$build/bin/windows_http_smoke.exe" "$port" admin "$long_password" "$silent"
done

echo "== C recorder driving quenlark_ipcapture.dll"
# The recorder runs from a directory of its own: the preset file is written beside it.
host_dir="$work/c_host"
mkdir -p "$host_dir"
cp "$build/bin/c_host.exe" "$host_dir/"
digest_port=$(start_camsim camsim-host-digest --auth digest --ptz yes --inputs 2 --outputs 2)
basic_port=$(start_camsim camsim-host-basic --auth basic)
started=$(date +%s.%N)
status=0
# Bounded: a call that never returns must fail the run, not hang it.
timeout 180 "${wine[@]}" "$host_dir/c_host.exe" "Z:$PWD/$build/bin/quenlark_ipcapture.dll" "$digest_port" \
  "$basic_port" 2 >"$work/c_host.json" || status=$?
seconds=$(python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.1f}')" "$started" "$(date +%s.%N)")
python3 - "$work/c_host.json" "$host_dir" "$status" "$seconds" "$arch" <<'PY'
import json, pathlib, sys

path, host_dir, status, seconds, arch = sys.argv[1], pathlib.Path(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
text = open(path, encoding="utf-8").read()
try:
    run = json.loads(text)
except ValueError:
    sys.exit(f"c_host: no JSON (exit status {status}): {text[:2000]}")
failures = []
def check(ok, what):
    if not ok:
        failures.append(what)

jobs = ["capability", "login_digest", "login_basic", "reconnects", "io", "ptz", "destruction"]
for job in jobs:
    check(run.get(job, {}).get("passed") is True, f"job {job}")
codecs = run.get("streaming", {})
for codec in ("h264", "mpeg4", "mjpeg"):
    figures = codecs.get(codec, {})
    check(figures.get("passed") is True, f"job streaming {codec}")
    check(figures.get("pictures", 0) > 0, f"{codec}: no pictures")
    check(figures.get("decode_errors") == 0, f"{codec}: decode errors")
    check(figures.get("samples_created") == figures.get("samples_released"), f"{codec}: samples not released")
for login in ("login_digest", "login_basic"):
    figures = run.get(login, {})
    check(figures.get("right_password_completed") is True, f"{login}: right password refused")
    check(figures.get("wrong_password_message") == "Failed to get camera properties", f"{login}: wrong password")

# The preset file as read back by the recorder, and as it stays on disk.
preset = "\t\t<Preposition000>\n\t\t\t\t<Name value=\"Gate \u03a9\">\n\t\t\t</Name>\n\t\t\t\t<Slot value=\"0\">\n\t\t\t</Slot>\n\t\t</Preposition000>\n"
ptz = run.get("ptz", {})
after_add = ptz.get("preset_file_after_add") or ""
after_remove = ptz.get("preset_file_after_remove") or ""
check(after_add.startswith("<?xml version='1.0' encoding='utf-8'?>\n<Quenlark>"), "preset file: declaration and root")
check(preset in after_add and "<Name value=\"Park\">" in after_add and "<Slot value=\"1\">" in after_add,
      "preset file after add")
check(preset in after_remove and "Park" not in after_remove and "Door" not in after_remove,
      "preset file after remove")
files = list(host_dir.glob("Quenlark_*.preset"))
check(len(files) == 1 and files[0].read_text(encoding="utf-8") == after_remove, "preset file on disk")
check(run.get("unloaded") is True and run.get("unexpected_slot_calls") == 0 and run.get("samples_outstanding") == 0,
      "unload, slots, samples")
check(run.get("passed") is True and status == 0, f"overall (exit status {status})")
if failures:
    print(json.dumps(run, indent=1, ensure_ascii=False))
    sys.exit(f"c_host ({arch}) failed: " + "; ".join(failures))
s = codecs
print(f"c_host ({arch}): {len(jobs) + 3} jobs passed in {seconds} s; pictures h264 {s['h264']['pictures']}, "
      f"mpeg4 {s['mpeg4']['pictures']}, mjpeg {s['mjpeg']['pictures']}, decode errors 0; "
      f"Digest and Basic logins right/wrong as expected; "
      f"{run['reconnects']['reconnects']} reconnects, event handles {run['reconnects']['event_handles_before']} -> "
      f"{run['reconnects']['event_handles_after']}; I/O output read back on/off; "
      f"presets add, rename, go, remove with the file read back")
PY

echo "== C recorder: channel restarts leave no handles behind"
# A minute of restarts across eight drivers: every restart ends a channel's threads and starts new ones.
restart_digest=$(start_camsim camsim-restart-digest --auth digest --ptz yes --inputs 2 --outputs 2)
restart_basic=$(start_camsim camsim-restart-basic --auth basic --ptz yes --inputs 2 --outputs 2)
timeout 300 "${wine[@]}" "$host_dir/c_host.exe" "Z:$PWD/$build/bin/quenlark_ipcapture.dll" "$restart_digest" \
  "$restart_basic" --soak 1 --fault-seconds 0.6 --only restart --sample-seconds 5 \
  --out "Z:$work/restarts.csv" >"$work/restarts.txt"
python3 - "$work/restarts.txt" "$arch" <<'PY'
import sys
values = dict(line.split(" ", 1) for line in open(sys.argv[1]).read().splitlines() if " " in line)
count = lambda key: int(values.get(key, "0"))
restarts = count("faults")
warm, end = count("handles_after_warm_up"), count("handles_after_last_delete")
events = count("handles_after_last_delete.Event") - count("handles_after_warm_up.Event")
threads = count("threads_after_last_delete") - count("threads_after_warm_up")
# A few events may join the spare pool the waits share, and Wine may start a thread of its own; one
# per restart or so is a leak.
if restarts < 50 or end - warm > 8 or events > 8 or threads > 2:
    sys.exit(f"c_host restarts ({sys.argv[2]}): {restarts} restarts, handles {warm} -> {end} (events {events:+d}), "
             f"threads {threads:+d}")
print(f"c_host restarts ({sys.argv[2]}): {restarts} restarts, handles {warm} -> {end}, threads {threads:+d}")
PY
