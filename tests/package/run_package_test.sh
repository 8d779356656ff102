#!/bin/sh
# Installs the build into a fresh prefix, then configures, builds and runs the recorder project
# beside this script against that prefix alone, and checks the pkg-config file.
# Usage: run_package_test.sh CMAKE BUILD_DIR PROJECT_DIR GENERATOR CXX_COMPILER PKG_CONFIG [CONFIG]
set -eu
cmake=$1 build=$2 project=$3 generator=$4 cxx=$5 pkgconfig=$6 config=${7:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

run() {
  "$@" >"$work/log" 2>&1 || { echo "failed: $*"; cat "$work/log"; exit 1; }
}
fail() {
  echo "$*"; exit 1
}

run "$cmake" --install "$build" --prefix "$prefix" ${config:+--config "$config"}
run "$cmake" -S "$project" -B "$work/build" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
run "$cmake" --build "$work/build"
run "$work/build/recorder"
module=$(cat "$work/log")
case $module in
  "$prefix"/*) ;;
  *) fail "the recorder loaded $module, not the module installed under $prefix" ;;
esac

pc=$(find "$prefix" -name quenlark-ipcapture.pc)
[ -n "$pc" ] || fail "no quenlark-ipcapture.pc under $prefix"
export PKG_CONFIG_PATH="${pc%/*}"
pc_module=$("$pkgconfig" --variable=module quenlark-ipcapture)
[ "$pc_module" = "$module" ] || fail "pkg-config module=$pc_module, the package gives $module"
pc_cflags=$(echo $("$pkgconfig" --cflags quenlark-ipcapture))  # without pkg-config's trailing blank
[ "$pc_cflags" = "-I$prefix/include" ] || fail "pkg-config --cflags gives '$pc_cflags'"
[ -f "$prefix/include/quenlark/quenlark_ipcapture.h" ] || fail "no include/quenlark/quenlark_ipcapture.h"
echo "recorder project built against $prefix and loaded $module"
