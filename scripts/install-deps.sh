#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: does nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcurl4-openssl-dev libssl-dev libcpp-httplib-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstrtspserver-1.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-ugly gstreamer1.0-libav glib-networking
  libavcodec-dev libavutil-dev libswscale-dev libavformat-dev ffmpeg
  libpugixml-dev curl tmux python3
  python3-matplotlib heaptrack zstd
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
  binutils-mingw-w64-i686 wine wine64
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo -E"; fi
$SUDO apt-get update -q </dev/null
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
