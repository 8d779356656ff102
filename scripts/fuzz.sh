#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]           each target for SECONDS (default 60)
#        scripts/fuzz.sh campaign [SECONDS] [TARGET...]  each target to 10 million executions, or
#                                                        SECONDS (default 3600) if that comes first
# Every input must finish within FUZZ_TIMEOUT seconds (default 1): a parser whose time grows
# faster than its input fails as a timeout. The parsers of camera replies get inputs up to the
# HTTP sender's body cap (1 MiB), where such growth shows.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=0
seconds=60
if [ "${1:-}" = campaign ]; then
  shift
  runs=10000000
  seconds=3600
fi
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
timeout=${FUZZ_TIMEOUT:-1}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DQUENLARK_BUILD_FUZZ=ON -DQUENLARK_BUILD_TESTS=OFF \
  -DQUENLARK_BUILD_BENCH=OFF -DQUENLARK_BUILD_TOOLS=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(cd fuzz && ls *_fuzz.cpp 2>/dev/null | sed 's/\.cpp$//')
fi
# Only the fuzz targets: the shared module is not built with fuzzer instrumentation.
cmake --build build-fuzz --target "${targets[@]}"
failed=0
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus-$t"
  seeds=()
  [ -d "fuzz/seeds/$t" ] && seeds=("fuzz/seeds/$t")
  options=(-max_total_time="$seconds" -timeout="$timeout" -print_final_stats=1)
  [ "$runs" -gt 0 ] && options+=(-runs="$runs")
  case "$t" in
    h_utils_fuzz | camera_properties_fuzz | stream_profile_fuzz) options+=(-max_len=1048576) ;;
  esac
  limit="${seconds}s"
  [ "$runs" -gt 0 ] && limit="$limit or $runs runs"
  echo "== $t ($limit)"
  status=0
  "build-fuzz/bin/$t" "${options[@]}" "build-fuzz/corpus-$t" "${seeds[@]}" >"build-fuzz/$t.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==|SUMMARY)|ERROR|Timeout|timeout' \
    "build-fuzz/$t.log" || true
  if [ "$status" -ne 0 ]; then
    echo "!! $t failed (exit $status), see build-fuzz/$t.log"
    failed=1
  fi
done
exit "$failed"
