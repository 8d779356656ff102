#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/event.h"

namespace korvalt::platform {

// Kernel id of the calling thread: never 0, unique among running threads.
uint32_t CurrentThreadId();

// Best effort: raise the calling thread's priority a little; silently ignored without privileges.
void RaiseCurrentThreadPriority();
// Undoes a raise on the calling thread, before its worker takes another body.
void RestoreCurrentThreadPriority();

// A joinable thread whose join can be bounded. Threads are never killed: a thread that outlives
// its bound is detached, and its owner must keep alive everything the body touches. The body runs
// on a worker of the module's WorkerPool; a join waits for the body, not for the system thread.
class Thread {
 public:
  Thread() = default;
  // Joins a thread still running (without limit): memory is never freed under a running body.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs body on a new thread; exceptions leaving body are swallowed. False when the system
  // refuses a thread or one is already attached.
  bool Start(std::function<void()> body);
  bool Attached() const { return Done != nullptr; }
  bool IsCurrent() const;
  uint32_t Id() const { return ThreadId; }
  // Waits at most timeoutMs (Event::kInfinite: no limit) for the body to end, then joins.
  // True when no thread is attached any more. Called from the body itself, it detaches.
  bool JoinFor(int timeoutMs);
  // Gives the thread up; it ends by itself.
  void Detach();

 private:
  std::shared_ptr<Event> Done;  // set by the worker once the body ended; null when not attached
  uint32_t ThreadId = 0;
};

}  // namespace korvalt::platform
