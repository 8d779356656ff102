#!/usr/bin/env bash
# Checks the packages as an integrator uses them (`test-package.sh linux`, `windows`, or both):
# - the .deb is unpacked with dpkg -x into a fresh folder (never installed into the system); the
#   recorder project tests/package is built against that folder alone (CMAKE_PREFIX_PATH) and run,
#   and the pkg-config file is read from there;
# - the zip is unpacked into a fresh folder; tests/package is cross-built with MinGW-w64 against
#   its CMake package for x64 and x86 (each must pick its own DLL), and the x64 recorder loads
#   the zip's DLL under wine64; the C recorder (tests/windows/c_host, which on purpose shares no
#   header with the module) is built from the unpacked tree for both.
# The packages come from scripts/package.sh with the same environment (QUENLARK_PACKAGE_*).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
what=${1:-all}
out=${QUENLARK_PACKAGE_OUT:-$PWD/build-package/out}
export QUENLARK_PACKAGE_OUT=$out

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run() {  # a step whose output matters only when it fails
  "$@" >"$work/log" 2>&1 || { echo "test-package: failed: $*" >&2; cat "$work/log" >&2; exit 1; }
}
fail() {
  echo "test-package: $*" >&2
  exit 1
}
version=$(sed -n 's/^project(quenlark_ipcapture VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project version in CMakeLists.txt"

if [ "$what" = all ] || [ "$what" = linux ]; then
  bash scripts/package.sh linux
  deb=$out/quenlark-ipcapture_${version}_$(dpkg --print-architecture).deb
  [ -f "$deb" ] || fail "no $deb"
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libcurl4 libpugixml1v5 libstdc++6 libc6; do
    echo "$depends" | grep -q "\b$library\b" || fail "the .deb does not depend on $library: $depends"
  done
  # The module's components only: none of the tools a build may install beside it.
  strays=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -Ev '^\./usr/(|include/.*|lib/.*)$' || true)
  [ -z "$strays" ] || fail "the .deb holds more than the module's files: $strays"
  prefix=$work/deb/usr
  run dpkg -x "$deb" "$work/deb"
  # The pkg-config file names the prefix the package installs to, not where CPack staged it.
  pc=$(find "$prefix" -name quenlark-ipcapture.pc)
  grep -qx 'prefix=/usr' "$pc" || fail "the .deb's pkg-config file says $(grep '^prefix=' "$pc")"
  # Relocated: the .pc file says /usr, the folder's own place comes from --define-prefix.
  run sh tests/package/check_prefix.sh cmake "$prefix" "$work/deb-build" Ninja c++ pkg-config \
    --relocated
  echo "test-package: $(basename "$deb") (Depends: $depends) unpacked; $(tail -n 1 "$work/log")"
fi

if [ "$what" = all ] || [ "$what" = windows ]; then
  bash scripts/package.sh windows
  zip=$out/quenlark-ipcapture-$version-windows.zip
  [ -f "$zip" ] || fail "no $zip"
  mkdir "$work/zip"
  (cd "$work/zip" && run cmake -E tar xf "$zip")
  prefix=$work/zip/quenlark-ipcapture-$version-windows
  for file in bin/x64/quenlark_ipcapture.dll bin/x86/quenlark_ipcapture.dll INTEGRATION.md \
    include/quenlark/quenlark_ipcapture.h lib/cmake/QuenlarkIPCapture-x64/QuenlarkIPCaptureConfig.cmake \
    lib/cmake/QuenlarkIPCapture-x86/QuenlarkIPCaptureConfig.cmake; do
    [ -f "$prefix/$file" ] || fail "$(basename "$zip") has no $file"
  done
  # shellcheck source=scripts/windows-arch.sh
  source scripts/windows-arch.sh
  for arch in x64 x86; do
    triple=x86_64-w64-mingw32
    [ "$arch" = x86 ] && triple=i686-w64-mingw32
    # A cross build finds packages under its root path only: the unpacked zip is one more root.
    cat >"$work/toolchain-$arch.cmake" <<TOOLCHAIN
include("$root/cmake/toolchains/$triple.cmake")
list(APPEND CMAKE_FIND_ROOT_PATH "$prefix")
TOOLCHAIN
    build=$work/recorder-$arch
    run cmake -S tests/package -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$work/toolchain-$arch.cmake" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    run cmake --build "$build"
    cmp -s "$build/quenlark_ipcapture.dll" "$prefix/bin/$arch/quenlark_ipcapture.dll" ||
      fail "the $arch recorder project got another DLL than the zip's bin/$arch one"
    # The C recorder with the flags its own build gives it.
    flags=(-std=c11 -O2 -Wall -Wextra -Werror -municode -static -DWIN32_LEAN_AND_MEAN -DUNICODE
      -D_UNICODE)
    [ "$arch" = x86 ] && flags+=(-mpreferred-stack-boundary=2)
    run "$triple-gcc-posix" "${flags[@]}" -o "$work/c_host-$arch.exe" tests/windows/c_host/main.c \
      tests/windows/c_host/recorder.c tests/windows/c_host/soak.c -lws2_32
  done
  # One short run: the x64 recorder loads the zip's DLL and makes and deletes one driver.
  windows_arch x64
  # To a file: Wine's background processes would keep a pipe open.
  (cd "$work/recorder-x64" && timeout 60 "${wine[@]}" recorder.exe >"$work/wine.out" 2>"$work/wine.log" </dev/null) ||
    { cat "$work/wine.out" "$work/wine.log" >&2; fail "the x64 recorder failed under Wine"; }
  loaded=$(tr -d '\r' <"$work/wine.out")
  [ "$loaded" = quenlark_ipcapture.dll ] || fail "the x64 recorder said: $loaded"
  echo "test-package: $(basename "$zip") unpacked; recorder project built for x64 and x86 with its" \
    "DLLs, x64 run under Wine; C recorder built for x64 and x86"
fi
