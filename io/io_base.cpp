#include "io/io_base.h"

#include <algorithm>
#include <memory>

namespace korvalt {
namespace {
constexpr const char* kOutputThreadName = "Digital Output thread";
constexpr const char* kInputThreadName = "Digital Input thread";

// The I/O object whose worker thread this is, while it handles an item or a tick.
thread_local const CIOBase* tWorkerOf = nullptr;

struct WorkerMark {
  explicit WorkerMark(const CIOBase* owner) : Previous(tWorkerOf) { tWorkerOf = owner; }
  ~WorkerMark() { tWorkerOf = Previous; }
  WorkerMark(const WorkerMark&) = delete;
  WorkerMark& operator=(const WorkerMark&) = delete;
  const CIOBase* Previous;
};

// A negative count from the host means no such pins.
uint32_t NonNegative(int32_t count) {
  return static_cast<uint32_t>(std::max(count, 0));
}
}  // namespace

CIOBase::CIOBase(IDriver* driver) : Driver(driver) {
  thread::CWorkItemThread::SetDiagnostics(driver);
  thread::CTickerThread::SetDiagnostics(driver);
  // Outputs start "not yet known" as after a reset: a device without inputs gets no initial
  // output set-up, and its first output change must still reach the camera.
  ResetStates();
}

CIOBase::~CIOBase() {
  if (ThreadsRunning()) Stop();
}

bool CIOBase::SetIOSink(ipcapture::IIOEventSink* sink) {
  if (sink == nullptr) return false;
  Sink.store(sink);
  return true;
}

uint32_t CIOBase::GetInputCount() {
  return NonNegative(Driver->GetIOCounts().first);
}

uint32_t CIOBase::GetOutputCount() {
  return NonNegative(Driver->GetIOCounts().second);
}

bool CIOBase::Start() {
  try {
    std::unique_lock<CRecursiveMutex> host = LockHostCalls();
    if (!host.owns_lock()) return false;
    HostLock.AssertHeld();
    // A second Start must not poll or set outputs on the host's thread while the worker threads
    // use the same connections: it fails before any request. Threads stopped from a sink call
    // that has not returned yet do not count: Start revives them.
    if (thread::CWorkItemThread::IsActive() || thread::CTickerThread::IsActive()) return false;
    // A Stop from inside a sink call of this Start (same thread) wins over the rest of it.
    const uint64_t generation = StopGeneration;
    const uint32_t inputs = GetInputCount();
    const uint32_t outputs = GetOutputCount();

    // The first poll and the outputs' initial "off" run on the host's thread, before the threads.
    bool polled = false;
    if (inputs > 0) {
      polled = PollInputs();
      if (!polled) {
        ResetStates();
        ReportFailure();
      }
    }
    if (polled) {
      for (uint32_t i = 0; i < outputs && StopGeneration == generation; ++i) {
        {
          CMutexLock guard(StateLock);
          OutputStates[i] = ipcapture::kIOStateOff;
        }
        if (!SetOutputNow(static_cast<int32_t>(i), ipcapture::kIOStateOff)) {
          ResetStates();
          ReportFailure();
          break;
        }
      }
    }
    if (StopGeneration != generation) return false;

    bool failed = false;
    if (outputs > 0 && !StartWorker(kOutputThreadName)) failed = true;
    if (inputs > 0 && !StartTicker(kInputThreadName)) return false;
    return !failed;
  } catch (...) {
    return false;
  }
}

bool CIOBase::Stop() {
  // Cut short the requests of a Start under way on another host thread before waiting for it.
  ++Stopping;
  AbortRequests();
  bool stopped = false;
  try {
    std::unique_lock<CRecursiveMutex> host = LockHostCalls();
    if (host.owns_lock()) {
      HostLock.AssertHeld();
      ++StopGeneration;
      // Unsent output changes are discarded with the worker's queue. Stopped from a sink call on
      // one of our threads, that thread ends when the call returns (or goes on if the call
      // starts us again).
      StopWorker();
      StopTicker();
      ResetStates();
      stopped = true;
      // The last of several concurrent Stops lets requests through again before the lock goes,
      // so a Start that follows never runs against aborted senders.
      if (--Stopping == 0) ResumeRequests();
      return true;
    }
  } catch (...) {
  }
  if (--Stopping == 0) ResumeRequests();
  return stopped;
}

std::unique_lock<CRecursiveMutex> CIOBase::LockHostCalls() {
  std::unique_lock<CRecursiveMutex> lock(HostLock, std::defer_lock);
  // A sink call on one of our threads that starts or stops us must not wait: the holder of the
  // lock may be joining this very thread.
  if (tWorkerOf == this) {
    lock.try_lock();
  } else {
    lock.lock();
  }
  return lock;
}

bool CIOBase::SetOutput(int32_t index, int32_t state) {
  // The handler ignores outputs the device does not have; queueing them would only let a
  // host's stray indexes grow the queue.
  if (index < 0 || static_cast<uint32_t>(index) >= GetOutputCount()) return Accepting();
  try {
    auto item = std::make_unique<CWorkItem>(index, state);
    if (!Post(item.get())) return false;
    item.release();  // the worker owns it now
    return true;
  } catch (...) {
    return false;
  }
}

void CIOBase::BeforeAppend(std::deque<std::unique_ptr<thread::CWorkItemThread::IWorkItem>>& queue,
                           const thread::CWorkItemThread::IWorkItem&) {
  // While the camera does not answer, the oldest changes go first: what waits is the latest few,
  // in the order the host made them, so a short pulse (on, then off) is never merged away.
  while (queue.size() >= kMaxQueuedChanges) queue.pop_front();
}

void CIOBase::HandleWorkItem(thread::CWorkItemThread::IWorkItem* item) {
  const WorkerMark mark(this);
  auto* change = dynamic_cast<CWorkItem*>(item);
  if (change == nullptr || change->Index < 0) return;
  {
    CMutexLock guard(StateLock);
    auto it = OutputStates.find(static_cast<uint32_t>(change->Index));
    // Unknown outputs are ignored; a change to the present state sends nothing.
    if (it == OutputStates.end() || it->second == change->State) return;
    it->second = change->State;
  }
  if (!SetOutputNow(change->Index, change->State)) {
    ResetStates();
    ReportFailure();
  }
}

void CIOBase::OnTick() {
  const WorkerMark mark(this);
  try {
    if (!PollInputs()) {
      ResetStates();
      ReportFailure();
    }
  } catch (...) {
    // One bad tick must not end the polling.
  }
}

void CIOBase::ApplyInputState(uint32_t index, int32_t state) {
  {
    CMutexLock guard(StateLock);
    auto it = InputStates.find(index);
    if (it == InputStates.end() || it->second == state) return;
    it->second = state;
  }
  // The host is called outside our lock.
  if (ipcapture::IIOEventSink* sink = Sink.load()) sink->InputChanged(index, state);
}

void CIOBase::ResetStates() {
  const uint32_t inputs = GetInputCount();
  const uint32_t outputs = GetOutputCount();
  CMutexLock guard(StateLock);
  InputStates.clear();
  OutputStates.clear();
  for (uint32_t i = 0; i < outputs; ++i) OutputStates.emplace(i, kStateUnknown);
  for (uint32_t i = 0; i < inputs; ++i) InputStates.emplace(i, kStateUnknown);
}

void CIOBase::ReportFailure() {
  if (Stopping.load() > 0) return;
  if (ipcapture::IIOEventSink* sink = Sink.load()) sink->IOFailure();
}

bool CIOBase::ThreadsRunning() {
  return thread::CWorkItemThread::IsRunning() || thread::CTickerThread::IsRunning();
}

}  // namespace korvalt
