#include "platform/worker_pool.h"

#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "platform/clock.h"
#include "platform/free_memory.h"
#include "platform/thread.h"

namespace korvalt::platform {

namespace {
// Idle workers kept beyond this many end (a burst of reconnections does not keep its threads).
constexpr size_t kMaxIdleWorkers = 64;
// A worker ends after this many bodies, and after any body that ran for kLongBodyMs or more (a
// session). The allocator keeps a cache of freed blocks per thread that only a thread's end gives
// back: a worker that went on from session to session would gather in it the blocks of every kind
// of body it ever ran and keep them for its next session, so the caches of all workers together
// grow for hours. Short bodies (a request, a look-up) still share workers, a burst of them too.
constexpr uint32_t kBodiesPerWorker = 8;
constexpr int64_t kLongBodyMs = 10000;
std::atomic<int64_t> gLongBodyMs{kLongBodyMs};

// A body that ended (a session, a request) freed its blocks: the first one to end in an interval
// hands the free pages back, on its worker after its joiner was told. Only a worker that stays
// idle does: a leaving one is joined by the next start, which would wait.
FreeMemory gFreeMemory;
}  // namespace

struct Worker {
  std::thread Os;   // written by Run under State::Lock before the worker reads it
  uint32_t Id = 0;  // guarded by State::Lock; set by the worker as it starts
  std::condition_variable Wake;
  std::function<void()> Body;   // guarded by State::Lock: the next body, handed over by Run
  std::shared_ptr<Event> Done;  // guarded by State::Lock, with Body
  bool Exit = false;            // guarded by State::Lock: end instead of waiting
  bool Joined = false;          // guarded by State::Lock: someone joins Os; else it detaches itself
  uint32_t Bodies = 0;          // run so far; only the worker touches it
};

// Lists, not vectors or a deque: empty, they hold no memory, so a module that the host let go of
// and unloads leaves nothing behind.
struct WorkerPool::State {
  std::mutex Lock;
  std::condition_variable Started;
  size_t Holds = 0;  // guarded by Lock: bodies running + Threads attached
  // guarded by Lock. Taken from the front, given back at the end: bodies go round every idle
  // worker, so each one reaches its last body and none idles for ever after a burst.
  std::list<std::shared_ptr<Worker>> Idle;
  std::list<std::shared_ptr<Worker>> Leaving;  // guarded by Lock: told to end, joined by the next caller

  // Called with Lock held when Holds reached 0: every idle worker ends. Returns those to join.
  std::list<std::shared_ptr<Worker>> TakeAllForExit() {
    std::list<std::shared_ptr<Worker>> out;
    out.splice(out.end(), Leaving);
    out.splice(out.end(), Idle);
    for (auto& w : out) {
      w->Exit = true;
      w->Joined = true;
      w->Wake.notify_one();
    }
    return out;
  }
};

namespace {
thread_local const Worker* tWorker = nullptr;

// Outside the lock. A worker never joins itself: it gives its thread up and ends by itself.
void JoinAll(std::list<std::shared_ptr<Worker>>& workers) {
  for (auto& w : workers) {
    if (w.get() == tWorker)
      w->Os.detach();
    else if (w->Os.joinable())
      w->Os.join();
  }
  workers.clear();
}

void WorkerLoop(WorkerPool::State* state, const std::shared_ptr<Worker>& self) {
  tWorker = self.get();
  std::unique_lock<std::mutex> lock(state->Lock);
  self->Id = CurrentThreadId();
  state->Started.notify_all();
  for (;;) {
    self->Wake.wait(lock, [&] { return self->Body != nullptr || self->Exit; });
    if (self->Body == nullptr) break;
    std::function<void()> body = std::move(self->Body);
    self->Body = nullptr;
    std::shared_ptr<Event> done = std::move(self->Done);
    lock.unlock();
    const int64_t startedMs = MonotonicMs();
    try {
      body();
    } catch (...) {
    }
    const bool longBody = MonotonicMs() - startedMs >= gLongBodyMs.load();
    // Release what the body captured before announcing the end, so a joiner that frees memory
    // after the join finds nothing of ours still referring to it.
    body = nullptr;
    RestoreCurrentThreadPriority();
    lock.lock();
    std::list<std::shared_ptr<Worker>> toJoin;
    if (++self->Bodies >= kBodiesPerWorker || longBody || state->Idle.size() >= kMaxIdleWorkers) {
      self->Exit = true;
      self->Joined = true;
      state->Leaving.push_back(self);
    } else {
      state->Idle.push_back(self);
    }
    // Only while the pool is held: then whoever ends it joins this worker first.
    const bool held = --state->Holds != 0;
    if (!held) toJoin = state->TakeAllForExit();
    const bool giveBack = held && !self->Exit;
    lock.unlock();
    done->Set();
    JoinAll(toJoin);
    if (giveBack && gFreeMemory.Due(MonotonicMs())) FreeMemory::GiveBack();
    lock.lock();
  }
  if (!self->Joined && self->Os.joinable()) self->Os.detach();
  tWorker = nullptr;
}
}  // namespace

WorkerPool& WorkerPool::Instance() {
  static WorkerPool pool;
  return pool;
}

WorkerPool::State& WorkerPool::Shared() {
  // Built in place and never destroyed: a body still running while the process ends may start or
  // end a thread, and at unload Windows would run a destructor under its loader lock. It holds no
  // memory of its own once the last hold ended the workers.
  alignas(State) static unsigned char storage[sizeof(State)];
  static State* const state = new (storage) State;
  return *state;
}

bool WorkerPool::Run(std::function<void()> body, std::shared_ptr<Event> done, uint32_t* threadId) {
  State& state = Shared();
  std::list<std::shared_ptr<Worker>> leaving;
  std::unique_lock<std::mutex> lock(state.Lock);
  leaving.swap(state.Leaving);
  std::shared_ptr<Worker> worker;
  if (!state.Idle.empty()) {
    worker = std::move(state.Idle.front());
    state.Idle.pop_front();
  } else {
    worker = std::make_shared<Worker>();
    try {
      worker->Os = std::thread([&state, worker] { WorkerLoop(&state, worker); });
    } catch (...) {
      lock.unlock();
      JoinAll(leaving);
      return false;
    }
    state.Started.wait(lock, [&] { return worker->Id != 0; });
  }
  state.Holds += 2;
  *threadId = worker->Id;
  worker->Done = std::move(done);
  worker->Body = std::move(body);
  worker->Wake.notify_one();
  lock.unlock();
  JoinAll(leaving);
  return true;
}

void WorkerPool::Release() {
  State& state = Shared();
  std::list<std::shared_ptr<Worker>> toJoin;
  {
    const std::lock_guard<std::mutex> guard(state.Lock);
    if (--state.Holds == 0) toJoin = state.TakeAllForExit();
  }
  JoinAll(toJoin);
}

void WorkerPool::SetLongBodyMs(int64_t ms) {
  gLongBodyMs.store(ms > 0 ? ms : kLongBodyMs);
}

size_t WorkerPool::IdleWorkers() {
  State& state = Shared();
  const std::lock_guard<std::mutex> guard(state.Lock);
  return state.Idle.size();
}

}  // namespace korvalt::platform
