#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/thread.h"
#include "thread/annotated_mutex.h"

class IDebugMessage;

namespace korvalt::thread {

// A named thread with a virtual body. Threads are never killed: joins are bounded, and a thread
// that outlives its bound is detached only when its owner handed a keep-alive to Start (shared
// ownership of everything the body uses); without one the join keeps waiting, because memory
// must never be freed under a running body.
//
// Every started thread has a stop state of its own. A stop asked on the thread itself (a host
// callback that stops its caller) cannot wait for itself: the thread stays attached, counts as
// running, and ends as soon as the callback returns to its loop. A Start before that revives
// the same thread instead of starting a second one beside it, so a restart from a callback
// leaves exactly one thread. Start, stop and join are serialised by the owner.
class CSimpleThread {
 public:
  static constexpr int kDefaultJoinMs = 10000;

  CSimpleThread() = default;
  virtual ~CSimpleThread() = default;
  CSimpleThread(const CSimpleThread&) = delete;
  CSimpleThread& operator=(const CSimpleThread&) = delete;

  virtual void Run() = 0;

  // False when a thread is already running (the name is kept) or none could be created. A
  // thread asked to stop that has not left its loop yet is revived; one that has is joined first.
  bool Start(const std::string& name);
  // keepAlive is held by the thread until Run returns.
  bool Start(const std::string& name, std::shared_ptr<void> keepAlive);

  const std::string& Name() const { return ThreadName; }
  // A thread is attached: running, or asked to stop and not joined yet.
  bool IsRunning() const { return Handle.Attached(); }
  // Running and not asked to stop.
  bool IsActive() const;
  bool IsCurrentThread() const { return Handle.IsCurrent(); }
  uint32_t ThreadId() const { return Handle.Id(); }

  // Where an overrun join is reported (level 1); optional.
  void SetDiagnostics(IDebugMessage* sink) { Diagnostics = sink; }
  void SetJoinTimeout(int ms) { JoinMs = ms; }

 protected:
  // Asks the attached thread to leave its loop at its next KeepRunning.
  void RequestStop();
  // On the thread itself, between two turns of Run's loop: false once a stop was asked, and from
  // then on the thread is committed to end (Run must return).
  bool KeepRunning();
  // Waits for the thread to end (see the class comment). Called from the thread itself it does
  // not wait: the thread ends when it is back in its loop, and the next Start, Join or the
  // destructor of the owner joins it. True when the thread ended within the bound (or will end
  // by itself, from its own thread).
  bool Join();

 private:
  // One per started thread.
  struct RunState {
    CMutex Lock;
    bool StopAsked QL_GUARDED_BY(Lock) = false;
    bool Leaving QL_GUARDED_BY(Lock) = false;  // KeepRunning said no: Run is returning
  };
  // Clears the stop request of a thread that has not left its loop yet.
  bool Revive();

  std::string ThreadName;
  platform::Thread Handle;
  std::shared_ptr<RunState> State;  // of the attached thread; replaced only after a join
  bool HasKeepAlive = false;
  int JoinMs = kDefaultJoinMs;
  IDebugMessage* Diagnostics = nullptr;  // borrowed
};

}  // namespace korvalt::thread
