#pragma once

#include <memory>

#include "platform/event.h"

namespace korvalt {

// Thin owner of one event. The base is auto-reset; CManualEvent is manual-reset.
class CEvent {
 public:
  CEvent() : CEvent(platform::Event::ResetMode::kAuto) {}
  virtual ~CEvent() = default;
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  // True when signalled within ms (platform::Event::kInfinite waits without limit); false on
  // time-out or without an event.
  bool Wait(int ms);
  void Set();
  void Reset();
  platform::Event* Handle() const { return Event.get(); }

  // Waits for the first of two events: 0 or 1 for the one that ended the wait, -1 on time-out
  // or when pair is null.
  static int WaitForFirst(CEvent* const* pair, int ms);

 protected:
  explicit CEvent(platform::Event::ResetMode reset);
  void Close() { Event.reset(); }

 private:
  std::unique_ptr<platform::Event> Event;
};

class CManualEvent : public CEvent {
 public:
  CManualEvent() : CEvent(platform::Event::ResetMode::kManual) {}
};

}  // namespace korvalt
