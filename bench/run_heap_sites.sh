#!/usr/bin/env bash
# The soak (bench/soak.cpp) under `heaptrack --raw`: every allocation and free with its stack and
# address, then bench/heap_sites.py writes bench/HEAP_SITES.md: which allocation sites the blocks in
# use grew by between the end of the warm-up and the end of the run, and which requests raised the
# allocator arenas' high-water marks (what resident memory grows for when the blocks in use do not).
#   bench/run_heap_sites.sh [MINUTES] [CHANNELS] [soak_bench options...]
# MINUTES defaults to 15 and CHANNELS to 32; options go to soak_bench (default --fault-rate 10, so
# that a short run sees many faults). The recording stays in build-bench/heap_sites/.
# Not beside .ci/run: the soak's cameras take the same ports as the tests'.
set -euo pipefail
cd "$(dirname "$0")/.."
MINUTES=${1:-15}
CHANNELS=${2:-32}
shift $(($# < 2 ? $# : 2))
[ $# -eq 0 ] && set -- --fault-rate 10
SEED=${SOAK_SEED:-20261209}
BUILD=${SOAK_BUILD:-build-bench}
OUT=$BUILD/heap_sites
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3
command -v heaptrack >/dev/null || { echo "run_heap_sites: heaptrack is missing (scripts/install-deps.sh)" >&2; exit 1; }

# Release: the symbol table names the module's frames.
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUENLARK_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target soak_bench camsim quenlark_ipcapture -j2

START=$(date -u '+%Y-%m-%d %H:%M UTC')
COMMAND="bench/run_heap_sites.sh $MINUTES $CHANNELS $*"
rm -rf "$OUT"
mkdir -p "$OUT"
heaptrack --raw -o "$OUT/recording" "$BUILD/bin/soak_bench" --minutes "$MINUTES" --channels "$CHANNELS" \
  --seed "$SEED" --out "$OUT/soak" "$@" | tee "$OUT/soak.log"
# From the end of the warm-up (a third of the run, at least five minutes in) to half a minute before
# the drivers are deleted.
read -r FROM TO < <("$PYTHON" -c "import sys; m=float(sys.argv[1]); print(min(max(m/3, 5), m/2), m - 0.5)" "$MINUTES")
"$PYTHON" bench/heap_sites.py "$OUT/recording.raw.zst" "$FROM" "$TO" --results bench/HEAP_SITES.md \
  --executable "$BUILD/bin/soak_bench" --command "$COMMAND" --start "$START"
