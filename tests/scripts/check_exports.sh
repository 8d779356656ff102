#!/bin/sh
# The module exports its C entry points and nothing else: no C++ symbol may leak.
set -eu
module=$1
expected="CreateIPCapture CreateIPCaptureEx CreateIPCaptureEx2 CreateIPCaptureEx3
DeleteIPCapture DeleteIPCaptureEx DeleteIPCaptureEx2 DeleteIPCaptureEx3
InitCapabilityQuery StartCapabilityQuery TerminateCapabilityQuery UninitCapabilityQuery"
actual=$(nm -D --defined-only "$module" | awk '{print $3}' | sort)
unexpected=$(printf '%s\n' "$actual" | grep -v -x -F "$(printf '%s\n' $expected)" || true)
if [ -n "$unexpected" ]; then
  echo "unexpected exported symbols:"; printf '%s\n' "$unexpected"; exit 1
fi
for name in CreateIPCapture CreateIPCaptureEx CreateIPCaptureEx2 CreateIPCaptureEx3 \
            DeleteIPCapture DeleteIPCaptureEx DeleteIPCaptureEx2 DeleteIPCaptureEx3; do
  printf '%s\n' "$actual" | grep -q -x "$name" || { echo "missing export $name"; exit 1; }
done
echo "exports: $(printf '%s ' $actual)"
