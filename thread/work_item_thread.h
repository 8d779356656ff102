#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include "platform/event.h"
#include "thread/annotated_mutex.h"
#include "thread/simple_thread.h"

namespace korvalt::thread {

// Executes posted work items one at a time, first in first out, on its own thread.
class CWorkItemThread : public CSimpleThread {
 public:
  class IWorkItem {
   public:
    virtual ~IWorkItem() = default;
  };

  CWorkItemThread();
  ~CWorkItemThread() override;

  void Run() override;
  // Handles one item on the work-item thread; the item stays owned by the thread object.
  virtual void HandleWorkItem(IWorkItem* item) = 0;

  // Sets the running flag first, then starts the thread.
  bool StartWorker(const std::string& name);
  // Ownership of item passes to the thread only when Post returns true; on false the caller
  // keeps (and destroys) it.
  bool Post(IWorkItem* item);
  // Clears the running flag, wakes and joins the thread; queued items are destroyed unhandled.
  void StopWorker();

 private:
  CMutex QueueLock;  // guards Queue
  platform::Event WorkEvent{platform::Event::ResetMode::kAuto};
  std::deque<std::unique_ptr<IWorkItem>> Queue QL_GUARDED_BY(QueueLock);
  std::atomic<bool> Running{false};
};

}  // namespace korvalt::thread
