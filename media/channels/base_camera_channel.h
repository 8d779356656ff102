#pragma once

#include <atomic>
#include <cstdint>

#include "driver/host/video.h"
#include "driver/idriver.h"
#include "media/channels/callback_gate.h"
#include "media/channels/camera_channel.h"
#include "platform/thread.h"
#include "thread/annotated_mutex.h"
#include "thread/event.h"
#include "thread/spin_mutex.h"

namespace korvalt {

// What every channel shares: the worker thread and its stop event, the state word, the time of
// the last accepted frame, and the online/offline reports to the host log.
// Host threads call Start, Stop, Restart and GetState; Run executes on the worker; the RTP
// receive thread records data time and reports the camera online through frame delivery.
class CBaseCameraChannel : public ICameraChannel {
 public:
  CBaseCameraChannel(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink);
  // Derived classes stop the channel in their own destructors: the worker calls their Run.
  ~CBaseCameraChannel() override;

  bool Start(const StreamSettings& settings) override;
  void Stop() override;
  bool Restart(const StreamSettings& settings) override;
  int32_t GetState() override;
  void SetState(int32_t state) override;

  // The worker's body; its result is the thread's exit code.
  virtual uint32_t Run() = 0;
  // Called on the stopping thread after the stop event is set, before the worker is joined.
  virtual void BeforeStop() {}

  // True on the channel's worker, and on its receive thread while a frame goes to the host. A stop
  // or restart made there (by the host, from inside a callback) cannot join the channel's threads:
  // the stop retires the channel at once and leaves the join to a later Stop on another thread
  // (the owner's, or the destructor's); the restart lets the worker open the stream anew.
  bool OnOwnThread() const;

 protected:
  // Cuts short the worker's wait for a first frame (a restart made on one of our threads).
  virtual void WakeWorker() {}

  void RecordDataTime();
  // Milliseconds since the last accepted frame (monotonic; saturates at 2^32 - 1).
  uint32_t MillisecondsSinceData();
  // Logs the transition between online and offline; repeated reports are silent.
  void SetCameraState(bool online);
  StreamSettings Settings() const;
  // Replaces the settings without starting anything (the worker reads them at each opening).
  void UseSettings(const StreamSettings& settings);
  // Also true without a stop event: such a channel never runs a worker.
  bool StopRequested() { return StopEvent.Handle() == nullptr || StopEvent.Handle()->Wait(0); }

  // Every call of the channel's threads into the host goes through it: closed by a stop, paused by
  // a restart until the worker opens the next stream.
  CCallbackGate HostCalls;
  // Set by a restart made on one of the channel's threads; the worker opens the stream anew.
  std::atomic<bool> RestartPending{false};

  IDriver* const Driver;                   // borrowed from the driver for the channel's life
  ipcapture::IFrameSink* const FrameSink;  // borrowed from the host until the channel stops
  const uint32_t ChannelNumber;
  CManualEvent StopEvent;  // set to ask the worker to stop

 private:
  bool StartWorker() QL_REQUIRES(ControlLock);
  void StopWorker() QL_REQUIRES(ControlLock);

  // Serialises Start, Stop and Restart of several host threads (a host may restart a channel
  // that another one stops); recursive because Start stops first. Never taken by the worker.
  CRecursiveMutex ControlLock;
  bool NetworkStarted QL_GUARDED_BY(ControlLock) = false;
  std::atomic<bool> CameraOnline{false};  // worker and receive thread
  CSpinMutex StateLock;                   // guards State
  int32_t State QL_GUARDED_BY(StateLock) = kStateStopped;
  CSpinMutex DataTimeLock;                             // guards LastDataMs
  int64_t LastDataMs QL_GUARDED_BY(DataTimeLock) = 0;  // monotonic; 0 = never
  mutable CSpinMutex SettingsLock;  // guards CurrentSettings (host threads write, receive thread reads)
  StreamSettings CurrentSettings QL_GUARDED_BY(SettingsLock);
  // A raw thread with the channel's own stop protocol: BeforeStop runs between the stop event and
  // the join, and an overrun of twice the network time-out is reported with the channel's number
  // and still waited for. The body is the channel's Run, not a thread object's.
  platform::Thread Worker QL_GUARDED_BY(ControlLock);
};

}  // namespace korvalt
