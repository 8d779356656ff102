#include "thread/work_item_thread.h"

namespace korvalt::thread {

CWorkItemThread::CWorkItemThread() = default;

// Owners stop the thread before destroying it; if one forgot, stopping here is the only way
// not to free the queue under the running body.
CWorkItemThread::~CWorkItemThread() {
  if (IsRunning()) StopWorker();
}

void CWorkItemThread::Run() {
  // Each thread leaves on its own stop request; the running flag only says whether posts are
  // accepted, and a later Start sets it again while this thread may still be in a handler.
  while (KeepRunning()) {
    std::unique_ptr<IWorkItem> item;
    {
      CMutexLock guard(QueueLock);
      if (!Queue.empty()) {
        item = std::move(Queue.front());
        Queue.pop_front();
      }
    }
    if (!item) {
      WorkEvent.Wait(platform::Event::kInfinite);
      continue;
    }
    try {
      HandleWorkItem(item.get());
    } catch (...) {
      // A failing handler must not end the loop nor the host process.
    }
  }
}

bool CWorkItemThread::StartWorker(const std::string& name) {
  Running.store(true);
  return Start(name);
}

bool CWorkItemThread::Post(IWorkItem* item) {
  if (item == nullptr) return false;
  CMutexLock guard(QueueLock);
  if (!Running.load()) return false;
  BeforeAppend(Queue, *item);
  Queue.emplace_back(item);
  WorkEvent.Set();
  return true;
}

void CWorkItemThread::StopWorker() {
  std::deque<std::unique_ptr<IWorkItem>> discarded;
  {
    CMutexLock guard(QueueLock);
    Running.store(false);
    discarded.swap(Queue);
  }
  RequestStop();
  WorkEvent.Set();
  Join();
}

}  // namespace korvalt::thread
