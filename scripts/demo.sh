#!/usr/bin/env bash
# Installs what is missing, builds the Release configuration and runs the demo of the module.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUENLARK_BUILD_TESTS=OFF \
  -DQUENLARK_BUILD_BENCH=OFF >/dev/null
cmake --build build-release -j"$(nproc 2>/dev/null || echo 2)"
exec build-release/bin/camctl demo "$@"
