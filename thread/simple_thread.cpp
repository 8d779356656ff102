#include "thread/simple_thread.h"

#include "driver/debug_message.h"

namespace korvalt::thread {
namespace {
// The stop state of the thread that runs this code, set by the thread's wrapper.
thread_local void* tRunState = nullptr;
}  // namespace

bool CSimpleThread::Start(const std::string& name) {
  return Start(name, nullptr);
}

bool CSimpleThread::Start(const std::string& name, std::shared_ptr<void> keepAlive) {
  if (Handle.Attached()) {
    if (Revive()) {
      ThreadName = name;
      return true;
    }
    // Running and not asked to stop, or still leaving its loop on its own: never a second one.
    if (IsActive() || Handle.IsCurrent() || !Join()) return false;
  }
  ThreadName = name;
  HasKeepAlive = keepAlive != nullptr;
  auto state = std::make_shared<RunState>();
  State = state;
  return Handle.Start([this, state, keepAlive = std::move(keepAlive)]() mutable {
    tRunState = state.get();
    try {
      Run();
    } catch (...) {
    }
    {
      CMutexLock guard(state->Lock);
      state->Leaving = true;
    }
    tRunState = nullptr;
    // Dropping the keep-alive may destroy this object; nothing of it is touched afterwards.
    keepAlive.reset();
  });
}

bool CSimpleThread::IsActive() const {
  if (!Handle.Attached() || !State) return false;
  CMutexLock guard(State->Lock);
  return !State->StopAsked && !State->Leaving;
}

void CSimpleThread::RequestStop() {
  if (!Handle.Attached() || !State) return;
  CMutexLock guard(State->Lock);
  State->StopAsked = true;
}

bool CSimpleThread::Revive() {
  if (!State) return false;
  CMutexLock guard(State->Lock);
  if (!State->StopAsked || State->Leaving) return false;
  State->StopAsked = false;
  return true;
}

bool CSimpleThread::KeepRunning() {
  auto* state = static_cast<RunState*>(tRunState);
  if (state == nullptr) return true;
  CMutexLock guard(state->Lock);
  if (state->StopAsked) state->Leaving = true;
  return !state->Leaving;
}

bool CSimpleThread::Join() {
  if (!Handle.Attached()) return true;
  if (Handle.IsCurrent()) return true;
  if (Handle.JoinFor(JoinMs)) return true;
  if (Diagnostics != nullptr) {
    Diagnostics->DebugMessage(ipcapture::kDebugLevelError, "%s: thread \"%s\" did not end within %d ms",
                              "korvalt::thread::CSimpleThread::Join", ThreadName.c_str(), JoinMs);
  }
  if (HasKeepAlive) {
    Handle.Detach();
    return false;
  }
  Handle.JoinFor(platform::Event::kInfinite);
  return false;
}

}  // namespace korvalt::thread
