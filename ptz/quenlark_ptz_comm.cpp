#include "ptz/quenlark_ptz_comm.h"

#include <iterator>

#include "driver/idriver.h"
#include "http/h_utils.h"

namespace korvalt {
namespace {
constexpr const char* kMovePrefix = "/config/ptz_move_cont.cgi?";
constexpr const char* kFocusPrefix = "/config/focus_cont.cgi?";
constexpr const char* kStopMove = "/config/ptz_move_cont.cgi?p=0&t=0&z=0";
constexpr const char* kStopFocus = "/config/focus_cont.cgi?f=0";

DEVICE_INFO DeviceOf(IDriver* driver) {
  return driver != nullptr ? driver->GetDeviceInfo() : DEVICE_INFO();
}

// Pan and tilt signs per direction, kPtzMoveLeft (0) to kPtzMoveDownRight: left, right, up,
// down, up-left, up-right, down-left, down-right.
struct PanTilt {
  int32_t Pan;
  int32_t Tilt;
};
constexpr PanTilt kPanTilt[] = {{-1, 0}, {1, 0}, {0, 1}, {0, -1}, {-1, 1}, {1, 1}, {-1, -1}, {1, -1}};
static_assert(ipcapture::kPtzMoveLeft == 0 &&
              std::size(kPanTilt) == static_cast<size_t>(ipcapture::kPtzMoveDownRight) + 1);
}  // namespace

CQuenlarkPTZComm::CQuenlarkPTZComm(IDriver* driver, const CPtzCapabilities& capabilities, uint16_t channel)
    : CBasePTZComm(driver, capabilities, channel), HttpSender(DeviceOf(driver)) {}

CQuenlarkPTZComm::~CQuenlarkPTZComm() {
  Close();
}

int32_t CQuenlarkPTZComm::CameraSpeed(int32_t hostSpeed) {
  // Written to stay defined for every int32_t: (s - 1) / 3 + 1 without overflowing.
  return static_cast<int32_t>(1 + (int64_t{hostSpeed} - 1) / 3);
}

std::string CQuenlarkPTZComm::MovePath(int32_t direction, int32_t speed) {
  const int32_t v = CameraSpeed(speed);
  if (direction == ipcapture::kPtzZoomIn || direction == ipcapture::kPtzZoomOut) {
    return HUtils::Format("%sp=0&t=0&z=%d", kMovePrefix, direction == ipcapture::kPtzZoomIn ? v : -v);
  }
  if (direction < 0 || direction >= static_cast<int32_t>(std::size(kPanTilt))) return kMovePrefix;
  const PanTilt& signs = kPanTilt[direction];
  if (signs.Tilt == 0) return HUtils::Format("%sp=%d&t=0&z=0", kMovePrefix, signs.Pan * v);
  if (signs.Pan == 0) return HUtils::Format("%sp=0&t=%d&z=0", kMovePrefix, signs.Tilt * v);
  return HUtils::Format("%sp=%d&t=%d&z=0", kMovePrefix, signs.Pan * v, signs.Tilt * v);
}

bool CQuenlarkPTZComm::Send(const std::string& path) {
  CMutexLock guard(SenderLock);
  return HUtils::Command(HttpSender, Sink, path);
}

void CQuenlarkPTZComm::HandleWorkItem(CWorkItemThreadEx::IWorkItem* workItem) {
  const auto* item = dynamic_cast<const CWorkItem*>(workItem);
  if (item == nullptr) return;
  const CItemTurn turn(*this, *item);
  if (!turn.Go()) return;
  switch (item->Command) {
    case kCommandMove:
      Send(MovePath(item->Param1, item->Speed));
      break;
    case kCommandFocus:
      ProcessFocusCommand(*item);
      break;
    case kCommandStop:
      if (item->Subtype == kStopMoving || item->Subtype == kStopZooming) {
        Send(kStopMove);
      } else if (item->Subtype == kStopFocusing) {
        Send(kStopFocus);
      }
      break;
    default:
      DebugMessage(ipcapture::kDebugLevelError, "%s: unexpected command ID=%u",
                   "korvalt::CQuenlarkPTZComm::HandleWorkItem", static_cast<unsigned>(item->Command));
      break;
  }
}

void CQuenlarkPTZComm::ProcessFocusCommand(const CWorkItem& item) {
  const int32_t v = CameraSpeed(item.Speed);
  if (item.Subtype != kFocusNear && item.Subtype != kFocusFar) {
    DebugMessage(ipcapture::kDebugLevelError, "%s: Unexpected command subtype (Type=%d, Subtype=%d)",
                 "korvalt::CQuenlarkPTZComm::ProcessFocusCommand", item.Command, item.Subtype);
    return;
  }
  // Near is written signed ("f=-2"): the camera reads a signed speed.
  Send(HUtils::Format("%sf=%d", kFocusPrefix, item.Subtype == kFocusFar ? v : -v));
}

bool CQuenlarkPTZComm::StorePreposition(int32_t slot, const std::string& /*name*/) {
  const CPresetTurn turn(*this, PresetOrder::kAfterQueued);
  return Send(HUtils::Format("/config/ptz_preset.cgi?name=%u&act=add", static_cast<unsigned>(slot) + 1));
}

bool CQuenlarkPTZComm::GotoPreposition(int32_t slot, const std::string& /*name*/, int32_t /*param*/) {
  const CPresetTurn turn(*this, PresetOrder::kReplacesMotion);
  return Send(HUtils::Format("/config/ptz_preset.cgi?name=%u&act=go", static_cast<unsigned>(slot) + 1));
}

bool CQuenlarkPTZComm::DeletePreposition(int32_t slot, const std::string& /*name*/) {
  const CPresetTurn turn(*this, PresetOrder::kIndependent);
  return Send(HUtils::Format("/config/ptz_preset.cgi?name=%u&act=del", static_cast<unsigned>(slot) + 1));
}

// Not under SenderLock: the request in flight holds it. Abort and ClearAbort are the sender's
// operations that any thread may call, which the analysis cannot tell from the others.
void CQuenlarkPTZComm::AbortRequests() QL_NO_THREAD_SAFETY_ANALYSIS {
  HttpSender.Abort();
}

void CQuenlarkPTZComm::ResumeRequests() QL_NO_THREAD_SAFETY_ANALYSIS {
  HttpSender.ClearAbort();
}

}  // namespace korvalt
