#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/event.h"
#include "thread/simple_thread.h"

namespace korvalt::thread {

// Calls OnTick once per period on its own thread until its stop event is set.
class CTickerThread : public CSimpleThread {
 public:
  static constexpr uint32_t kDefaultPeriodMs = 5000;

  void Run() override;
  virtual void OnTick() = 0;

  // Creates the stop event when there is none, resets it and starts the thread.
  bool StartTicker(const std::string& name);
  // Sets the stop event and joins the thread. From the ticker's own thread (inside OnTick) it
  // cannot wait: the thread ends when OnTick returns, unless StartTicker revives it first.
  void StopTicker();

  void SetPeriod(uint32_t ms) { PeriodMs.store(ms); }
  uint32_t Period() const { return PeriodMs.load(); }

 private:
  std::unique_ptr<platform::Event> StopEvent;
  std::atomic<uint32_t> PeriodMs{kDefaultPeriodMs};
};

}  // namespace korvalt::thread
