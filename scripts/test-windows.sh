#!/usr/bin/env bash
# Runs the Windows side of the module under Wine (x64 only: this kernel cannot run 32-bit
# programs): the platform layer, the preset store over the system DOM (its files byte for byte
# those of the Linux build, tests/windows/presets_golden/, also under a non-ASCII directory), and
# the WinHTTP sender against camsim (running natively, reached on 127.0.0.1) with Digest (with and
# without qop), Basic, and an abort of a request to a server that never answers. Needs the normal
# Linux build's camsim (build/bin/camsim, built when missing), or the one QUENLARK_CAMSIM_EXECUTABLE
# names.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=${QUENLARK_JOBS:-$(nproc)}
cmake --preset windows-x64 >/dev/null
nice cmake --build build-windows-x64 -j "$jobs" --target windows_platform_smoke windows_http_smoke \
  windows_presets_smoke
camsim=${QUENLARK_CAMSIM_EXECUTABLE:-build/bin/camsim}
if [ ! -x "$camsim" ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUENLARK_BUILD_BENCH=OFF >/dev/null
  nice cmake --build build -j "$jobs" --target camsim
  camsim=build/bin/camsim
fi

export WINEPREFIX=$PWD/build-windows-x64/wineprefix WINEDEBUG=-all
wine=/usr/lib/wine/wine64
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

"$wine" build-windows-x64/bin/windows_platform_smoke.exe

echo "== presets"
mkdir -p "$work/presets"
"$wine" build-windows-x64/bin/windows_presets_smoke.exe "Z:$work/presets/" "Z:$PWD/tests/windows/presets_golden/"
# A recorder installed under a directory named outside ASCII: the store beside the executable.
exe_dir="$work/presets/Prüfung Ωμέγα"
mkdir -p "$exe_dir"
cp build-windows-x64/bin/windows_presets_smoke.exe "$exe_dir/"
"$wine" "$exe_dir/windows_presets_smoke.exe" --exe-dir
cmp "$exe_dir/smoke.xml" tests/windows/presets_golden/smoke.xml

# A server that accepts connections and never answers.
python3 - >"$work/silent" <<'PY' &
import socket
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(16)
print(server.getsockname()[1], flush=True)
held = []
while True:
    connection, _ = server.accept()
    held.append(connection)
PY
pids+=($!)

start_camsim() {  # name, camsim options...
  local name=$1
  shift
  "$camsim" "$@" >"$work/$name" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q '^camsim ready' "$work/$name" && break
    sleep 0.1
  done
  sed -n 's/^camsim ready http=\([0-9]*\).*/\1/p' "$work/$name"
}

for _ in $(seq 100); do
  [ -s "$work/silent" ] && break
  sleep 0.1
done
silent=$(head -1 "$work/silent")
for auth in "digest --digest-qop yes" "digest --digest-qop no" "basic"; do
  # shellcheck disable=SC2086
  port=$(start_camsim "camsim-${auth// /-}" --auth $auth)
  echo "== HTTP with --auth $auth"
  "$wine" build-windows-x64/bin/windows_http_smoke.exe "$port" admin secret "$silent"
done
# Credentials longer than the RTSP header's 72 bytes still go over HTTP, as with libcurl.
long_password=$(printf 'p%.0s' $(seq 100))
for auth in "basic" "digest --digest-qop yes"; do
  # shellcheck disable=SC2086
  port=$(start_camsim "camsim-long-${auth// /-}" --auth $auth --password "$long_password")
  echo "== HTTP with --auth $auth and a 100-character password"
  "$wine" build-windows-x64/bin/windows_http_smoke.exe "$port" admin "$long_password" "$silent"
done
