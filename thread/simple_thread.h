#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/thread.h"

class IDebugMessage;

namespace korvalt::thread {

// A named thread with a virtual body. Threads are never killed: joins are bounded, and a thread
// that outlives its bound is detached only when its owner handed a keep-alive to Start (shared
// ownership of everything the body uses); without one the join keeps waiting, because memory
// must never be freed under a running body.
class CSimpleThread {
 public:
  static constexpr int kDefaultJoinMs = 10000;

  CSimpleThread() = default;
  virtual ~CSimpleThread() = default;
  CSimpleThread(const CSimpleThread&) = delete;
  CSimpleThread& operator=(const CSimpleThread&) = delete;

  virtual void Run() = 0;

  // False when a thread is already running (the name is kept) or none could be created.
  bool Start(const std::string& name);
  // keepAlive is held by the thread until Run returns.
  bool Start(const std::string& name, std::shared_ptr<void> keepAlive);

  const std::string& Name() const { return ThreadName; }
  bool IsRunning() const { return Handle.Attached(); }
  bool IsCurrentThread() const { return Handle.IsCurrent(); }
  uint32_t ThreadId() const { return Handle.Id(); }

  // Where an overrun join is reported (level 1); optional.
  void SetDiagnostics(IDebugMessage* sink) { Diagnostics = sink; }
  void SetJoinTimeout(int ms) { JoinMs = ms; }

 protected:
  // Waits for the thread to end (see the class comment). Called from the thread itself, it
  // only lets go of the handle. True when the thread ended within the bound.
  bool Join();

 private:
  std::string ThreadName;
  platform::Thread Handle;
  bool HasKeepAlive = false;
  int JoinMs = kDefaultJoinMs;
  IDebugMessage* Diagnostics = nullptr;  // borrowed
};

}  // namespace korvalt::thread
