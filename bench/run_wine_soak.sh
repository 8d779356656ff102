#!/usr/bin/env bash
# The soak of the Windows DLL under Wine: the C recorder (tests/windows/c_host, --soak) keeps eight
# drivers streaming over two camsim cameras for MINUTES while faults arrive on a seeded schedule, and
# samples its own private bytes, working set, handles and threads. Builds the x64 DLL and c_host in
# build-windows-x64, writes bench/WINE_SOAK_RESULTS.md and bench/wine_soak.png (every figure and
# verdict computed by bench/wine_soak_report.py); the raw samples stay in build-wsoak/wine_soak/.
#   bench/run_wine_soak.sh [MINUTES] [c_host soak options...]
# MINUTES defaults to 25; e.g. --sample-seconds 2 for a short validation run, --seed N for another
# schedule (WINE_SOAK_SEED too). WINE_SOAK_RESULTS_DIR (default bench) moves the report.
set -euo pipefail
cd "$(dirname "$0")/.."
MINUTES=${1:-25}
shift $(($# < 1 ? $# : 1))
SEED=${WINE_SOAK_SEED:-20261210}
RESULTS_DIR=${WINE_SOAK_RESULTS_DIR:-bench}
OUTDIR="build-wsoak/wine_soak"
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3
# shellcheck source=scripts/windows-arch.sh
source scripts/windows-arch.sh
windows_arch x64

cmake --preset windows-x64 >/dev/null
nice cmake --build "$build" --target c_host quenlark_ipcapture -j2
camsim="build-bench/bin/camsim"
if [ ! -x "$camsim" ]; then
  cmake -S . -B build-wsoak -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUENLARK_BUILD_TESTS=OFF \
    -DQUENLARK_BUILD_BENCH=OFF >/dev/null
  nice cmake --build build-wsoak --target camsim -j2
  camsim="build-wsoak/bin/camsim"
fi

rm -rf "$OUTDIR"
mkdir -p "$OUTDIR/host"
# A copy of camsim of its own: a rebuild of the other one during the run leaves this one alone.
cp "$camsim" "$OUTDIR/camsim"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
start_camsim() {  # name, camsim options...; the port on stdout, the pid in $OUTDIR/NAME.pid
  local name=$1
  shift
  "$OUTDIR/camsim" "$@" >"$OUTDIR/$name.log" 2>&1 &
  echo $! >"$OUTDIR/$name.pid"
  for _ in $(seq 100); do
    grep -q '^camsim ready' "$OUTDIR/$name.log" && break
    sleep 0.1
  done
  sed -n 's/^camsim ready http=\([0-9]*\).*/\1/p' "$OUTDIR/$name.log"
}
# One camera with Digest logins, one with Basic: both login paths of WinHTTP and RTSP run.
port1=$(start_camsim camera1 --auth digest --ptz yes --inputs 2 --outputs 2)
pids+=("$(cat "$OUTDIR/camera1.pid")")
port2=$(start_camsim camera2 --auth basic --ptz yes --inputs 2 --outputs 2)
pids+=("$(cat "$OUTDIR/camera2.pid")")
if [ -z "$port1" ] || [ -z "$port2" ]; then
  echo "camsim did not start" >&2
  exit 1
fi

# The recorder runs from a directory of its own (the preset file is written beside it), with a copy
# of the DLL: a rebuild during the run leaves the loaded one alone.
cp "$build/bin/c_host.exe" "$build/bin/quenlark_ipcapture.dll" "$OUTDIR/host/"
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
START=$(date -u '+%Y-%m-%d %H:%M UTC')
COMMAND="bench/run_wine_soak.sh $MINUTES${*:+ $*}"
status=0
# Bounded: the run, the warm-up and the settling after the last delete, with room to spare.
timeout "$(awk -v m="$MINUTES" 'BEGIN { printf "%d", m * 60 + 600 }')" "${wine[@]}" "$OUTDIR/host/c_host.exe" "Z:$PWD/$OUTDIR/host/quenlark_ipcapture.dll" \
  "$port1" "$port2" --soak "$MINUTES" --seed "$SEED" --out "Z:$PWD/$OUTDIR/samples.csv" "$@" \
  >"$OUTDIR/summary.txt" 2>"$OUTDIR/c_host.log" || status=$?
LOAD_END=$(cut -d' ' -f1-3 /proc/loadavg)
echo "exit_status $status" >>"$OUTDIR/summary.txt"
WINE_VERSION=$("${wine[@]}" --version 2>/dev/null || echo unknown)

mkdir -p "$RESULTS_DIR"
"$PYTHON" bench/wine_soak_report.py --out-dir "$OUTDIR" --results "$RESULTS_DIR/WINE_SOAK_RESULTS.md" \
  --png "$RESULTS_DIR/wine_soak.png" --start "$START" --load-start "$LOAD_START" --load-end "$LOAD_END" \
  --command "$COMMAND" --wine "$WINE_VERSION"
echo "wrote $RESULTS_DIR/WINE_SOAK_RESULTS.md and $RESULTS_DIR/wine_soak.png"
exit "$status"
