#include "platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace korvalt::platform {

namespace {
// Constant-initialised, so reading it needs no guard; filled on a thread's first call.
thread_local uint32_t tThreadId = 0;
thread_local bool tRaised = false;
}  // namespace

uint32_t CurrentThreadId() {
  uint32_t id = tThreadId;
  if (id == 0) tThreadId = id = static_cast<uint32_t>(::syscall(SYS_gettid));
  return id;
}

void RaiseCurrentThreadPriority() {
  // A lower nice value needs privileges; without them the call fails and we carry on.
  tRaised = ::setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), -1) == 0;
}

void RestoreCurrentThreadPriority() {
  if (!tRaised) return;
  tRaised = false;
  // Lowering one's own priority needs no privilege.
  [[maybe_unused]] const int rc = ::setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), 0);
}

}  // namespace korvalt::platform
