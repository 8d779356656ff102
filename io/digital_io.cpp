#include "io/digital_io.h"

#include <string>
#include <vector>

#include <algorithm>
#include "http/h_utils.h"

namespace korvalt {
namespace {
constexpr const char* kInputsPath = "/config/io.cgi";
constexpr const char* kSeparator = "=";
constexpr const char* kTerminators = "\r\n";
constexpr uint32_t kStatusUnauthorized = 401;
constexpr uint32_t kLongestBackoffMs = 60000;
constexpr uint32_t kMaxDoublings = 16;
}  // namespace

CDigitalIO::CDigitalIO(IDriver* driver)
    : CIOBase(driver), OutputSender(driver->GetDeviceInfo()), InputSender(driver->GetDeviceInfo()) {}

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
  RefusedPolls = 0;
  PollsToSkip = 0;
}

bool CDigitalIO::SetOutputNow(int32_t index, int32_t state) {
  const std::string path = HUtils::Format("/config/io.cgi?out%u=%s", static_cast<uint32_t>(index) + 1,
                                          state == ipcapture::kIOStateOff ? "off" : "on");
  CMutexLock guard(OutputLock);
  return HUtils::Command(OutputSender, nullptr, path);
}

bool CDigitalIO::PollInputs() {
  if (PollsToSkip.load() > 0) {
    PollsToSkip -= 1;
    return true;
  }
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
    if (refused) NoteRefused();
    return true;
  }
  RefusedPolls = 0;
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

void CDigitalIO::NoteRefused() {
  const uint32_t refusals = RefusedPolls++;
  const uint32_t period = std::max<uint32_t>(Period(), 1);
  const uint32_t mostSkipped = std::max<uint32_t>(kLongestBackoffMs / period, 1);
  const uint32_t skipped = std::min(uint32_t{1} << std::min(refusals, kMaxDoublings), mostSkipped);
  PollsToSkip = skipped;
  if (refusals != 0 || !HUtils::ShouldLog(Driver)) return;
  const DEVICE_INFO device = Driver->GetDeviceInfo();
  Driver->DebugMessage(ipcapture::kDebugLevelError,
                       "korvalt::CDigitalIO::PollInputs: camera %s refused the credentials of user \"%s\" "
                       "(request \"%s\"); next try in %.1f s, then ever less often, at most once a minute, "
                       "until they are accepted",
                       device.Address.c_str(), device.UserName.c_str(), kInputsPath,
                       static_cast<double>(skipped + 1) * period / 1000.0);
}

}  // namespace korvalt
