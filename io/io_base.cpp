#include "io/io_base.h"

#include <algorithm>
#include <memory>

namespace korvalt {
namespace {
constexpr const char* kOutputThreadName = "Digital Output thread";
constexpr const char* kInputThreadName = "Digital Input thread";

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
      for (uint32_t i = 0; i < outputs; ++i) {
        {
          std::lock_guard<std::mutex> guard(StateLock);
          OutputStates[i] = kStateOff;
        }
        if (!SetOutputNow(static_cast<int32_t>(i), kStateOff)) {
          ResetStates();
          ReportFailure();
          break;
        }
      }
    }

    bool failed = false;
    if (outputs > 0 && !StartWorker(kOutputThreadName)) failed = true;
    if (inputs > 0) {
      if (thread::CTickerThread::IsRunning()) return false;
      if (!StartTicker(kInputThreadName)) return false;
    }
    return !failed;
  } catch (...) {
    return false;
  }
}

bool CIOBase::Stop() {
  bool stopped = true;
  Stopping.store(true);
  AbortRequests();
  try {
    // Unsent output changes are discarded with the worker's queue.
    StopWorker();
    StopTicker();
    ResetStates();
  } catch (...) {
    stopped = false;
  }
  ResumeRequests();
  Stopping.store(false);
  return stopped;
}

bool CIOBase::SetOutput(int32_t index, int32_t state) {
  try {
    auto item = std::make_unique<CWorkItem>(index, state);
    if (!Post(item.get())) return false;
    item.release();  // the worker owns it now
    return true;
  } catch (...) {
    return false;
  }
}

void CIOBase::HandleWorkItem(thread::CWorkItemThread::IWorkItem* item) {
  auto* change = dynamic_cast<CWorkItem*>(item);
  if (change == nullptr || change->Index < 0) return;
  {
    std::lock_guard<std::mutex> guard(StateLock);
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
    std::lock_guard<std::mutex> guard(StateLock);
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
  std::lock_guard<std::mutex> guard(StateLock);
  InputStates.clear();
  OutputStates.clear();
  for (uint32_t i = 0; i < outputs; ++i) OutputStates.emplace(i, kStateUnknown);
  for (uint32_t i = 0; i < inputs; ++i) InputStates.emplace(i, kStateUnknown);
}

void CIOBase::ReportFailure() {
  if (Stopping.load()) return;
  if (ipcapture::IIOEventSink* sink = Sink.load()) sink->IOFailure();
}

bool CIOBase::ThreadsRunning() {
  return thread::CWorkItemThread::IsRunning() || thread::CTickerThread::IsRunning();
}

}  // namespace korvalt
