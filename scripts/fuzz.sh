#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]           each target for SECONDS (default 60)
#        scripts/fuzz.sh campaign [SECONDS] [TARGET...]  each target to 10 million executions in all,
#                                                        at most SECONDS (default 3600) per target
#                                                        and call
# A campaign is resumable: the executions of every campaign run are added up per target in
# build-fuzz/campaign.tsv (beside the corpora they grew), a target that has its 10 million is
# skipped, and fuzz/CAMPAIGN_RESULTS.md is written from that ledger at the end.
# Every input must finish within FUZZ_TIMEOUT seconds (default 1): a parser whose time grows
# faster than its input fails as a timeout. The parsers of camera replies get inputs up to the
# HTTP sender's body cap (1 MiB), where such growth shows. The limit is wall time, so a run starved
# by other work on the machine can pass it with an input that is quick on its own: a time-out
# counts as a finding only when its input, run alone three times, is slow again; otherwise the
# ledger counts it apart.
set -euo pipefail
cd "$(dirname "$0")/.."
campaign=0
goal=10000000
seconds=60
if [ "${1:-}" = campaign ]; then
  shift
  campaign=1
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

ledger=build-fuzz/campaign.tsv
[ -f "$ledger" ] || printf 'target\texecutions\tseconds\truns\tfindings\tunreproduced\n' >"$ledger"
# ledger_get TARGET COLUMN: a column of the target's row (0 when it has none).
ledger_get() { awk -F'\t' -v t="$1" -v c="$2" '$1 == t { v = $c } END { print v + 0 }' "$ledger"; }
ledger_add() {  # target executions seconds findings unreproduced-time-outs
  local row
  row=$(printf '%s\t%d\t%d\t%d\t%d\t%d' "$1" $(($(ledger_get "$1" 2) + $2)) $(($(ledger_get "$1" 3) + $3)) \
    $(($(ledger_get "$1" 4) + 1)) $(($(ledger_get "$1" 5) + $4)) $(($(ledger_get "$1" 6) + $5)))
  awk -F'\t' -v t="$1" '$1 != t' "$ledger" >"$ledger.new"
  echo "$row" >>"$ledger.new"
  mv "$ledger.new" "$ledger"
}

# slow_alone TARGET INPUT: true when any of three runs of the input alone passes the limit.
slow_alone() {
  local i
  for i in 1 2 3; do
    "build-fuzz/bin/$1" -timeout="$timeout" "$2" >/dev/null 2>&1 || return 0
  done
  return 1
}

failed=0
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus-$t"
  seeds=()
  [ -d "fuzz/seeds/$t" ] && seeds=("fuzz/seeds/$t")
  options=(-max_total_time="$seconds" -timeout="$timeout" -print_final_stats=1 -artifact_prefix=build-fuzz/)
  limit="${seconds}s"
  if [ "$campaign" -eq 1 ]; then
    left=$((goal - $(ledger_get "$t" 2)))
    if [ "$left" -le 0 ]; then
      echo "== $t: $(ledger_get "$t" 2) executions already"
      continue
    fi
    options+=(-runs="$left")
    limit="$limit or $left runs"
  fi
  case "$t" in
    h_utils_fuzz | camera_properties_fuzz | stream_profile_fuzz) options+=(-max_len=1048576) ;;
  esac
  echo "== $t ($limit)"
  status=0
  started=$(date +%s)
  "build-fuzz/bin/$t" "${options[@]}" "build-fuzz/corpus-$t" "${seeds[@]}" >"build-fuzz/$t.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==|SUMMARY)|ERROR|Timeout|timeout' \
    "build-fuzz/$t.log" || true
  unreproduced=0
  if [ "$status" -eq 70 ]; then  # libFuzzer's exit code for a time-out
    unit=$(sed -n 's/.*Test unit written to \(.*timeout-[0-9a-f]*\).*/\1/p' "build-fuzz/$t.log" | tail -1)
    if [ -n "$unit" ] && slow_alone "$t" "$unit"; then
      echo "!! the time-out input is slow on its own too: $unit"
    elif [ -n "$unit" ]; then
      echo "== the time-out input ran within the limit three times alone: the machine's load, not a finding"
      unreproduced=1
      status=0
    fi
  fi
  if [ "$campaign" -eq 1 ]; then
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "build-fuzz/$t.log" | tail -1)
    ledger_add "$t" "${executed:-0}" $(($(date +%s) - started)) $((status != 0)) "$unreproduced"
  fi
  if [ "$status" -ne 0 ]; then
    echo "!! $t failed (exit $status), see build-fuzz/$t.log"
    failed=1
  fi
done

if [ "$campaign" -eq 1 ]; then
  python3 - "$ledger" "$goal" >fuzz/CAMPAIGN_RESULTS.md <<'PY'
import datetime, os, subprocess, sys
ledger, goal = sys.argv[1], int(sys.argv[2])
rows = {r[0]: (r + ["0"] * 6)[:6] for r in (line.rstrip("\n").split("\t") for line in open(ledger))
        if r[0] != "target"}
# Every target of fuzz/, those no campaign has run yet at zero.
for name in os.listdir("fuzz"):
    if name.endswith("_fuzz.cpp"):
        rows.setdefault(name[:-4], [name[:-4], "0", "0", "0", "0", "0"])
rows = sorted(rows.values())
clang = subprocess.run(["clang", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
done = [r for r in rows if int(r[1]) >= goal]
findings = sum(int(r[4]) for r in rows)
unreproduced = sum(int(r[5]) for r in rows)
print("# Fuzz campaign\n")
print(f"Written by `scripts/fuzz.sh campaign` on {datetime.datetime.utcnow():%Y-%m-%d %H:%M} UTC from its "
      f"ledger (build-fuzz/campaign.tsv), which adds up every campaign run of this build tree. "
      f"Targets built with {clang}, AddressSanitizer and UndefinedBehaviorSanitizer; machine: {cpu}, "
      f"{len(open('/proc/cpuinfo').read().split('processor')) - 1} logical CPUs. Every input must finish within "
      f"one second.\n")
print(f"{len(done)} of {len(rows)} targets have reached {goal:,} executions; runs that ended in a "
      f"crash, leak or time-out: {findings}; time-outs whose input then ran within the limit three times "
      f"alone (the machine's load, not counted as findings): {unreproduced}.\n")
print("| target | executions | seconds (wall) | executions per second | runs | findings | time-outs not reproduced |")
print("|---|---:|---:|---:|---:|---:|---:|")
for t, executed, secs, runs, bad, loaded in rows:
    rate = f"{int(executed) / int(secs):,.0f}" if int(secs) > 0 else "-"
    print(f"| {t} | {int(executed):,} | {int(secs):,} | {rate} | {runs} | {bad} | {loaded} |")
# What each finding was and how it was mended is written by hand when it is mended.
if os.path.exists("fuzz/FINDINGS.md"):
    print()
    print(open("fuzz/FINDINGS.md").read().rstrip())
PY
  echo "wrote fuzz/CAMPAIGN_RESULTS.md"
fi
exit "$failed"
