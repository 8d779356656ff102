#pragma once

#include <chrono>
#include <cstdint>

namespace korvalt::platform {

// An event that a thread can wait on, alone, with a second event, or together with a socket.
// On Linux an eventfd, so that poll() can watch it beside any descriptor; on Windows an event
// object, waited on beside a socket's network-event object. That is how every blocking wait in
// the module stays interruptible by its owner's stop event.
class Event {
 public:
  enum class ResetMode { kAuto, kManual };
  static constexpr int kInfinite = -1;

  explicit Event(ResetMode reset = ResetMode::kAuto, bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool Valid() const { return Native != kNoHandle; }
  // Test seam: while set, events are made without a descriptor (not Valid), as when the process
  // has none left.
  static void SetCreationFailsForTest(bool fails);
  void Set();
  void Reset();
  // True when the event was set within timeoutMs (kInfinite waits without limit). An auto-reset
  // event is consumed by the waiter that sees it.
  bool Wait(int timeoutMs);
  // The system's object: a descriptor that polls readable while the event is set (Linux), or the
  // event object's handle (Windows).
  intptr_t NativeHandle() const { return Native; }
  // Consumes the event after a wait on NativeHandle reported it set; false when another waiter
  // took it first.
  bool Consume();

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t Native = kNoHandle;
  bool Manual = false;
};

// Waits for the first of two events. Returns 0 or 1 for the event that ended the wait, -1 on time-out.
int WaitAny(Event& first, Event& second, int timeoutMs);

enum class WaitResult { kEvent, kSocket, kTimeout, kError };
// Waits until the event is set or the socket reports one of pollEvents (POLLIN, POLLOUT...).
// The event has priority: a stop request wins over data.
WaitResult WaitEventOrSocket(Event& event, intptr_t socket, short pollEvents, int timeoutMs);

}  // namespace korvalt::platform
