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

  // Sets the running flag first, then starts the thread (or revives one stopped from its own
  // handler that has not returned yet).
  bool StartWorker(const std::string& name);
  // Ownership of item passes to the thread only when Post returns true; on false the caller
  // keeps (and destroys) it.
  bool Post(IWorkItem* item);
  // Clears the running flag, destroys the queued items unhandled, wakes and joins the thread.
  // From a handler (on the thread itself) the thread ends when the handler returns.
  void StopWorker();
  // Posts are accepted (between StartWorker and StopWorker).
  bool Accepting() const { return Running.load(); }

 protected:
  // Hook for owners that keep at most one queued item per key: called under the queue lock with
  // the queue and the new item before it is appended.
  virtual void BeforeAppend(std::deque<std::unique_ptr<IWorkItem>>& /*queue*/, const IWorkItem& /*item*/) {}

 private:
  CMutex QueueLock;  // guards Queue and Running's changes
  platform::Event WorkEvent{platform::Event::ResetMode::kAuto};
  std::deque<std::unique_ptr<IWorkItem>> Queue QL_GUARDED_BY(QueueLock);
  std::atomic<bool> Running{false};  // posts are accepted
};

}  // namespace korvalt::thread
