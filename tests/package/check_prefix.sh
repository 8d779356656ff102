#!/bin/sh
# Configures, builds and runs the recorder project beside this script against the package under
# PREFIX alone, and checks the pkg-config file there. --relocated: the package was unpacked
# elsewhere than the prefix it names (dpkg -x), so pkg-config takes the prefix from the file's
# place.
# Usage: check_prefix.sh CMAKE PREFIX BUILD_DIR GENERATOR CXX_COMPILER PKG_CONFIG [--relocated]
set -eu
cmake=$1 prefix=$2 build=$3 generator=$4 cxx=$5 pkgconfig=$6 relocated=${7:-}
project=$(cd "$(dirname "$0")" && pwd)
log=$build.log

run() {
  "$@" >"$log" 2>&1 || { echo "failed: $*"; cat "$log"; exit 1; }
}
fail() {
  echo "$*"; exit 1
}

run "$cmake" -S "$project" -B "$build" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
run "$cmake" --build "$build"
run "$build/recorder"
module=$(cat "$log")
case $module in
  "$prefix"/*) ;;
  *) fail "the recorder loaded $module, not the module under $prefix" ;;
esac

pc=$(find "$prefix" -name quenlark-ipcapture.pc)
[ -n "$pc" ] || fail "no quenlark-ipcapture.pc under $prefix"
export PKG_CONFIG_PATH="${pc%/*}"
define_prefix=
[ "$relocated" = --relocated ] && define_prefix=--define-prefix
pc_module=$("$pkgconfig" $define_prefix --variable=module quenlark-ipcapture)
[ "$pc_module" = "$module" ] || fail "pkg-config module=$pc_module, the package gives $module"
pc_cflags=$(echo $("$pkgconfig" $define_prefix --cflags quenlark-ipcapture))  # without the trailing blank
[ "$pc_cflags" = "-I$prefix/include" ] || fail "pkg-config --cflags gives '$pc_cflags'"
[ -f "$prefix/include/quenlark/quenlark_ipcapture.h" ] || fail "no include/quenlark/quenlark_ipcapture.h"
echo "recorder project built against $prefix and loaded $module"
