#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/event.h"

namespace korvalt::platform {

// The system threads behind Thread. A worker whose short body ended waits for the next body instead
// of ending: a burst of reconnections would otherwise make a system thread per request, and every
// new thread fills fresh allocator caches that leave the heap more fragmented. A worker ends after
// a long body (a session), whose thread's cache would otherwise carry into the next session.
//
// Each body holds the pool open twice: once while it runs, once until its Thread lets go (join or
// detach). When the last hold goes, the idle workers end and the caller joins them, so after the
// last stop or delete returns, no worker of the module runs.
class WorkerPool {
 public:
  static WorkerPool& Instance();

  // Runs body on an idle worker or a new one, and sets done after the worker let go of the body.
  // The worker's thread id is written to *threadId before body can start. False (nothing held)
  // when the system refuses a thread.
  bool Run(std::function<void()> body, std::shared_ptr<Event> done, uint32_t* threadId);
  // The Thread's hold, taken by Run, given back.
  void Release();

  // Workers now waiting for a body (tests).
  size_t IdleWorkers();
  // Tests: a body that runs this long ends its worker (0: back to the default, 10 s).
  static void SetLongBodyMs(int64_t ms);

  struct State;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

 private:
  WorkerPool() = default;
  static State& Shared();
};

}  // namespace korvalt::platform
