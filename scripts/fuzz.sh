#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60).
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}; shift || true
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DQUENLARK_BUILD_FUZZ=ON -DQUENLARK_BUILD_TESTS=OFF \
  -DQUENLARK_BUILD_BENCH=OFF -DQUENLARK_BUILD_TOOLS=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(cd fuzz && ls *_fuzz.cpp 2>/dev/null | sed 's/\.cpp$//')
fi
# Only the fuzz targets: the shared module is not built with fuzzer instrumentation.
cmake --build build-fuzz --target "${targets[@]}"
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus-$t"
  seeds=()
  [ -d "fuzz/seeds/$t" ] && seeds=("fuzz/seeds/$t")
  echo "== $t for ${seconds}s"
  "build-fuzz/bin/$t" -max_total_time="$seconds" -print_final_stats=1 "build-fuzz/corpus-$t" "${seeds[@]}" 2>&1 \
    | grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==|SUMMARY|.*ERROR)' || true
done
