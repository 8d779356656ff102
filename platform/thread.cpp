#include "platform/thread.h"

#include "platform/worker_pool.h"

namespace korvalt::platform {

Thread::~Thread() {
  if (Attached()) JoinFor(Event::kInfinite);
}

bool Thread::Start(std::function<void()> body) {
  if (Attached()) return false;
  auto done = std::make_shared<Event>(Event::ResetMode::kManual);
  if (!done->Valid()) return false;
  // The pool writes ThreadId before the body can start: the body may ask it at once (a stop from
  // its first callback).
  Done = done;
  if (!WorkerPool::Instance().Run(std::move(body), std::move(done), &ThreadId)) {
    Done.reset();
    ThreadId = 0;
    return false;
  }
  return true;
}

bool Thread::IsCurrent() const {
  // A worker runs other bodies after this one ended: only the body itself is "current".
  return Attached() && ThreadId == CurrentThreadId() && !Done->Wait(0);
}

bool Thread::JoinFor(int timeoutMs) {
  if (!Attached()) return true;
  if (IsCurrent()) {
    Detach();
    return true;
  }
  if (!Done->Wait(timeoutMs)) return false;
  Detach();
  return true;
}

void Thread::Detach() {
  if (!Attached()) return;
  Done.reset();
  ThreadId = 0;
  WorkerPool::Instance().Release();
}

}  // namespace korvalt::platform
