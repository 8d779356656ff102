#include "platform/thread.h"

#include <atomic>
#include <mutex>

namespace korvalt::platform {

Thread::~Thread() {
  if (Handle.joinable()) JoinFor(Event::kInfinite);
}

bool Thread::Start(std::function<void()> body) {
  if (Handle.joinable()) return false;
  auto done = std::make_shared<Event>(Event::ResetMode::kManual);
  if (!done->Valid()) return false;
  auto started = std::make_shared<Event>(Event::ResetMode::kManual);
  auto id = std::make_shared<std::atomic<uint32_t>>(0);
  // The body waits until Handle and ThreadId are written: it may ask them at once (a stop from
  // its first callback).
  auto published = std::make_shared<std::mutex>();
  std::unique_lock<std::mutex> publishing(*published);
  try {
    Handle = std::thread([body = std::move(body), done, started, id, published]() mutable {
      id->store(CurrentThreadId());
      started->Set();
      { const std::lock_guard<std::mutex> wait(*published); }
      try {
        body();
      } catch (...) {
      }
      // Release what the body captured before announcing the end, so a joiner that frees
      // memory after the join finds nothing of ours still referring to it.
      body = nullptr;
      done->Set();
    });
  } catch (...) {
    return false;
  }
  Done = std::move(done);
  started->Wait(Event::kInfinite);
  ThreadId = id->load();
  publishing.unlock();
  return true;
}

bool Thread::IsCurrent() const {
  return Handle.joinable() && ThreadId == CurrentThreadId();
}

bool Thread::JoinFor(int timeoutMs) {
  if (!Handle.joinable()) return true;
  if (IsCurrent()) {
    Detach();
    return true;
  }
  if (!Done->Wait(timeoutMs)) return false;
  Handle.join();
  Done.reset();
  ThreadId = 0;
  return true;
}

void Thread::Detach() {
  if (!Handle.joinable()) return;
  Handle.detach();
  Done.reset();
  ThreadId = 0;
}

}  // namespace korvalt::platform
