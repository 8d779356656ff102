#include "thread/simple_thread.h"

#include "driver/debug_message.h"

namespace korvalt::thread {

bool CSimpleThread::Start(const std::string& name) {
  return Start(name, nullptr);
}

bool CSimpleThread::Start(const std::string& name, std::shared_ptr<void> keepAlive) {
  if (Handle.Attached()) return false;
  ThreadName = name;
  HasKeepAlive = keepAlive != nullptr;
  return Handle.Start([this, keepAlive = std::move(keepAlive)]() mutable {
    try {
      Run();
    } catch (...) {
    }
    // Dropping the keep-alive may destroy this object; nothing of it is touched afterwards.
    keepAlive.reset();
  });
}

bool CSimpleThread::Join() {
  if (!Handle.Attached()) return true;
  if (Handle.IsCurrent()) {
    Handle.Detach();
    return true;
  }
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
