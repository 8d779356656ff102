#include "ptz/quenlark_ptz_handler.h"

#include <new>

#include "driver/host/device_params.h"
#include "driver/idriver.h"
#include "http/h_utils.h"
#include "ptz/quenlark_ptz_control.h"

namespace korvalt {
namespace {
constexpr const char* kDeviceTypeName = "Quenlark";
}  // namespace

CQuenlarkPTZHandler::CQuenlarkPTZHandler(IDriver* driver, uint32_t channelCount)
    : CBasePTZHandler(driver, channelCount, kDeviceTypeName) {}

CQuenlarkPTZHandler::~CQuenlarkPTZHandler() {
  // Controls call back into this object's driver; they go while the whole handler exists.
  DestroyControls();
}

std::string CQuenlarkPTZHandler::GetXMLStorageFileName() {
  if (Driver == nullptr) return {};
  // The driver already answers "(none)" as empty.
  const std::string mac = Driver->GetCustomParameter(ipcapture::kCustomParameterMacAddress);
  // The value may come from the camera itself: it must not lead the file out of its directory.
  const bool usable = !mac.empty() && mac != "(none)" && mac.find('/') == std::string::npos;
  if (!usable) {
    const DEVICE_INFO device = Driver->GetDeviceInfo();
    Driver->DebugMessage(
        ipcapture::kDebugLevelError,
        "%s: PTZ handler for %s device cannot be initialized. Required custom parameter was not "
        "defined!",
        "korvalt::CQuenlarkPTZHandler::GetXMLStorageFileName", device.Address.c_str());
    return {};
  }
  return HUtils::Format("%s_%s.preset", kDeviceTypeName, mac.c_str());
}

CBasePTZControl* CQuenlarkPTZHandler::CreateControl(uint32_t channel) {
  return new (std::nothrow) CQuenlarkPTZControl(Driver, static_cast<int32_t>(channel));
}

}  // namespace korvalt
