#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "driver/host/io.h"
#include "driver/host_destructor.h"
#include "driver/idriver.h"
#include "thread/annotated_mutex.h"
#include "thread/ticker_thread.h"
#include "thread/work_item_thread.h"

namespace korvalt {

// Camera-independent digital I/O: inputs are polled on a ticker thread, output changes are queued
// to a work-item thread so that the host's call never waits for the network. The two thread bases
// each keep their own CSimpleThread, so calls that both have are spelled with the base's name.
//
// Threads: the host calls the ICaptureIOApi operations; the "Digital Input thread" polls and
// reports input changes; the "Digital Output thread" sends output changes. Sink calls come from
// both worker threads (and from the host's thread during Start).
class CIOBase : public ICaptureIOApi, public thread::CWorkItemThread, public thread::CTickerThread {
 public:
  // States are ipcapture::kIOStateOff and kIOStateOn, and this one before the first poll or
  // output change. For outputs any state other than kIOStateOff means on.
  static constexpr int32_t kStateUnknown = 0;
  // Output changes waiting for a camera that does not answer; older ones are dropped.
  static constexpr size_t kMaxQueuedChanges = 32;

  // One queued output change.
  class CWorkItem : public thread::CWorkItemThread::IWorkItem {
   public:
    CWorkItem(int32_t index, int32_t state) : Index(index), State(state) {}
    int32_t Index;  // 0-based output
    int32_t State;  // ipcapture::kIOStateOff, other values on
  };

  // driver is borrowed for the object's whole life.
  explicit CIOBase(IDriver* driver);
  // Stops the threads when the owner did not (the derived class must have done so already when
  // its own members are in use by them).
  ~CIOBase() override;
  QUENLARK_HOST_DESTRUCTOR

  // ICaptureIOApi.
  bool SetIOSink(ipcapture::IIOEventSink* sink) override;
  bool Start() override;
  bool Stop() override;
  uint32_t GetInputCount() override;
  uint32_t GetOutputCount() override;
  bool SetOutput(int32_t index, int32_t state) override;

  // Sends one output change on the calling thread.
  virtual bool SetOutputNow(int32_t index, int32_t state) = 0;
  // Reads every input on the calling thread and reports the changes.
  virtual bool PollInputs() = 0;

 protected:
  // Stores a polled input state and tells the sink when it changed.
  void ApplyInputState(uint32_t index, int32_t state);

  // Called by Stop around the joins: cut short the requests under way (and fail new ones) so
  // that a camera that does not answer cannot hold the stop for its whole network time-out,
  // then let requests through again.
  virtual void AbortRequests() {}
  virtual void ResumeRequests() {}

  IDriver* Driver;  // borrowed

 private:
  void HandleWorkItem(thread::CWorkItemThread::IWorkItem* item) override;
  void BeforeAppend(std::deque<std::unique_ptr<thread::CWorkItemThread::IWorkItem>>& queue,
                    const thread::CWorkItemThread::IWorkItem& item) override;
  void OnTick() override;

  // Every input and output back to "not yet known", so that the next poll reports every input
  // again and the next output change is sent whatever the camera holds.
  void ResetStates();
  void ReportFailure();
  bool ThreadsRunning();

  std::atomic<ipcapture::IIOEventSink*> Sink{nullptr};  // borrowed; set by the host, read by the workers

  // Guards InputStates and OutputStates: each is written by its own worker thread, and a reset
  // after a failure on either thread rewrites both.
  CMutex StateLock;
  std::map<uint32_t, int32_t> InputStates QL_GUARDED_BY(StateLock);
  std::map<uint32_t, int32_t> OutputStates QL_GUARDED_BY(StateLock);

  // Host threads (and sink calls on our own threads) may Start and Stop at once; both start or
  // join the threads. Our threads never wait for it.
  std::unique_lock<CRecursiveMutex> LockHostCalls();

  // Serialises Start and Stop; recursive because a sink called during Start may Stop.
  CRecursiveMutex HostLock;
  uint64_t StopGeneration QL_GUARDED_BY(HostLock) = 0;  // counts Stops, so Start sees one made meanwhile
  // Number of Stops under way: requests cut short by Stop are no camera failures.
  std::atomic<int> Stopping{0};
};

}  // namespace korvalt
