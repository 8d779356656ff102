#!/usr/bin/env bash
# The cost of RTP inside the RTSP connection: one 1080p stream through the module's exports against
# camsim's live encoder, over UDP and then over TCP (camsim --tcp only), in one run. Builds Release
# in build-bench and writes bench/TRANSPORT_RESULTS.md only (every figure computed from this run).
#   bench/run_transport_bench.sh [SECONDS]    measured window per transport (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
WINDOW=${1:-30}
BUILD=build-bench
LOGS=$BUILD/transport_bench
OUT=bench/TRANSPORT_RESULTS.md

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUENLARK_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target channel_bench camsim quenlark_ipcapture -j2
mkdir -p "$LOGS"
BENCH=$BUILD/bin/channel_bench

LOAD_START=$(uptime | sed 's/.*load average: //')
START=$(date -u '+%Y-%m-%d %H:%M UTC')

run() {
  local name=$1
  shift
  echo "== $name: channel_bench $*" | tee "$LOGS/$name.log"
  "$BENCH" "$@" 2>&1 | tee -a "$LOGS/$name.log"
}
HD=(--width 1920 --height 1080 --interval 33 --quality 100 --camsim-arg=--force-bitrate=8000
    --camsim-arg=--force-gop=30 --camsim-arg=--pattern=smpte --camsim-arg=--aud=no)

run udp load --channels 1 --seconds "$WINDOW" "${HD[@]}"
# A camera that serves TCP only: the module asks for RTP inside the RTSP connection at once.
run tcp load --channels 1 --seconds "$WINDOW" "${HD[@]}" --camsim-arg=--tcp=only

LOAD_END=$(uptime | sed 's/.*load average: //')

val() { awk -v k="$2" '$1 == "RESULT" && $2 == k { print $3 }' "$LOGS/$1.log"; }
num() { printf "%.${3:-0}f" "$(val "$1" "$2")"; }

{
  echo "# RTP over UDP against RTP inside the RTSP connection"
  echo
  echo "One 1920x1080 H.264 stream (8 Mbit/s, GOP 30, camsim's \`smpte\` pattern) through the module's"
  echo "exports against camsim's live encoder on loopback, Release build, first over UDP, then from a"
  echo "camsim that offers TCP only (\`--tcp only\`), in one run. Regenerate with"
  echo "\`bench/run_transport_bench.sh\` (builds \`$BUILD\`, logs in \`$LOGS/\`)."
  echo
  echo "- Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores,"
  echo "  $(uname -sr); GStreamer $(gst-launch-1.0 --version | sed -n 2p | awk '{print $2}')."
  echo "- Date: $START. Shared machine: load average $LOAD_START at the start, $LOAD_END at the end."
  echo "  CPU figures are CPU time used by the host process (module threads, hostkit sink), so load"
  echo "  slows them little."
  echo "- Commands: \`channel_bench load --channels 1 --seconds $WINDOW ${HD[*]}\`, the second with"
  echo "  \`--camsim-arg=--tcp=only\`."
  echo
  echo "| transport | kbit/s | CPU % of one core | CPU s per stream-minute | frames lost | kernel UDP drops | streaming after (ms) |"
  echo "|---|---|---|---|---|---|---|"
  row() {
    echo "| $2 | $(num "$1" kbit_s_per_channel) | $(num "$1" cpu_pct 1) | $(num "$1" cpu_s_per_channel_minute 3) | $(val "$1" frames_lost_total) | $(val "$1" udp_drops) | $(num "$1" streaming_after_ms) |"
  }
  row udp "UDP"
  row tcp "TCP (interleaved)"
  echo
  ratio=$(awk -v a="$(val tcp cpu_s_per_channel_minute)" -v b="$(val udp cpu_s_per_channel_minute)" \
    'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  echo "Over TCP the module used $ratio times the CPU per stream-minute it used over UDP."
  # The encoder may not reach the same bit rate in both runs: the cost per megabit compares the work.
  per_mbit() {
    awk -v c="$(val "$1" cpu_s_per_channel_minute)" -v k="$(val "$1" kbit_s_per_channel)" \
      'BEGIN { if (k > 0) printf "%.6f", c / (k * 60 / 1000); else print 0 }'
  }
  awk -v t="$(per_mbit tcp)" -v u="$(per_mbit udp)" 'BEGIN {
    if (u > 0) printf "Per megabit received, TCP cost %.2f times what UDP cost (%.1f and %.1f ms of CPU per Mbit).\n", t / u, t * 1000, u * 1000 }'
  awk -v t="$(val tcp streaming_after_ms)" -v u="$(val udp streaming_after_ms)" 'BEGIN {
    d = t - u
    if (d < 0) printf "The TCP stream reached the host %.0f ms sooner than the UDP one.\n", -d
    else printf "The TCP stream reached the host %.0f ms later than the UDP one.\n", d }'
  echo "(UDP starts after the port probe, 2 s by default; a camera that serves TCP only first refuses"
  echo "the UDP SETUP, and the channel asks for TCP on its next pass.)"
} >"$OUT"
echo "wrote $OUT"
