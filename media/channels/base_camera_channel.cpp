#include "media/channels/base_camera_channel.h"

#include <cctype>
#include <string>

#include "media/channels/channel_thread_mark.h"
#include "platform/clock.h"
#include "platform/socket_startup.h"

namespace korvalt {
namespace {
constexpr const char* kOrigin = "korvalt::CBaseCameraChannel::SetCameraState";
}  // namespace

CBaseCameraChannel::CBaseCameraChannel(uint32_t channelNumber, IDriver* driver,
                                       ipcapture::IFrameSink* frameSink)
    : Driver(driver), FrameSink(frameSink), ChannelNumber(channelNumber) {}

CBaseCameraChannel::~CBaseCameraChannel() {
  Stop();
}

bool CBaseCameraChannel::Start(const StreamSettings& settings) {
  // From inside one of its own callbacks a channel can be stopped, not started again: its threads
  // end only after the call returns.
  if (OnOwnThread()) {
    Stop();
    return false;
  }
  CMutexLock control(ControlLock);
  Stop();
  UseSettings(settings);
  // Made while the process had no descriptor left, the channel has no stop event: a worker could
  // never be told to stop, so none is started.
  if (StopEvent.Handle() == nullptr) return false;
  if (!NetworkStarted) NetworkStarted = platform::SocketStartup();
  StopEvent.Reset();
  RestartPending = false;
  HostCalls.Open();
  if (StartWorker()) return true;
  if (NetworkStarted) {
    platform::SocketCleanup();
    NetworkStarted = false;
  }
  return false;
}

void CBaseCameraChannel::Stop() {
  if (OnOwnThread()) {
    // The host stops us from inside a call on one of our threads, which cannot wait for itself:
    // no further call reaches the host from here on, the worker leaves its loop when the call
    // returns, and the next Stop from another thread joins what is left.
    SetState(kStateStopped);
    HostCalls.Close();
    SetCameraState(false);
    StopEvent.Set();
    return;
  }
  CMutexLock control(ControlLock);
  SetState(kStateStopped);
  // Before the offline line: a frame handed over meanwhile must not report the camera online
  // after it.
  HostCalls.Close();
  SetCameraState(false);
  StopWorker();
  if (NetworkStarted) {
    platform::SocketCleanup();
    NetworkStarted = false;
  }
}

bool CBaseCameraChannel::Restart(const StreamSettings& settings) {
  auto adopt = [&] {
    // The quality given at start stays.
    CSpinMutexLock guard(&SettingsLock);
    CurrentSettings.FrameInterval = settings.FrameInterval;
    CurrentSettings.Width = settings.Width;
    CurrentSettings.Height = settings.Height;
  };
  if (OnOwnThread()) {
    // Restarted from inside a call on one of our threads: the worker goes on, and at its next
    // pass tears the session down and opens a new one with the new settings. Until then the
    // old session hands nothing more to the host.
    if (HostCalls.Closed() || StopRequested()) return false;
    SetState(kStateStopped);
    HostCalls.Pause();
    adopt();
    RestartPending = true;
    WakeWorker();
    return true;
  }
  CMutexLock control(ControlLock);
  SetState(kStateStopped);
  // A channel stopped from one of its own callbacks is retired: it is not brought back.
  if (HostCalls.Closed()) {
    StopWorker();
    return false;
  }
  HostCalls.Pause();
  StopWorker();
  adopt();
  if (StopEvent.Handle() == nullptr) return false;
  StopEvent.Reset();
  RestartPending = false;
  HostCalls.Resume();
  return StartWorker();
}

bool CBaseCameraChannel::OnOwnThread() const {
  return CChannelThreadMark::Current() == static_cast<const ICameraChannel*>(this);
}

int32_t CBaseCameraChannel::GetState() {
  CSpinMutexLock guard(&StateLock);
  return State;
}

void CBaseCameraChannel::SetState(int32_t state) {
  CSpinMutexLock guard(&StateLock);
  State = state;
}

StreamSettings CBaseCameraChannel::Settings() const {
  CSpinMutexLock guard(&SettingsLock);
  return CurrentSettings;
}

void CBaseCameraChannel::UseSettings(const StreamSettings& settings) {
  CSpinMutexLock guard(&SettingsLock);
  CurrentSettings = settings;
}

void CBaseCameraChannel::RecordDataTime() {
  const int64_t now = platform::MonotonicMs();
  CSpinMutexLock guard(&DataTimeLock);
  LastDataMs = now;
}

uint32_t CBaseCameraChannel::MillisecondsSinceData() {
  const int64_t now = platform::MonotonicMs();
  CSpinMutexLock guard(&DataTimeLock);
  const int64_t elapsed = LastDataMs == 0 ? INT64_MAX : now - LastDataMs;
  if (elapsed < 0) return 0;
  return elapsed > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(elapsed);
}

void CBaseCameraChannel::SetCameraState(bool online) {
  if (CameraOnline.exchange(online) == online) return;
  const DEVICE_INFO device = Driver->GetDeviceInfo();
  std::string name = Driver->GetChannelCount() > 1 ? "Video-server " + device.Address + " (channel " +
                                                         std::to_string(ChannelNumber) + ")"
                                                   : "Camera " + device.Address;
  if (online) {
    Driver->DebugMessage(ipcapture::kDebugLevelInformation, "%s: %s is online", kOrigin, name.c_str());
    return;
  }
  switch (GetState()) {
    case kStateStopped:
      Driver->DebugMessage(ipcapture::kDebugLevelInformation, "%s: %s is offline. Channel was stopped",
                           kOrigin, name.c_str());
      break;
    case kStateSignalLost:
      name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
      Driver->DebugMessage(ipcapture::kDebugLevelError, "%s: Signal was lost for %s", kOrigin, name.c_str());
      break;
    default:
      Driver->DebugMessage(ipcapture::kDebugLevelError, "%s: %s is offline or failed", kOrigin, name.c_str());
      break;
  }
}

bool CBaseCameraChannel::StartWorker() {
  return Worker.Start([this] {
    const CChannelThreadMark mark(this);
    try {
      Run();
    } catch (...) {
    }
  });
}

void CBaseCameraChannel::StopWorker() {
  StopEvent.Set();
  if (!Worker.Attached()) return;
  BeforeStop();
  // Every wait of the worker watches the stop event, so this join is prompt. If a worker ever
  // outlives twice the network time-out it is reported and still waited for: it uses this
  // object, which must not be freed under it.
  const int boundMs = 2 * Driver->GetDeviceInfo().NetworkTimeout;
  if (!Worker.JoinFor(boundMs > 0 ? boundMs : 0)) {
    Driver->DebugMessage(ipcapture::kDebugLevelError, "%s: channel %u worker did not stop within %d ms",
                         "korvalt::CBaseCameraChannel::Stop", ChannelNumber, boundMs);
    Worker.JoinFor(platform::Event::kInfinite);
  }
}

}  // namespace korvalt
