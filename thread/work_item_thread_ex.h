#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "platform/event.h"
#include "thread/simple_thread.h"
#include "thread/spin_mutex.h"

namespace korvalt {

// Work-item thread with a bounded queue that drops the oldest items first. Handlers run inside
// a guard that discards exceptions.
class CWorkItemThreadEx : public thread::CSimpleThread {
 public:
  class IWorkItem {
   public:
    virtual ~IWorkItem() = default;
  };

  static constexpr int kWaitMs = 1000;  // bounds how late a cleared running flag is noticed

  CWorkItemThreadEx();
  ~CWorkItemThreadEx() override;

  void Run() override;
  virtual void ClearQueue();
  virtual void HandleWorkItem(IWorkItem* item) = 0;
  virtual bool Start(const std::string& name);
  virtual bool Stop();
  // Takes ownership of item in every outcome. maxLength 0 means unbounded; otherwise the oldest
  // items are dropped until maxLength - 1 remain before the new one is appended.
  virtual bool PostWorkItem(IWorkItem* item, uint32_t maxLength);

  size_t QueueLength();

 private:
  platform::Event WorkEvent{platform::Event::ResetMode::kAuto};
  std::atomic<bool> Running{false};
  CSpinMutex QueueLock;  // guards Queue
  std::deque<std::unique_ptr<IWorkItem>> Queue QL_GUARDED_BY(QueueLock);
};

}  // namespace korvalt
