#include "thread/work_item_thread_ex.h"

namespace korvalt {

CWorkItemThreadEx::CWorkItemThreadEx() = default;

CWorkItemThreadEx::~CWorkItemThreadEx() {
  if (Running.load() || IsRunning()) Stop();
}

void CWorkItemThreadEx::Run() {
  while (Running.load()) {
    if (!WorkEvent.Wait(kWaitMs)) continue;
    for (;;) {
      std::unique_ptr<IWorkItem> item;
      {
        CSpinMutexLock guard(&QueueLock);
        if (Queue.empty()) break;
        item = std::move(Queue.front());
        Queue.pop_front();
      }
      try {
        HandleWorkItem(item.get());
      } catch (...) {
      }
      item.reset();
      if (!Running.load()) return;
    }
  }
}

void CWorkItemThreadEx::ClearQueue() {
  for (;;) {
    std::unique_ptr<IWorkItem> item;
    {
      CSpinMutexLock guard(&QueueLock);
      if (Queue.empty()) return;
      item = std::move(Queue.front());
      Queue.pop_front();
    }
    // Destroyed outside the lock: an item's destructor may be arbitrary code.
  }
}

bool CWorkItemThreadEx::Start(const std::string& name) {
  Running.store(true);
  return CSimpleThread::Start(name);
}

bool CWorkItemThreadEx::Stop() {
  Running.store(false);
  ClearQueue();
  WorkEvent.Set();
  Join();
  return true;
}

bool CWorkItemThreadEx::PostWorkItem(IWorkItem* item, uint32_t maxLength) {
  std::unique_ptr<IWorkItem> owned(item);
  if (!Running.load() || !owned) return false;
  std::deque<std::unique_ptr<IWorkItem>> dropped;
  {
    CSpinMutexLock guard(&QueueLock);
    if (maxLength > 0) {
      while (Queue.size() >= maxLength) {
        dropped.push_back(std::move(Queue.front()));
        Queue.pop_front();
      }
    }
    Queue.push_back(std::move(owned));
    WorkEvent.Set();
  }
  return true;
}

size_t CWorkItemThreadEx::QueueLength() {
  CSpinMutexLock guard(&QueueLock);
  return Queue.size();
}

}  // namespace korvalt
