#!/usr/bin/env bash
# The accelerated soak: one recorder process (bench/soak.cpp) with CHANNELS channels over a few camsim
# cameras streams for MINUTES while faults arrive on a seeded schedule, and samples itself. Builds
# Release in build-bench, writes bench/SOAK_RESULTS.md and bench/soak.png (every figure and verdict is
# computed from the run by bench/soak_report.py); the raw samples stay in build-bench/soak/.
#   bench/run_soak.sh [MINUTES] [CHANNELS] [soak_bench options...]
# MINUTES defaults to 60 and CHANNELS to 32; further options go to soak_bench, e.g.
# --sample-seconds 10 for a short validation run, --seed N for another schedule (SOAK_SEED too).
set -euo pipefail
cd "$(dirname "$0")/.."
MINUTES=${1:-60}
CHANNELS=${2:-32}
shift $(($# < 2 ? $# : 2))
SEED=${SOAK_SEED:-20261209}
BUILD=build-bench
OUTDIR=$BUILD/soak
# Debian's interpreter, which has python3-matplotlib (another python3 may come first on PATH).
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUENLARK_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target soak_bench camsim quenlark_ipcapture -j2

LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
START=$(date -u '+%Y-%m-%d %H:%M UTC')
COMMAND="bench/run_soak.sh $MINUTES $CHANNELS${*:+ $*}"
rm -rf "$OUTDIR"
"$BUILD/bin/soak_bench" --minutes "$MINUTES" --channels "$CHANNELS" --seed "$SEED" --out "$OUTDIR" "$@" \
  | tee "$BUILD/soak.log"
LOAD_END=$(cut -d' ' -f1-3 /proc/loadavg)

"$PYTHON" bench/soak_report.py --out-dir "$OUTDIR" --results bench/SOAK_RESULTS.md --png bench/soak.png \
  --start "$START" --load-start "$LOAD_START" --load-end "$LOAD_END" --command "$COMMAND"
echo "wrote bench/SOAK_RESULTS.md and bench/soak.png"
