#include "thread/event.h"

#include <new>

namespace korvalt {

CEvent::CEvent(platform::Event::ResetMode reset) {
  auto event = std::unique_ptr<platform::Event>(new (std::nothrow) platform::Event(reset));
  if (event && event->Valid()) Event = std::move(event);
}

bool CEvent::Wait(int ms) {
  return Event ? Event->Wait(ms) : false;
}

void CEvent::Set() {
  if (Event) Event->Set();
}

void CEvent::Reset() {
  if (Event) Event->Reset();
}

int CEvent::WaitForFirst(CEvent* const* pair, int ms) {
  if (pair == nullptr || pair[0] == nullptr || pair[1] == nullptr) return -1;
  if (!pair[0]->Event || !pair[1]->Event) return -1;
  return platform::WaitAny(*pair[0]->Event, *pair[1]->Event, ms);
}

}  // namespace korvalt
