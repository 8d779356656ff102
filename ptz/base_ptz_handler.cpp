#include "ptz/base_ptz_handler.h"

#include <new>
#include <utility>

#include "driver/idriver.h"
#include "http/h_utils.h"
#include "ptz/base_ptz_control.h"

namespace korvalt {
namespace {
constexpr const char* kStorageOrigin = "korvalt::CBasePTZHandler::InitializeXMLStorage";
}  // namespace

CBasePTZHandler::CBasePTZHandler(IDriver* driver, uint32_t channelCount, std::string deviceTypeName)
    : Driver(driver), ChannelCount(channelCount), DeviceTypeName(std::move(deviceTypeName)) {}

CBasePTZHandler::~CBasePTZHandler() {
  try {
    CBasePTZHandler::DestroyControls();
    {
      CMutexLock guard(Lock);
      Reader.Reset();
    }
    // The last driver of the device closes its file.
    CXMLPrepositionReader::ReleaseUnused();
  } catch (...) {
  }
}

ipcapture::IIPPTZApiEx* CBasePTZHandler::GetPTZApiEx(uint32_t channel) {
  try {
    CMutexLock guard(Lock);
    return GetPTZApiExLocked(channel);
  } catch (...) {
    return nullptr;
  }
}

ipcapture::IIPPTZApiEx* CBasePTZHandler::GetPTZApiExLocked(uint32_t channel) {
  if (channel >= ChannelCount) return nullptr;
  const auto found = Controls.find(channel);
  if (found != Controls.end() && found->second != nullptr) return found->second;
  if (DeviceTypeName.empty()) return nullptr;
  if (!Reader && !InitializeXMLStorage()) return nullptr;

  CBasePTZControl* control = CreateControl(channel);
  if (control == nullptr) return nullptr;
  if (!control->Initialize(Reader)) {
    delete control;
    return nullptr;
  }
  Controls[channel] = control;
  return control;
}

void CBasePTZHandler::DestroyControls() {
  std::map<uint32_t, CBasePTZControl*> controls;
  {
    CMutexLock guard(Lock);
    controls.swap(Controls);
  }
  for (auto& [channel, control] : controls) delete control;
}

bool CBasePTZHandler::InitializeXMLStorage() {
  CMutexLock guard(Lock);
  const std::string fileName = GetXMLStorageFileName();
  std::string failure;
  if (fileName.empty()) {
    failure = HUtils::Format(
        "%s: PTZ module cannot be initialized! Name of file for preset storing was not defined",
        kStorageOrigin);
  } else {
    // Drivers of this process opened for the same device share its file.
    bool opened = false;
    Reader = CXMLPrepositionReader::OpenShared(DeviceTypeName, fileName, Driver, opened);
    if (!Reader) {
      failure =
          HUtils::Format("%s: not enough memory for creating CXMLPrepositionReader object", kStorageOrigin);
    } else if (!opened) {
      failure = HUtils::Format("%s: cannot initialize CXMLPrepositionReader object with parameter \"%s\"",
                               kStorageOrigin, fileName.c_str());
    }
  }
  if (failure.empty()) return true;
  if (Driver != nullptr && HUtils::ShouldLog(Driver))
    Driver->DebugMessage(ipcapture::kDebugLevelError, "%s", failure.c_str());
  return false;
}

}  // namespace korvalt
