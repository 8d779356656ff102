#!/usr/bin/env bash
# Builds quenlark_ipcapture.dll for Windows x64 and x86 with the MinGW-w64 cross compilers:
# build-windows-x64/bin/quenlark_ipcapture.dll and build-windows-x86/bin/quenlark_ipcapture.dll.
# Then checks each DLL: the twelve exports by plain name, and imports from system DLLs only.
# The x86 DLL is also checked for SSE code that would need a 16-byte aligned stack: a recorder
# built with Microsoft's compiler guarantees 4 bytes only. scripts/test-windows.sh runs the Windows
# tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=${QUENLARK_JOBS:-$(nproc)}
for arch in x64 x86; do
  cmake --preset "windows-$arch" >/dev/null
  nice cmake --build --preset "windows-$arch" -j "$jobs"
done

exports=(CreateIPCapture CreateIPCaptureEx CreateIPCaptureEx2 CreateIPCaptureEx3
  DeleteIPCapture DeleteIPCaptureEx DeleteIPCaptureEx2 DeleteIPCaptureEx3
  InitCapabilityQuery StartCapabilityQuery TerminateCapabilityQuery UninitCapabilityQuery)
# DLLs every Windows system has (the C runtime is msvcrt.dll).
system_dlls='^(KERNEL32|WS2_32|WINHTTP|CRYPT32|SECUR32|OLE32|OLEAUT32|ADVAPI32|USER32|msvcrt|api-ms-win-crt-[a-z0-9-]+)\.dll$'
status=0
for arch in x64 x86; do
  dll=build-windows-$arch/bin/quenlark_ipcapture.dll
  objdump -p "$dll" >"build-windows-$arch/objdump.txt"
  # The export table's name lines: "[ordinal] Name".
  found=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' "build-windows-$arch/objdump.txt" |
    sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
  wanted=$(printf '%s\n' "${exports[@]}" | sort)
  if [ "$found" != "$wanted" ]; then
    echo "build-windows: $dll exports differ:" >&2
    diff <(echo "$wanted") <(echo "$found") >&2 || true
    status=1
  fi
  imports=$(sed -n 's/^\s*DLL Name: //p' "build-windows-$arch/objdump.txt")
  if echo "$imports" | grep -Eiv "$system_dlls" >/dev/null; then
    echo "build-windows: $dll imports non-system DLLs: $(echo "$imports" | grep -Eiv "$system_dlls" | tr '\n' ' ')" >&2
    status=1
  fi
  echo "$dll: $(echo "$found" | wc -l) exports; imports $(echo "$imports" | tr '\n' ' ')"
done

# x86: an aligned SSE access to the stack (movaps, movdqa, a packed operation on memory) faults
# when the caller aligned the stack to 4 bytes only. The toolchain makes GCC realign frames that
# need more (-mincoming-stack-boundary=2); this catches code that does not, the static runtime's
# included. Unaligned and scalar forms are fine.
dll=build-windows-x86/bin/quenlark_ipcapture.dll
objdump -d --no-show-raw-insn "$dll" >build-windows-x86/disassembly.txt
sse=$(grep -c '%xmm' build-windows-x86/disassembly.txt || true)
aligned=$(grep -E '%xmm' build-windows-x86/disassembly.txt | grep -E '\((%esp|%ebp)' |
  grep -Ev '\s(movu|movs[sd]|movdqu|lddqu|movlp|movhp|movq|movd|cvt|u?comis|(add|sub|mul|div|min|max|sqrt)s[sd]|pinsr|pextr)' || true)
if [ -n "$aligned" ]; then
  echo "build-windows: $dll has aligned SSE accesses to the stack, which a 4-byte aligned caller faults:" >&2
  echo "$aligned" | head -n 10 >&2
  status=1
fi
echo "$dll: $sse SSE instructions, none needing a 16-byte aligned stack"
exit $status
