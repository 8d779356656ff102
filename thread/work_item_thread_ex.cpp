#include "thread/work_item_thread_ex.h"

namespace korvalt {

CWorkItemThreadEx::CWorkItemThreadEx() = default;

CWorkItemThreadEx::~CWorkItemThreadEx() {
  if (Running.load() || IsRunning()) Stop();
}

void CWorkItemThreadEx::Run() {
  // Each thread leaves on its own stop request: a Start from a handler after a Stop from the same
  // handler goes on with this thread instead of starting a second one beside it.
  while (KeepRunning()) {
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
      if (!KeepRunning()) return;
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
  RequestStop();
  WorkEvent.Set();
  // From a handler on this thread it does not wait: the thread ends when the handler returns.
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
