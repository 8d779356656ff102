#!/usr/bin/env bash
# Makes what an integrator downloads, with CPack from the builds' install rules, into
# build-package/out (QUENLARK_PACKAGE_OUT), named with the project's version:
#   quenlark-ipcapture_VERSION_amd64.deb    the module, headers, CMake package and pkg-config file
#   quenlark-ipcapture-VERSION-windows.zip  bin/x64 and bin/x86 DLLs, headers, CMake packages and
#                                           INTEGRATION.md
# `package.sh linux` or `package.sh windows` makes one of them. The .deb comes from a Release
# build of the module alone in build-package-linux, or from the build QUENLARK_PACKAGE_LINUX_BUILD
# names (already built); the zip from scripts/build-windows.sh's two builds, which it runs unless
# QUENLARK_PACKAGE_WINDOWS_BUILT=1 says they are up to date.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

what=${1:-all}
jobs=${QUENLARK_JOBS:-$(nproc)}
out=${QUENLARK_PACKAGE_OUT:-$PWD/build-package/out}
mkdir -p "$out"

# cpack_into BUILD GENERATOR PATTERN: runs the build's CPack configuration and copies the one
# package it made to $out.
cpack_into() {
  local build=$1 generator=$2 pattern=$3 staging=$1/package made
  find "$staging" -maxdepth 1 -name "$pattern" -delete 2>/dev/null || true
  if ! cpack --config "$build/CPackConfig.cmake" -G "$generator" -B "$staging" >"$staging.log" 2>&1; then
    cat "$staging.log" >&2
    echo "package: cpack $generator in $build failed" >&2
    return 1
  fi
  made=$(find "$staging" -maxdepth 1 -name "$pattern")
  if [ -z "$made" ] || [ "$(echo "$made" | wc -l)" -ne 1 ]; then
    echo "package: expected one $pattern in $staging, found: ${made:-none}" >&2
    return 1
  fi
  cp "$made" "$out/"
  echo "package: $out/${made##*/}"
}

if [ "$what" = all ] || [ "$what" = linux ]; then
  build=${QUENLARK_PACKAGE_LINUX_BUILD:-}
  if [ -z "$build" ]; then
    build="build-package-linux"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUENLARK_BUILD_TESTS=OFF \
      -DQUENLARK_BUILD_BENCH=OFF -DQUENLARK_BUILD_TOOLS=OFF >/dev/null
    nice cmake --build "$build" -j "$jobs" --target quenlark_ipcapture
  fi
  cpack_into "$build" DEB '*.deb'
fi

if [ "$what" = all ] || [ "$what" = windows ]; then
  if [ "${QUENLARK_PACKAGE_WINDOWS_BUILT:-}" != 1 ]; then
    QUENLARK_JOBS=$jobs bash scripts/build-windows.sh
  fi
  # The x64 build's configuration gathers both builds (QUENLARK_WINDOWS_PACKAGE_BUILDS).
  cpack_into build-windows-x64 ZIP '*.zip'
fi
