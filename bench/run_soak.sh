#!/usr/bin/env bash
# The accelerated soak: one recorder process (bench/soak.cpp) with CHANNELS channels over a few camsim
# cameras streams for MINUTES while faults arrive on a seeded schedule, and samples itself. Builds
# Release in build-bench, writes bench/SOAK_RESULTS.md and bench/soak.png (every figure and verdict is
# computed from the run by bench/soak_report.py); the raw samples stay in build-bench/soak/.
#   bench/run_soak.sh [MINUTES] [CHANNELS] [soak_bench options...]
# MINUTES defaults to 120 and CHANNELS to 32; further options go to soak_bench, e.g.
# --sample-seconds 10 for a short validation run, --seed N for another schedule (SOAK_SEED too),
# --fault-rate N for faults N times as often: that run writes bench/SOAK_FAST_RESULTS.md and
# bench/soak_fast.png, with the growth per hour and per fault beside those of the last run at the
# normal rate when its samples are still in build-bench/soak/.
# SOAK_SIDE_TUNABLES runs the same schedule at the same time in one more process per value, each
# started with that GLIBC_TUNABLES (values separated by spaces, e.g.
# "glibc.malloc.arena_max=2 glibc.malloc.tcache_count=0"); the report sets them beside this run.
# SOAK_SIDE_KEEP_FREE_MEMORY=1 runs one more such process under the defaults in which the module's
# hand-backs of free memory to the system do nothing (soak_bench --keep-free-memory).
# SOAK_SIDE_COMMIT=REV runs one more process under the defaults with the module, harness and cameras
# built from that commit (in $SOAK_BUILD/side-build), to set a change beside the code before it.
# SOAK_BUILD (default build-bench), SOAK_BUILD_TYPE (default Release) and SOAK_RESULTS_DIR (default
# bench) move the build and the report, e.g. for short runs that must not replace the real results.
set -euo pipefail
cd "$(dirname "$0")/.."
MINUTES=${1:-120}
CHANNELS=${2:-32}
shift $(($# < 2 ? $# : 2))
SEED=${SOAK_SEED:-20261209}
BUILD=${SOAK_BUILD:-build-bench}
BUILD_TYPE=${SOAK_BUILD_TYPE:-Release}
RESULTS_DIR=${SOAK_RESULTS_DIR:-bench}
# Debian's interpreter, which has python3-matplotlib (another python3 may come first on PATH).
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3

FAST=0
ARGS=("$@")
for ((i = 0; i < ${#ARGS[@]}; ++i)); do
  case "${ARGS[i]}" in
    --fault-rate=*) RATE=${ARGS[i]#*=} ;;
    --fault-rate) RATE=${ARGS[i + 1]:-1} ;;
    *) continue ;;
  esac
  "$PYTHON" -c "import sys; sys.exit(0 if float(sys.argv[1]) > 1 else 1)" "$RATE" && FAST=1
done
if [ "$FAST" = 1 ]; then
  OUTDIR=$BUILD/soak_fast NAME=SOAK_FAST_RESULTS.md PNG=soak_fast.png COMPARE=$BUILD/soak
else
  OUTDIR=$BUILD/soak NAME=SOAK_RESULTS.md PNG=soak.png COMPARE=$BUILD/soak_fast
fi

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" -DQUENLARK_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target soak_bench camsim quenlark_ipcapture -j2
if [ -n "${SOAK_SIDE_COMMIT:-}" ]; then
  SIDE_CODE=$(git rev-parse --short "$SOAK_SIDE_COMMIT^{commit}")
  rm -rf "$BUILD/side-src"
  mkdir -p "$BUILD/side-src"
  git archive "$SIDE_CODE" | tar -x -C "$BUILD/side-src"
  cmake -S "$BUILD/side-src" -B "$BUILD/side-build" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" \
    -DQUENLARK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD/side-build" --target soak_bench camsim quenlark_ipcapture -j2
fi

LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
START=$(date -u '+%Y-%m-%d %H:%M UTC')
COMMAND="bench/run_soak.sh $MINUTES $CHANNELS${*:+ $*}"
[ -n "${SOAK_SIDE_TUNABLES:-}" ] && COMMAND="SOAK_SIDE_TUNABLES='$SOAK_SIDE_TUNABLES' $COMMAND"
[ "${SOAK_SIDE_KEEP_FREE_MEMORY:-0}" = 1 ] && COMMAND="SOAK_SIDE_KEEP_FREE_MEMORY=1 $COMMAND"
[ -n "${SOAK_SIDE_COMMIT:-}" ] && COMMAND="SOAK_SIDE_COMMIT=$SIDE_CODE $COMMAND"
# The code the report describes: the commit built, and whether the tree differed from it.
CODE=$(git rev-parse --short HEAD 2>/dev/null || echo "an unknown commit")
git diff --quiet HEAD -- . ':!bench/*.md' ':!bench/*.png' 2>/dev/null || CODE="$CODE with changes not committed"
rm -rf "$OUTDIR" "$OUTDIR".side*
SIDE_ARGS=() SIDE_PIDS=()
trap '[ ${#SIDE_PIDS[@]} -eq 0 ] || kill "${SIDE_PIDS[@]}" 2>/dev/null || true' EXIT
i=0
for tunables in ${SOAK_SIDE_TUNABLES:-}; do
  i=$((i + 1))
  GLIBC_TUNABLES=$tunables "$BUILD/bin/soak_bench" --minutes "$MINUTES" --channels "$CHANNELS" --seed "$SEED" \
    --out "$OUTDIR.side$i" "$@" >"$OUTDIR.side$i.log" 2>&1 &
  SIDE_PIDS+=($!) SIDE_ARGS+=(--side "$OUTDIR.side$i")
done
if [ "${SOAK_SIDE_KEEP_FREE_MEMORY:-0}" = 1 ]; then
  i=$((i + 1))
  env -u GLIBC_TUNABLES "$BUILD/bin/soak_bench" --minutes "$MINUTES" --channels "$CHANNELS" --seed "$SEED" \
    --out "$OUTDIR.side$i" --keep-free-memory "$@" >"$OUTDIR.side$i.log" 2>&1 &
  SIDE_PIDS+=($!) SIDE_ARGS+=(--side "$OUTDIR.side$i")
fi
if [ -n "${SOAK_SIDE_COMMIT:-}" ]; then
  i=$((i + 1))
  env -u GLIBC_TUNABLES "$BUILD/side-build/bin/soak_bench" --minutes "$MINUTES" --channels "$CHANNELS" \
    --seed "$SEED" --out "$OUTDIR.side$i" "$@" >"$OUTDIR.side$i.log" 2>&1 &
  SIDE_PIDS+=($!) SIDE_ARGS+=(--side-code "$OUTDIR.side$i=$SIDE_CODE")
fi
"$BUILD/bin/soak_bench" --minutes "$MINUTES" --channels "$CHANNELS" --seed "$SEED" --out "$OUTDIR" "$@" \
  | tee "$OUTDIR.log"
for pid in "${SIDE_PIDS[@]}"; do
  wait "$pid" || { echo "run_soak.sh: a side run failed, see $OUTDIR.side*.log" >&2; exit 1; }
done
SIDE_PIDS=()
LOAD_END=$(cut -d' ' -f1-3 /proc/loadavg)

COMPARE_ARGS=()
[ -f "$COMPARE/samples.csv" ] && [ -f "$COMPARE/summary.txt" ] && COMPARE_ARGS=(--compare "$COMPARE")
mkdir -p "$RESULTS_DIR"
"$PYTHON" bench/soak_report.py --out-dir "$OUTDIR" --results "$RESULTS_DIR/$NAME" --png "$RESULTS_DIR/$PNG" \
  --start "$START" --load-start "$LOAD_START" --load-end "$LOAD_END" --command "$COMMAND" --code "$CODE" "${COMPARE_ARGS[@]}" "${SIDE_ARGS[@]}"
echo "wrote $RESULTS_DIR/$NAME and $RESULTS_DIR/$PNG"
