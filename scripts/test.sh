#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite three times: a normal build, an
# AddressSanitizer+UndefinedBehaviorSanitizer build and a ThreadSanitizer build; then the Windows
# pass: both DLLs built and checked, the Windows suites and the Windows programs run under Wine.
# --quick runs the normal build only; --windows the Windows pass only.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
# intercept_tls_get_addr=0: the leak checker's tracer walks each thread's dynamic-TLS table, which
# still names blocks of modules the process has unloaded; camctl loads and unloads the module for
# each step of a check, and walking such a stale entry crashes the tracer itself (not a finding).
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1:intercept_tls_get_addr=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export GST_DEBUG=${GST_DEBUG:-0}

configs=("normal:" "asan:address" "tsan:thread")
windows=yes
if [ "${1:-}" = "--quick" ]; then
  configs=("normal:")
  windows=no
elif [ "${1:-}" = "--windows" ]; then
  configs=()
fi

# The ThreadSanitizer pass builds and runs the suites whose code runs on several threads; the
# parser, camsim and camctl suites run on one thread of the module and gain nothing from it.
tsan_targets=(thread_tests http_tests transport_tests io_tests capability_tests channels_tests
  streaming_tests ptz_tests presets_tests torture_tests module_tests driver_tests)

status=0
summary=()
for entry in "${configs[@]+"${configs[@]}"}"; do
  name=${entry%%:*}
  sanitize=${entry#*:}
  dir=build-test-$name
  echo "=== $name build"
  # The sanitizer builds leave out the benchmarks and use the normal build's camsim.
  extra=(-DQUENLARK_BUILD_BENCH=ON -DQUENLARK_CAMSIM_EXECUTABLE=)
  if [ -n "$sanitize" ] && [ -x build-test-normal/bin/camsim ]; then
    extra=(-DQUENLARK_BUILD_BENCH=OFF -DQUENLARK_CAMSIM_EXECUTABLE="$PWD/build-test-normal/bin/camsim")
  elif [ -n "$sanitize" ]; then
    extra=(-DQUENLARK_BUILD_BENCH=OFF -DQUENLARK_CAMSIM_EXECUTABLE=)
  fi
  # The normal build compiles fastest without optimisation; the sanitizer builds optimise, which
  # also brings out the compiler's flow warnings.
  type=RelWithDebInfo
  [ -z "$sanitize" ] && type=Debug
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=$type -DQUENLARK_SANITIZE="$sanitize" \
    "${extra[@]}" >/dev/null
  exclude="^$"
  if [ "$name" = tsan ]; then
    cmake --build "$dir" -j"$jobs" --target "${tsan_targets[@]}"
    exclude="_NOT_BUILT"  # the suites left out above
  else
    cmake --build "$dir" -j"$jobs"
  fi
  # The clang thread-safety check runs beside the normal tests, at a lower priority: the tests
  # spend most of their time waiting on sockets and leave the cores idle.
  check_pid=
  if [ "$name" = normal ]; then
    nice -n 10 scripts/thread_safety_check.sh "$dir" >"$dir/thread_safety.log" 2>&1 &
    check_pid=$!
  fi
  echo "=== $name tests"
  set +e
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300 -E "$exclude") | tee "$dir/ctest.log"
  rc=${PIPESTATUS[0]}
  if [ -n "$check_pid" ]; then
    wait "$check_pid"
    check_rc=$?
    echo "=== thread-safety check"
    cat "$dir/thread_safety.log"
    if [ "$check_rc" -ne 0 ]; then
      status=1
      summary+=("thread-safety check: failed")
    fi
  fi
  set -e
  summary+=("$name: $(grep -E 'tests passed|tests failed' "$dir/ctest.log" | tail -n 1)")
  [ "$rc" -eq 0 ] || status=1
  # The .deb of this build, unpacked and built against as an integrator does.
  if [ "$name" = normal ]; then
    echo "=== Linux package"
    QUENLARK_PACKAGE_LINUX_BUILD=$dir bash scripts/test-package.sh linux &&
      summary+=("package deb: passed") || { status=1; summary+=("package deb: failed"); }
  fi
done

# The Windows pass: both DLLs cross-built with MinGW-w64, the suites and the programs run under
# Wine, x64 under wine64 and x86 under Wine's 32-bit loader (skipped, not failed, where this machine
# cannot run 32-bit programs). Its programs reach the normal build's camsim on 127.0.0.1.
if [ "$windows" = yes ]; then
  echo "=== windows build and tests"
  windows_start=$(date +%s)
  windows_status=ok
  camsim=
  [ -x build-test-normal/bin/camsim ] && camsim=$PWD/build-test-normal/bin/camsim
  # Wine's 32-bit loader for the x86 pass (quick when present; never fails): only this pass
  # needs it, so the demo's set-up does without.
  bash scripts/install-wine32.sh || true
  set +e
  QUENLARK_JOBS=$jobs bash scripts/build-windows.sh || windows_status=failed
  for arch in x64 x86; do
    QUENLARK_JOBS=$jobs QUENLARK_CAMSIM_EXECUTABLE=$camsim bash scripts/test-windows-suites.sh $arch ||
      windows_status=failed
    # To a file, then shown: Wine's background processes would keep a pipe open.
    mkdir -p "build-windows-$arch"
    QUENLARK_JOBS=$jobs QUENLARK_CAMSIM_EXECUTABLE=$camsim bash scripts/test-windows.sh $arch \
      >"build-windows-$arch/programs.log" 2>&1 || windows_status=failed
    cat "build-windows-$arch/programs.log"
  done
  # The zip of both builds, unpacked and built against as an integrator does.
  QUENLARK_JOBS=$jobs QUENLARK_PACKAGE_WINDOWS_BUILT=1 bash scripts/test-package.sh windows \
    >build-windows-x64/package.log 2>&1 && package_status=passed || package_status=failed
  cat build-windows-x64/package.log
  [ "$package_status" = passed ] || windows_status=failed
  set -e
  [ "$windows_status" = ok ] || status=1
  figures=()
  for arch in x64 x86; do
    suites=$(cat "build-windows-$arch/suites-summary.txt" 2>/dev/null || echo "not run")
    host=$(grep -E '^c_host|programs: skipped' "build-windows-$arch/programs.log" 2>/dev/null | tail -n 1)
    case $suites in
      skipped:*) figures+=("$arch: $suites") ;;
      *) figures+=("$arch suites: $suites; ${host:-c_host: no result}") ;;
    esac
  done
  summary+=("windows: $windows_status; $(($(date +%s) - windows_start)) s")
  summary+=("${figures[@]/#/  }" "  package zip: $package_status")
fi

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $status
