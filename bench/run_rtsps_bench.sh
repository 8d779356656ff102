#!/usr/bin/env bash
# The cost of RTSP over TLS: one 1080p stream through the module's exports, RTP inside the RTSP
# connection, first in plain RTSP (camsim --tcp only), then inside RTSP over TLS (camsim serves
# its CGI over HTTPS, redirects plain HTTP there, and RTSP over TLS on the registered port 322, so
# the driver finds both on its own), in one run. Builds Release in build-rtsps-bench and writes
# bench/RTSPS_RESULTS.md only (every figure computed from this run). Port 322 needs root.
#   bench/run_rtsps_bench.sh [SECONDS]    measured window per transport (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
WINDOW=${1:-30}
BUILD=${QUENLARK_BENCH_BUILD:-build-rtsps-bench}
LOGS=$BUILD/rtsps_bench
OUT=bench/RTSPS_RESULTS.md

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUENLARK_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target channel_bench camsim quenlark_ipcapture -j2
mkdir -p "$LOGS"
BENCH=$BUILD/bin/channel_bench

LOAD_START=$(uptime | sed 's/.*load average: //')
START=$(date -u '+%Y-%m-%d %H:%M UTC')
# camsim's live encoder at a fixed rate: its replay source cannot be made to serve TCP only.
HD=(--width 1920 --height 1080 --interval 33 --quality 100 --camsim-arg=--force-bitrate=8000
    --camsim-arg=--force-gop=30 --camsim-arg=--pattern=smpte --camsim-arg=--aud=no --camsim-arg=--tcp=only)
TLS=(--camsim-arg=--https=0 --camsim-arg=--http-redirect-to-https --camsim-arg=--rtsps=322)

run() {
  local name=$1
  shift
  echo "== $name: channel_bench $*" | tee "$LOGS/$name.log"
  "$BENCH" "$@" 2>&1 | tee -a "$LOGS/$name.log"
}
run plain load --channels 1 --seconds "$WINDOW" "${HD[@]}"
run tls load --channels 1 --seconds "$WINDOW" "${HD[@]}" "${TLS[@]}"

LOAD_END=$(uptime | sed 's/.*load average: //')

val() { awk -v k="$2" '$1 == "RESULT" && $2 == k { print $3 }' "$LOGS/$1.log"; }
num() { printf "%.${3:-0}f" "$(val "$1" "$2")"; }

{
  echo "# RTP inside plain RTSP against RTP inside RTSP over TLS"
  echo
  echo "One 1920x1080 H.264 stream (8 Mbit/s, 30 fps, GOP 30, camsim's \`smpte\` pattern from its live"
  echo "encoder, which unlike its replay source can serve TCP only) through the module's exports against"
  echo "camsim on loopback, Release build, RTP interleaved in the RTSP connection both times (camsim"
  echo "\`--tcp only\`): first plain RTSP, then"
  echo "RTSP over TLS on port 322 (camsim \`--https --http-redirect-to-https --rtsps 322\`), in one run."
  echo "Regenerate with \`bench/run_rtsps_bench.sh\` (builds \`$BUILD\`, logs in \`$LOGS/\`)."
  echo
  echo "- Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores,"
  echo "  $(uname -sr); $(openssl version | awk '{print $1, $2}'); GStreamer $(gst-launch-1.0 --version | sed -n 2p | awk '{print $2}')."
  echo "- Date: $START. Shared machine: load average $LOAD_START at the start, $LOAD_END at the end."
  echo "  CPU figures are CPU time used by the host process (module threads, hostkit sink)."
  echo "- Commands: \`channel_bench load --channels 1 --seconds $WINDOW ${HD[*]}\`, then the same"
  echo "  with \`${TLS[*]}\`."
  echo
  echo "| connection | kbit/s | CPU % of one core | CPU s per stream-minute | frames lost | streaming after (ms) |"
  echo "|---|---|---|---|---|---|"
  row() {
    echo "| $2 | $(num "$1" kbit_s_per_channel) | $(num "$1" cpu_pct 1) | $(num "$1" cpu_s_per_channel_minute 3) | $(val "$1" frames_lost_total) | $(num "$1" streaming_after_ms) |"
  }
  row plain "plain RTSP (interleaved)"
  row tls "RTSP over TLS (interleaved)"
  echo
  per_mbit() {
    awk -v c="$(val "$1" cpu_s_per_channel_minute)" -v k="$(val "$1" kbit_s_per_channel)" \
      'BEGIN { if (k > 0) printf "%.6f", c / (k * 60 / 1000); else print 0 }'
  }
  awk -v t="$(per_mbit tls)" -v p="$(per_mbit plain)" 'BEGIN {
    if (p > 0) printf "Per megabit received, TLS cost %.2f times what plain RTSP cost (%.2f and %.2f ms of CPU per Mbit).\n", t / p, t * 1000, p * 1000 }'
} >"$OUT"
echo "wrote $OUT"
