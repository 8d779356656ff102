#!/usr/bin/env bash
# Provides Wine's 32-bit loader for the x86 pass, from Debian's packages only. First choice:
# `apt-get install wine32:i386`. Where apt refuses (its i386 index of the security updates can fail
# to download, and then it cannot match the i386 twins of the installed amd64 libraries), the i386
# packages are fetched with `apt-get download` through a private apt state (the system's is left
# alone) and unpacked with `dpkg-deb -x` into build-wine32/root, which scripts/wine-run.sh starts
# through its own ld-linux.so.2. Never fails: without a loader the x86 pass says so and is skipped.
# Idempotent and quick once done; safe to run from several scripts at once (one lock).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 0

dir=$PWD/build-wine32
root=$dir/root
# The system's loader (wine32:i386) or the private folder's, once set up.
[ -x /usr/lib/wine/wine ] && exit 0
[ -f "$root/.ready" ] && exit 0

mkdir -p "$dir"
exec 9>"$dir/.lock"
flock 9
[ -f "$root/.ready" ] && exit 0

log=$dir/install.log
: >"$log"
version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null)
if [ -z "$version" ]; then
  echo "install-wine32: wine64 is not installed; no 32-bit loader" | tee -a "$log" >&2
  exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo -E"; fi
export DEBIAN_FRONTEND=noninteractive

# 1. The system's packages. Tried once per build tree: a refusal is recorded in the log kept here.
if [ ! -f "$dir/system-refused" ]; then
  added=no
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386 >>"$log" 2>&1 && added=yes
  fi
  $SUDO apt-get update -q </dev/null >>"$log" 2>&1
  if $SUDO apt-get install -y -q --no-install-recommends "wine32:i386=$version" </dev/null >>"$log" 2>&1 &&
    [ -x /usr/lib/wine/wine ]; then
    echo "install-wine32: installed wine32:i386 $version"
    exit 0
  fi
  # Leave apt as it was: an i386 architecture whose index cannot be read would make every later
  # `apt-get update` of install-deps.sh fail.
  if [ "$added" = yes ] && ! dpkg-query -W -f='${Architecture}\n' 2>/dev/null | grep -qx i386; then
    $SUDO dpkg --remove-architecture i386 >>"$log" 2>&1
  fi
  touch "$dir/system-refused"
fi

# 2. The same packages unpacked into a private folder. Wine derives its paths from its own
# location, so the folder gets a merged-/usr layout and a copy of ld-linux.so.2 beside the loader;
# its wine64 and wineserver are the host's (the prefix is a WoW64 one made by wine64).
echo "install-wine32: apt-get install wine32:i386 refused (see $log); unpacking the i386 packages into $root"
apt=$dir/apt
rm -rf "$apt" "$root"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/debs"
: >"$apt/status"
apt_options=(-o APT::Architecture=i386 -o APT::Architectures::=i386 -o "Dir::State::Lists=$apt/lists"
  -o "Dir::Cache=$apt/cache" -o "Dir::State::status=$apt/status" -o APT::Sandbox::User=root)
# The security index may fail as above; the main index is enough for these packages.
apt-get "${apt_options[@]}" -q update </dev/null >>"$log" 2>&1
if ! (cd "$apt/debs" && apt-get "${apt_options[@]}" -q download "wine32=$version" "libwine=$version" \
  libc6 libgcc-s1 libunwind8 liblzma5 zlib1g </dev/null >>"$log" 2>&1); then
  echo "install-wine32: apt-get download of the i386 packages failed (see $log); no 32-bit loader" >&2
  exit 0
fi
mkdir -p "$root/usr"
for deb in "$apt"/debs/*.deb; do
  dpkg-deb -x "$deb" "$root" || {
    echo "install-wine32: cannot unpack $deb; no 32-bit loader" >&2
    exit 0
  }
done
# Merged /usr: /lib/i386-linux-gnu into /usr/lib/i386-linux-gnu, /lib a link.
if [ -d "$root/lib" ] && [ ! -L "$root/lib" ]; then
  cp -a "$root/lib/." "$root/usr/lib/"
  rm -rf "${root:?}/lib"
  ln -s usr/lib "$root/lib"
fi
cp -L "$root/usr/lib/i386-linux-gnu/ld-linux.so.2" "$root/usr/lib/wine/ld-linux.so.2"
ln -sfn /usr/lib/wine/wine64 "$root/usr/lib/wine/wine64"
rm -f "$root/usr/lib/wine/wineserver"
ln -s /usr/lib/wine/wineserver64 "$root/usr/lib/wine/wineserver"
rm -rf "$apt/debs" "$apt/cache"
touch "$root/.ready"
echo "install-wine32: Wine's 32-bit loader $version in $root"
