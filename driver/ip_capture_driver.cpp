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
  std::shared_ptr<CCameraLogin> login;
  {
    CMutexLock guard(RecordLock);
    CustomParameters.clear();
    login = DeviceInfo.Login;
  }
  // A sender that outlives the driver (a channel retired from its own callback) logs nowhere. Not
  // under RecordLock: a line being said holds the login's log lock and takes RecordLock.
  if (login) login->SetLog(nullptr);
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

  // A second Open without Close: the channels of the first one stream with the old record and
  // counts; they are stopped and the video capture object made anew. The digital I/O object and
  // the PTZ handler stay (the host may hold them); they read the record under RecordLock.
  DestroyVideoCapture();

  // The host objects are asked before the lock is taken: they are the host's code.
  const int32_t codecType = connection->GetCodecType();
  const int32_t inputs = description->GetInputCount();
  const int32_t outputs = description->GetOutputCount();
  const int32_t channels = std::clamp(description->GetChannelCount(), 0, ipcapture::kMaxChannelCount);
  std::string address = OrEmpty(connection->GetAddress());
  const uint16_t port = connection->GetPort();
  std::string userName = OrEmpty(connection->GetUserName());
  std::string password = OrEmpty(connection->GetPassword());
  std::string modelName = OrEmpty(description->GetModelName());
  std::shared_ptr<CCameraLogin> login;
  std::map<int32_t, std::string> supplied;
  for (int32_t index = 1;; ++index) {
    const char* text = params->GetCustomParameter(index);
    if (text == nullptr) break;
    supplied[index] = text;
  }

  {
    CMutexLock guard(RecordLock);
    CodecType = codecType;
    Sink = sink;
    Allocator = allocator;
    InputCount = inputs;
    OutputCount = outputs;
    ChannelCount = channels;
    const std::string previousAddress = DeviceInfo.Address;
    const uint16_t previousPort = DeviceInfo.Port;
    DeviceInfo.Address = std::move(address);
    DeviceInfo.Port = port;
    DeviceInfo.UserName = std::move(userName);
    DeviceInfo.Password = std::move(password);
    DeviceInfo.ModelName = std::move(modelName);
    // One refusal state per camera and credentials: an Open with other credentials tries at once,
    // one with the same keeps counting what the camera refused.
    if (!DeviceInfo.Login) DeviceInfo.Login = std::make_shared<CCameraLogin>();
    DeviceInfo.Login->UseCredentials(DeviceInfo.Address, DeviceInfo.UserName, DeviceInfo.Password);
    if (DeviceInfo.Address != previousAddress || DeviceInfo.Port != previousPort) {
      DeviceInfo.Login->Key().Forget();
      DeviceInfo.Login->VideoPortKey().Forget();
    }
    // Indexes beyond the last one supplied keep what an earlier Open stored.
    for (auto& [index, text] : supplied) CustomParameters[index] = std::move(text);
    const auto pin = CustomParameters.find(ipcapture::kCustomParameterKeySha256);
    DeviceInfo.Login->Key().UsePin(pin == CustomParameters.end() ? std::string_view() : pin->second);
    const auto videoPin = CustomParameters.find(ipcapture::kCustomParameterRtspsKeySha256);
    DeviceInfo.Login->VideoPortKey().UsePin(videoPin == CustomParameters.end() ? std::string_view()
                                                                               : videoPin->second);
    login = DeviceInfo.Login;
  }

  // Outside RecordLock, which a line said through the login takes.
  login->SetLog(this);

  if (!CreateCaptureIO()) return false;
  if (!CreatePTZHandler()) return false;

  try {
    VideoCapture.reset(new (std::nothrow) CIPVideoCapture(this, channels));
  } catch (...) {
    // A table that cannot be made is an allocation failure: Open still succeeds without it.
  }
  return true;
}

void CIPCaptureDriver::Close() {
  DestroySubObjects();
}

void CIPCaptureDriver::DestroyVideoCapture() {
  try {
    VideoCapture.reset();
  } catch (...) {
  }
}

void CIPCaptureDriver::DestroySubObjects() {
  // Each reset is guarded on its own, so one throwing destructor does not leave the others alive.
  DestroyVideoCapture();
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
  ipcapture::IDebugSink* sink = nullptr;
  std::string userName;
  std::string password;
  {
    CMutexLock guard(RecordLock);
    sink = Sink;
    if (sink != nullptr) {
      userName = DeviceInfo.UserName;
      password = DeviceInfo.Password;
    }
  }
  if (sink == nullptr) return;
  // Recorders ship their logs to support: no line, whatever it quotes, carries the password.
  text = HUtils::MaskCredentials(text, userName, password);
  CDebugInfo info(level, std::move(text));
  try {
    sink->Message(&info);
  } catch (...) {
    // A throwing sink must not unwind through the module's threads.
  }
}

DEVICE_INFO CIPCaptureDriver::GetDeviceInfo() {
  CMutexLock guard(RecordLock);
  return DeviceInfo;
}

std::pair<int32_t, int32_t> CIPCaptureDriver::GetIOCounts() {
  CMutexLock guard(RecordLock);
  return {InputCount, OutputCount};
}

ipcapture::ISampleAllocator* CIPCaptureDriver::GetSampleAllocator() {
  CMutexLock guard(RecordLock);
  return Allocator;
}

int32_t CIPCaptureDriver::GetVideoStandard() {
  CMutexLock guard(RecordLock);
  return VideoStandard;
}

int32_t CIPCaptureDriver::GetCodecType() {
  CMutexLock guard(RecordLock);
  return CodecType;
}

int32_t CIPCaptureDriver::GetChannelCount() {
  CMutexLock guard(RecordLock);
  return ChannelCount;
}

std::string CIPCaptureDriver::GetCustomParameter(int key) {
  CMutexLock guard(RecordLock);
  const auto it = CustomParameters.find(key);
  if (it == CustomParameters.end() || it->second == "(none)") return {};
  return it->second;
}

int32_t CIPCaptureDriver::GetCustomParameterNumber(int key) {
  std::string text;
  {
    CMutexLock guard(RecordLock);
    const auto it = CustomParameters.find(key);
    if (it == CustomParameters.end()) return kNoNumber;
    text = it->second;
  }
  int value = 0;
  return HUtils::ParseInt(text, value) ? value : kNoNumber;
}

}  // namespace korvalt
