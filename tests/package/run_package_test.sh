#!/bin/sh
# Installs the build into a fresh prefix, then checks the recorder project beside this script
# against that prefix alone (check_prefix.sh).
# Usage: run_package_test.sh CMAKE BUILD_DIR PROJECT_DIR GENERATOR CXX_COMPILER PKG_CONFIG [CONFIG]
set -eu
cmake=$1 build=$2 project=$3 generator=$4 cxx=$5 pkgconfig=$6 config=${7:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" ${config:+--config "$config"} >"$work/log" 2>&1 ||
  { echo "failed: $cmake --install $build"; cat "$work/log"; exit 1; }
sh "$project/check_prefix.sh" "$cmake" "$prefix" "$work/build" "$generator" "$cxx" "$pkgconfig"
