#include "thread/ticker_thread.h"

namespace korvalt::thread {

void CTickerThread::Run() {
  // The period is read anew for every wait. A stop asked from inside OnTick (on this thread)
  // ends the loop when OnTick returns, unless a Start revived it meanwhile.
  while (KeepRunning() && !StopEvent->Wait(static_cast<int>(PeriodMs.load()))) {
    if (KeepRunning()) OnTick();
  }
}

bool CTickerThread::StartTicker(const std::string& name) {
  if (!StopEvent) {
    auto event = std::make_unique<platform::Event>(platform::Event::ResetMode::kAuto);
    if (!event->Valid()) return false;
    StopEvent = std::move(event);
  }
  if (IsActive()) return false;
  StopEvent->Reset();
  return Start(name);
}

void CTickerThread::StopTicker() {
  RequestStop();
  if (StopEvent) StopEvent->Set();
  Join();
}

}  // namespace korvalt::thread
