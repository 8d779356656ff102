#include "io/digital_io.h"

#include <string>
#include <vector>

#include <algorithm>
#include "http/h_utils.h"
#include "platform/clock.h"

namespace korvalt {
namespace {
constexpr const char* kInputsPath = "/config/io.cgi";
constexpr const char* kSeparator = "=";
constexpr const char* kTerminators = "\r\n";
constexpr uint32_t kStatusUnauthorized = 401;
}  // namespace

CDigitalIO::CDigitalIO(IDriver* driver)
    : CIOBase(driver), OutputSender(driver->GetDeviceInfo()), InputSender(driver->GetDeviceInfo()) {
  Logins.Share(driver->GetDeviceInfo().Login);
}

CDigitalIO::~CDigitalIO() {
  Stop();
}

// Abort reaches a request under way on another thread: it must not wait for that request's lock.
void CDigitalIO::AbortRequests() QL_NO_THREAD_SAFETY_ANALYSIS {
  OutputSender.Abort();
  InputSender.Abort();
}

void CDigitalIO::ResumeRequests() QL_NO_THREAD_SAFETY_ANALYSIS {
  OutputSender.ClearAbort();
  InputSender.ClearAbort();
  Logins.Reset();
}

bool CDigitalIO::SetOutputNow(int32_t index, int32_t state) {
  const std::string path = HUtils::Format("/config/io.cgi?out%u=%s", static_cast<uint32_t>(index) + 1,
                                          state == ipcapture::kIOStateOff ? "off" : "on");
  bool refused = false;
  {
    CMutexLock guard(OutputLock);
    if (HUtils::Command(OutputSender, nullptr, path)) {
      Logins.Succeeded();
      return true;
    }
    refused = OutputSender.GetStatusCode() == kStatusUnauthorized;
  }
  if (refused) NoteRefused("korvalt::CDigitalIO::SetOutputNow", "/config/io.cgi?outN=");
  return false;
}

bool CDigitalIO::PollInputs() {
  // Waiting for the camera's turn after refused credentials is no failure of the camera.
  if (Logins.RemainingMs(platform::MonotonicMs()) > 0) return true;
  std::vector<uint8_t> body;
  bool refused = false;
  bool answered = false;
  {
    // The sink is called below, outside the lock.
    CMutexLock guard(InputLock);
    answered = HUtils::Query(body, InputSender, nullptr, kInputsPath);
    refused = !answered && InputSender.GetStatusCode() == kStatusUnauthorized;
  }
  if (!answered) {
    if (refused) NoteRefused("korvalt::CDigitalIO::PollInputs", kInputsPath);
    return true;
  }
  Logins.Succeeded();
  if (body.empty()) return true;
  // The reply ends with the zero byte Query appends; the text is what comes before the first one.
  const std::string text(reinterpret_cast<const char*>(body.data()));
  const uint32_t inputs = GetInputCount();
  for (uint32_t n = 1; n <= inputs; ++n) {
    const std::string value = HUtils::GetValue(HUtils::Format("in%u", n), kSeparator, text, kTerminators);
    if (value.empty()) continue;
    // Cameras spell the active state in several ways; all of them contain "on".
    ApplyInputState(n - 1,
                    value.find("on") != std::string::npos ? ipcapture::kIOStateOn : ipcapture::kIOStateOff);
  }
  return true;
}

void CDigitalIO::NoteRefused(const char* origin, const char* request) {
  bool firstOfSeries = false;
  const int64_t delayMs = Logins.Refused(platform::MonotonicMs(), firstOfSeries);
  if (!firstOfSeries || !HUtils::ShouldLog(Driver)) return;
  const DEVICE_INFO device = Driver->GetDeviceInfo();
  Driver->DebugMessage(ipcapture::kDebugLevelError,
                       "%s: camera %s refused the credentials of user \"%s\" (request \"%s\"); next try in "
                       "%.1f s, then ever less often (at most 4 logins in any 10 minutes, so that the camera "
                       "does not lock the account) until they are accepted; restarting the digital I/O or "
                       "opening the device with new credentials tries at once",
                       origin, device.Address.c_str(), device.UserName.c_str(), request,
                       static_cast<double>(delayMs) / 1000.0);
}

}  // namespace korvalt
