#include "thread/work_item_thread.h"

namespace korvalt::thread {

CWorkItemThread::CWorkItemThread() = default;

// Owners stop the thread before destroying it; if one forgot, stopping here is the only way
// not to free the queue under the running body.
CWorkItemThread::~CWorkItemThread() {
  if (IsRunning()) StopWorker();
}

void CWorkItemThread::Run() {
  while (Running.load()) {
    std::unique_ptr<IWorkItem> item;
    {
      CMutexLock guard(QueueLock);
      while (Queue.empty()) {
        guard.Unlock();
        WorkEvent.Wait(platform::Event::kInfinite);
        guard.Lock();
        if (!Running.load()) break;
      }
      if (!Running.load()) break;
      item = std::move(Queue.front());
      Queue.pop_front();
    }
    if (item) {
      try {
        HandleWorkItem(item.get());
      } catch (...) {
        // A failing handler must not end the loop nor the host process.
      }
    }
  }
  std::deque<std::unique_ptr<IWorkItem>> rest;
  {
    CMutexLock guard(QueueLock);
    rest.swap(Queue);
  }
}

bool CWorkItemThread::StartWorker(const std::string& name) {
  Running.store(true);
  return Start(name);
}

bool CWorkItemThread::Post(IWorkItem* item) {
  if (!Running.load() || item == nullptr) return false;
  CMutexLock guard(QueueLock);
  Queue.emplace_back(item);
  WorkEvent.Set();
  return true;
}

void CWorkItemThread::StopWorker() {
  Running.store(false);
  WorkEvent.Set();
  Join();
  if (!IsRunning()) {
    // Items posted while no thread ran are never handled.
    CMutexLock guard(QueueLock);
    Queue.clear();
  }
}

}  // namespace korvalt::thread
