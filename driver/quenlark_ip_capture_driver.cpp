#include "driver/quenlark_ip_capture_driver.h"

#include <new>

#include "io/digital_io.h"
#include "media/channels/h264_channel_rtsp.h"
#include "media/channels/mjpeg_channel_rtsp.h"
#include "media/channels/mpeg_channel_rtsp.h"
#include "ptz/quenlark_ptz_handler.h"

namespace korvalt {
namespace {
constexpr int32_t kNetworkTimeoutMs = 20000;
constexpr int32_t kSignalLossTimeoutMs = 10000;

const char* OrEmpty(const char* text) {
  return text ? text : "";
}
}  // namespace

CQuenlarkIPCaptureDriver::~CQuenlarkIPCaptureDriver() {
  Close();
}

bool CQuenlarkIPCaptureDriver::Open(ipcapture::IDebugSink* sink, ipcapture::ISampleAllocator* allocator,
                                    ipcapture::IDeviceParams* params) {
  if (!CIPCaptureDriver::Open(sink, allocator, params)) return false;
  try {
    const int32_t standard = GetCustomParameterNumber(ipcapture::kCustomParameterVideoStandard);
    {
      CMutexLock guard(RecordLock);
      DeviceInfo.NetworkTimeout = kNetworkTimeoutMs;
      DeviceInfo.SignalLossTimeout = kSignalLossTimeoutMs;
      if (standard != kNoNumber) VideoStandard = standard != 0 ? 1 : 0;
    }

    std::string firmware = GetCustomParameter(ipcapture::kCustomParameterFirmware);
    if (firmware.empty()) firmware = "none";

    // The host objects are asked again: the message shows what the host holds now.
    ipcapture::IDeviceDescription* description = params->GetDescription();
    ipcapture::IConnectionParams* connection = params->GetConnection();
    DebugMessage(ipcapture::kDebugLevelInformation,
                 "OPEN DRIVER::Driver name: %s, Device model: %s, FW: %s, Address: %s:%d", kDriverName,
                 OrEmpty(description->GetModelName()), firmware.c_str(), OrEmpty(connection->GetAddress()),
                 static_cast<int>(connection->GetPort()));
  } catch (...) {
    return false;
  }
  return true;
}

bool CQuenlarkIPCaptureDriver::CreateCaptureIO() {
  // A failed allocation, also one inside the constructor, leaves the field null; the host then
  // gets no I/O object and Open still succeeds.
  try {
    if (!DigitalIO) DigitalIO.reset(new (std::nothrow) CDigitalIO(this));
  } catch (...) {
  }
  return true;
}

bool CQuenlarkIPCaptureDriver::CreatePTZHandler() {
  // A failed allocation leaves the field null; the host then gets no PTZ driver.
  if (!PTZHandler)
    PTZHandler.reset(new (std::nothrow) CQuenlarkPTZHandler(this, static_cast<uint32_t>(GetChannelCount())));
  return true;
}

ICameraChannel* CQuenlarkIPCaptureDriver::CreateChannel(int index, ipcapture::IFrameSink* sink) {
  try {
    const auto channel = static_cast<uint32_t>(index);
    switch (GetCodecType()) {
      case ipcapture::kCodecTypeMJPEG:
        return new (std::nothrow) CMJPEGChannelRTSP(channel, this, sink);
      case ipcapture::kCodecTypeMPEG4:
        return new (std::nothrow) CMPEGChannelRTSP(channel, this, sink);
      case ipcapture::kCodecTypeH264:
        return new (std::nothrow) CH264ChannelRTSP(channel, this, sink);
      default:
        return nullptr;
    }
  } catch (...) {
    return nullptr;
  }
}

}  // namespace korvalt
