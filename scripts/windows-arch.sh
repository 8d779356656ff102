# shellcheck shell=bash
# Sourced by the Windows test scripts: windows_arch ARCH (x64 or x86) sets
#   build    the build directory (build-windows-ARCH)
#   wine     the command that runs one of its programs (an array)
#   skipped  empty, or why this machine cannot run them (the pass is then skipped, not failed)
# and exports WINEPREFIX and WINEDEBUG. x64 runs under wine64; x86 under Wine's 32-bit loader,
# installed (wine32:i386) or unpacked by scripts/install-wine32.sh into build-wine32/root, with a
# WoW64 prefix made by wine64.
windows_arch() {
  local arch=$1 root=$PWD/build-wine32/root
  build=build-windows-$arch
  skipped=
  export WINEPREFIX=$PWD/$build/wineprefix WINEDEBUG=-all
  if [ "$arch" = x64 ]; then
    wine=(/usr/lib/wine/wine64)
    return 0
  fi
  if [ -x /usr/lib/wine/wine ]; then
    wine=(/usr/lib/wine/wine)
  elif [ -f "$root/.ready" ]; then
    # Started through the folder's own ld-linux.so.2 (the one at /lib is not there).
    wine=(env WINELOADERNOEXEC=1 "WINEDLLPATH=$root/usr/lib/i386-linux-gnu/wine"
      "LD_LIBRARY_PATH=$root/usr/lib/i386-linux-gnu" "$root/usr/lib/wine/ld-linux.so.2"
      "$root/usr/lib/wine/wine")
  else
    wine=()
    skipped="no 32-bit Wine loader: apt provided neither wine32:i386 nor its packages (build-wine32/install.log)"
    return 0
  fi
  local probe rc=0
  probe=$(mktemp)
  # The 32-bit ELF itself first, by the shell (env would hand an ELF the kernel refuses to sh).
  if [ -x /usr/lib/wine/wine ]; then
    /usr/lib/wine/wine --version >"$probe" 2>&1 || rc=$?
  else
    "$root/usr/lib/wine/ld-linux.so.2" --version >"$probe" 2>&1 || rc=$?
  fi
  # To a file: Wine's background processes would keep a pipe open.
  [ "$rc" -eq 126 ] || "${wine[@]}" --version >"$probe" 2>&1 || rc=$?
  if [ "$rc" -eq 126 ]; then
    skipped="this kernel does not run 32-bit programs (exec format error: its ia32 emulation is off)"
  elif [ "$rc" -ne 0 ]; then
    # A loader that is there but does not start is a fault of the set-up, not a skip.
    echo "Wine's 32-bit loader does not start (exit $rc): $(head -c 300 "$probe")" >&2
    rm -f "$probe"
    return 1
  fi
  rm -f "$probe"
  if [ -z "$skipped" ] && [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$build"
    # A WoW64 prefix: its system programs run as 64-bit.
    mkdir -p "$build"
    /usr/lib/wine/wine64 wineboot --init >"$build/wineboot.log" 2>&1 || {
      echo "wineboot --init failed: $(tail -n 5 "$build/wineboot.log")" >&2
      return 1
    }
  fi
  return 0
}
