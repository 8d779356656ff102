#include <windows.h>

#include "platform/thread.h"

namespace korvalt::platform {

uint32_t CurrentThreadId() {
  return static_cast<uint32_t>(::GetCurrentThreadId());
}

void RaiseCurrentThreadPriority() {
  // Best effort, as on Linux: a refusal is ignored.
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
}

void RestoreCurrentThreadPriority() {
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

}  // namespace korvalt::platform
