#!/usr/bin/env bash
# Streaming benchmarks through the module's exports against camsim's live encoder: builds Release in
# build-bench, runs channel_bench's scenarios and writes bench/CHANNEL_RESULTS.md only (every sentence
# with a figure is computed from this run). About four minutes.
#   bench/run_channel_bench.sh [SECONDS]    measured window per load scenario (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
WINDOW=${1:-30}
BUILD=build-bench
LOGS=$BUILD/channel_bench
OUT=bench/CHANNEL_RESULTS.md

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUENLARK_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target channel_bench camsim quenlark_ipcapture -j2
mkdir -p "$LOGS"
BENCH=$BUILD/bin/channel_bench

LOAD_START=$(uptime | sed 's/.*load average: //')
COMPILERS_START=$(pgrep -c -x cc1plus || true)
START=$(date -u '+%Y-%m-%d %H:%M UTC')

# Each scenario runs in a process of its own, so CPU and memory figures start clean.
run() {
  local name=$1
  shift
  echo "== $name: channel_bench $*" | tee "$LOGS/$name.log"
  "$BENCH" "$@" 2>&1 | tee -a "$LOGS/$name.log"
}
HD=(--width 1920 --height 1080 --interval 33 --quality 100 --camsim-arg=--force-bitrate=8000
    --camsim-arg=--force-gop=30 --camsim-arg=--pattern=smpte)

run latency latency --runs 6
for n in 1 16 64; do run "load$n" load --channels "$n" --seconds "$WINDOW"; done
run hd load --channels 1 --seconds "$WINDOW" --compare "${HD[@]}" --camsim-arg=--aud=no
run aud load --channels 1 --seconds 10 --camsim-arg=--force-gop=30

LOAD_END=$(uptime | sed 's/.*load average: //')

val() { awk -v k="$2" '$1 == "RESULT" && $2 == k { print $3 }' "$LOGS/$1.log"; }
num() { printf "%.${3:-0}f" "$(val "$1" "$2")"; }

{
  echo "# Streaming benchmarks"
  echo
  echo "Live video through the module's exports exactly as a recorder drives it (\`dlopen\`,"
  echo "\`CreateIPCapture\`, \`Open\`, \`GetVideoCapture()->StartChannel\` with the hostkit host objects)"
  echo "against one camsim child process on loopback, H.264, Release build. Regenerate with"
  echo "\`bench/run_channel_bench.sh\` (builds \`$BUILD\`, logs in \`$LOGS/\`)."
  echo
  echo "The other benchmark scripts and their files are listed in RESULTS.md."
  echo
  echo "- Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores, $(free -g | awk '/^Mem:/ {print $2}') GB,"
  echo "  $(uname -sr); $(ffmpeg -version | head -1 | cut -d' ' -f1-3), $(gst-launch-1.0 --version | sed -n 2p)."
  echo "- Date: $START. The machine is shared with other builds: load average $LOAD_START at the start"
  echo "  ($COMPILERS_START compiler processes running), $LOAD_END at the end (1, 5, 15 min). CPU figures"
  echo "  are CPU time actually used, so load slows them little; latencies include scheduling delays."
  echo "- Commands: \`channel_bench latency --runs 6\`; \`channel_bench load --channels N --seconds $WINDOW\`"
  echo "  (640x480, interval 33 ms = 30 fps, quality 60: the driver writes bitrate 1000 and goplength 1, so"
  echo "  every picture is a key frame); HD: \`load --channels 1 --compare ${HD[*]} --camsim-arg=--aud=no\`."
  echo
  echo "## Start and stop (one channel, 640x480, $(val latency first_frame_runs_ms | tr ',' ' ' | wc -w) runs)"
  echo
  echo "| | median | max |"
  echo "|---|---|---|"
  echo "| StartChannel to first frame (ms) | $(num latency first_frame_median_ms) | $(num latency first_frame_max_ms) |"
  echo "| StopChannel (ms) | $(num latency stop_median_ms 1) | $(num latency stop_max_ms 1) |"
  echo
  echo "Runs: $(val latency first_frame_runs_ms) ms. Every stream opening includes, by design, a 2-second"
  echo "probe of the local RTP port for stray traffic, so about 2000 ms of each figure is that wait."
  echo
  echo "## Load ($WINDOW s window after every channel streams; one driver with N channels, one camsim)"
  echo
  echo "| scenario | sent fps | kbit/s per channel | frames lost (total / worst channel) | kernel UDP drops | CPU % of one core | CPU s per channel-minute | RSS per channel (KiB) | threads per channel | all streaming after (ms) | StopChannel median / max (ms) |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|"
  row() {
    echo "| $2 | $(num "$1" sent_fps 1) | $(num "$1" kbit_s_per_channel) | $(val "$1" frames_lost_total) / $(val "$1" frames_lost_max_channel) | $(val "$1" udp_drops) | $(num "$1" cpu_pct 1) | $(num "$1" cpu_s_per_channel_minute 3) | $(num "$1" rss_per_channel_kb) | $(val "$1" threads_per_channel) | $(num "$1" streaming_after_ms) | $(num "$1" stop_median_ms 1) / $(num "$1" stop_max_ms 1) |"
  }
  row load1 "1 x 640x480"
  row load16 "16 x 640x480"
  row load64 "64 x 640x480"
  row hd "1 x 1920x1080, 8 Mbit/s, GOP 30"
  echo
  echo "HD key frames reach $(val hd largest_picture_bytes) bytes (one burst of about $(( $(val hd largest_picture_bytes) / 1400 )) datagrams);"
  echo "the module's RTP sockets have SO_RCVBUF $(val hd rtp_socket_rcvbuf_bytes) bytes (as the kernel reports it)."
  echo
  echo "Same HD stream, same window, other receivers (CPU from /proc/PID/stat over the window):"
  echo
  echo "| receiver | CPU % of one core | CPU s per minute | RSS (KiB) | kernel UDP drops |"
  echo "|---|---|---|---|---|"
  echo "| module (channel_bench process) | $(num hd cpu_pct 1) | $(num hd cpu_s_per_channel_minute 2) | $(num hd rss_during_kb) (whole process) | $(val hd udp_drops) |"
  echo "| \`ffmpeg -rtsp_transport udp -i URL -c copy -f null -\` | $(num hd ffmpeg_cpu_pct 1) | $(num hd ffmpeg_cpu_s_per_minute 2) | $(val hd ffmpeg_rss_kb) | $(val hd ffmpeg_udp_drops) |"
  echo "| \`gst-launch-1.0 rtspsrc protocols=udp ! rtph264depay ! fakesink\` | $(num hd gst_cpu_pct 1) | $(num hd gst_cpu_s_per_minute 2) | $(val hd gst_rss_kb) | $(val hd gst_udp_drops) |"
  echo
  echo "camsim itself used $(num load64 camsim_cpu_pct) % of a core for 64 clients and $(num hd camsim_cpu_pct) % for the HD stream."
  echo
  echo "## Method"
  echo
  echo "- Frames lost per channel = pictures camsim sent in the window (\`frames_sent\` of /sim/state, RTP"
  echo "  packets with the marker bit; every client of the shared stream gets each) minus pictures the"
  echo "  host's frame sink got in the window. Both counters are read at the same two instants in the same"
  echo "  order, so pictures in flight cancel out; ±1 per channel is boundary noise."
  echo "- CPU: getrusage(RUSAGE_SELF) of the host process over the window (module threads plus the"
  echo "  hostkit sink and allocator); RSS: VmRSS during the window minus VmRSS after Open, divided by N."
  echo "- Kernel UDP drops: the drops column of /proc/net/udp for each process's own sockets."
  echo "- The test picture (\`ball\`, mostly black) needs less than the 1000 kbit/s the driver asks at 640x480;"
  echo "  the HD run uses camsim's \`smpte\` pattern, whose noise area makes 8 Mbit/s real."
  echo
  echo "## Interpretation"
  echo
  # Every figure below comes from this run's logs.
  met() { awk -v a="$1" -v b="$2" 'BEGIN { print (a + 0 <= b + 0) ? "met" : "not met" }'; }
  echo "- 64 channels of 640x480 at 30 fps: lost $(val load64 frames_lost_total) of $(( $(val load64 frames_sent) * 64 )) pictures"
  echo "  (±1 per channel is boundary noise) with $(val load64 udp_drops) kernel drops, at $(num load64 cpu_s_per_channel_minute 3)"
  echo "  CPU seconds per channel-minute ($(num load64 cpu_pct) % of one core in all), $(num load64 rss_per_channel_kb) KiB and"
  echo "  $(val load64 threads_per_channel) threads per channel. The 1-channel figures also carry the per-process base."
  echo "- 1920x1080 at 8 Mbit/s with $(val hd largest_picture_bytes)-byte key frames: lost $(val hd frames_lost_total) of $(val hd frames_sent)"
  echo "  pictures with $(val hd udp_drops) kernel drops; CPU $(num hd cpu_pct 1) % of a core for the module, $(num hd ffmpeg_cpu_pct 1) % for"
  echo "  ffmpeg and $(num hd gst_cpu_pct 1) % for GStreamer receiving the same packets."
  echo "- Start: the fastest of $(val latency first_frame_runs_ms | tr ',' ' ' | wc -w) starts took $(num latency first_frame_min_ms) ms, of which the"
  echo "  port probe takes 2000 ms. Stop: at most $(num latency stop_max_ms 1) ms (well under 1000 ms: $(met "$(val latency stop_max_ms)" 1000))."
  echo "- In-band access unit delimiters (camsim's default) with GOP 30, 10 s: the module delivered"
  echo "  $(val aud frames_delivered) of $(val aud frames_sent) pictures (lost $(num aud frames_lost_pct 1) %)."
} >"$OUT"
echo "wrote $OUT"
