#include "thread/ticker_thread.h"

namespace korvalt::thread {

void CTickerThread::Run() {
  // The period is read anew for every wait.
  while (!StopEvent->Wait(static_cast<int>(PeriodMs.load()))) OnTick();
}

bool CTickerThread::StartTicker(const std::string& name) {
  if (!StopEvent) {
    auto event = std::make_unique<platform::Event>(platform::Event::ResetMode::kAuto);
    if (!event->Valid()) return false;
    StopEvent = std::move(event);
  }
  if (IsRunning()) return false;
  StopEvent->Reset();
  return Start(name);
}

void CTickerThread::StopTicker() {
  if (StopEvent) StopEvent->Set();
  Join();
}

}  // namespace korvalt::thread
