#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace korvalt {

// Lets a channel's threads call into the host (frames, signal loss) until the channel is retired.
// A host may stop or restart the channel from inside one of those calls, on the channel's own
// thread, where nothing can be joined: closing the gate then ends the calls at once, and waits
// only for calls under way on the channel's other threads, never for the caller's own.
// No lock of ours is held while the host is called.
class CCallbackGate {
 public:
  // One call into the host; Admitted() is false when the gate was closed or paused.
  class CPass {
   public:
    explicit CPass(CCallbackGate& gate);
    ~CPass();
    CPass(const CPass&) = delete;
    CPass& operator=(const CPass&) = delete;
    bool Admitted() const { return Gate != nullptr; }

   private:
    CCallbackGate* Gate;
    const CCallbackGate* Outer;  // the gate this thread was inside before, if any
  };

  // Retires: no further call is admitted until Open. Returns once the calls of other threads
  // under way have returned.
  void Close();
  // No calls until Resume (a restart under way); waits as Close does.
  void Pause();
  void Resume();
  // Admits calls again after a stop (a new start).
  void Open();
  bool Closed() const;

 private:
  void WaitForOtherCallers(std::unique_lock<std::mutex>& lock);

  mutable std::mutex Lock;       // guards the three fields below
  std::condition_variable Left;  // a call returned
  bool IsClosed = false;
  bool IsPaused = false;
  uint32_t Calls = 0;  // under way, on any thread
};

}  // namespace korvalt
