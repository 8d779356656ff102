#include "driver/ip_capture_driver.h"

#include <algorithm>
#include <cstdarg>
#include <new>

#include "driver/debug_info.h"
#include "driver/ip_video_capture.h"
#include "http/h_utils.h"
#include "platform/format.h"

namespace korvalt {
namespace {
const char* OrEmpty(const char* text) {
  return text ? text : "";
}
}  // namespace

CIPCaptureDriver::CIPCaptureDriver() = default;

CIPCaptureDriver::~CIPCaptureDriver() {
  Close();
  CustomParameters.clear();
}

bool CIPCaptureDriver::Open(ipcapture::IDebugSink* sink, ipcapture::ISampleAllocator* allocator,
                            ipcapture::IDeviceParams* params) {
  try {
    return OpenUnguarded(sink, allocator, params);
  } catch (...) {
    return false;
  }
}

bool CIPCaptureDriver::OpenUnguarded(ipcapture::IDebugSink* sink, ipcapture::ISampleAllocator* allocator,
                                     ipcapture::IDeviceParams* params) {
  if (params == nullptr) return false;
  ipcapture::IDeviceDescription* description = params->GetDescription();
  ipcapture::IConnectionParams* connection = params->GetConnection();
  if (description == nullptr || connection == nullptr) return false;

  // A second Open without Close: what the first one made still runs and reads the device record,
  // the host objects and the counts. It is stopped and destroyed first, as Close does.
  DestroySubObjects();

  CodecType = connection->GetCodecType();
  Sink = sink;
  Allocator = allocator;
  InputCount = description->GetInputCount();
  OutputCount = description->GetOutputCount();
  ChannelCount = std::clamp(description->GetChannelCount(), 0, ipcapture::kMaxChannelCount);
  DeviceInfo.Address = OrEmpty(connection->GetAddress());
  DeviceInfo.Port = connection->GetPort();
  DeviceInfo.UserName = OrEmpty(connection->GetUserName());
  DeviceInfo.Password = OrEmpty(connection->GetPassword());
  DeviceInfo.ModelName = OrEmpty(description->GetModelName());

  // Indexes beyond the last one supplied keep what an earlier Open stored.
  for (int32_t index = 1;; ++index) {
    const char* text = params->GetCustomParameter(index);
    if (text == nullptr) break;
    CustomParameters[index] = text;
  }

  if (!CreateCaptureIO()) return false;
  if (!CreatePTZHandler()) return false;

  try {
    VideoCapture.reset(new (std::nothrow) CIPVideoCapture(this, ChannelCount));
  } catch (...) {
    // A table that cannot be made is an allocation failure: Open still succeeds without it.
  }
  return true;
}

void CIPCaptureDriver::Close() {
  DestroySubObjects();
}

void CIPCaptureDriver::DestroySubObjects() {
  // Each reset is guarded on its own, so one throwing destructor does not leave the others alive.
  try {
    VideoCapture.reset();
  } catch (...) {
  }
  try {
    DigitalIO.reset();
  } catch (...) {
  }
  try {
    PTZHandler.reset();
  } catch (...) {
  }
}

ipcapture::IIPVideoCapture* CIPCaptureDriver::GetVideoCapture() {
  return VideoCapture.get();
}
ICaptureIOApi* CIPCaptureDriver::GetCaptureIO() {
  return DigitalIO.get();
}
ipcapture::IIPPTZDriver* CIPCaptureDriver::GetPTZDriver() {
  return PTZHandler.get();
}
ipcapture::IIPVideoCaptureEx* CIPCaptureDriver::GetVideoCaptureEx() {
  return VideoCapture.get();
}
ipcapture::IIPPTZDriverEx* CIPCaptureDriver::GetPTZDriverEx() {
  return PTZHandler.get();
}

void CIPCaptureDriver::DebugMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = platform::FormatV(format, args);
  va_end(args);
  ipcapture::IDebugSink* sink = Sink;
  if (sink == nullptr) return;
  // Recorders ship their logs to support: no line, whatever it quotes, carries the password.
  text = HUtils::MaskCredentials(text, DeviceInfo.UserName, DeviceInfo.Password);
  CDebugInfo info(level, std::move(text));
  try {
    sink->Message(&info);
  } catch (...) {
    // A throwing sink must not unwind through the module's threads.
  }
}

std::string CIPCaptureDriver::GetCustomParameter(int key) {
  const auto it = CustomParameters.find(key);
  if (it == CustomParameters.end() || it->second == "(none)") return {};
  return it->second;
}

int32_t CIPCaptureDriver::GetCustomParameterNumber(int key) {
  const auto it = CustomParameters.find(key);
  if (it == CustomParameters.end()) return kNoNumber;
  int value = 0;
  return HUtils::ParseInt(it->second, value) ? value : kNoNumber;
}

}  // namespace korvalt
