#include "driver/camera_properties.h"

#include "http/h_utils.h"

namespace korvalt {
namespace ipc = ipcapture;

namespace {

void SetText(ipc::ICapabilityResults& results, int32_t index, const std::string& text) {
  // The host may not keep every field; a missing one is left out rather than dereferenced.
  if (ipc::ICapabilityText* field = results.GetAddressField(index)) field->SetText(text.c_str());
}

}  // namespace

bool CCameraPropertiesEx::SaveProperties(ipc::ICapabilityResults* results) {
  if (results == nullptr) return false;
  results->SetName(FullName.c_str());

  results->SetProperty(ipc::kCapabilityQueried, Queried);
  if (InputCount > 0) results->SetProperty(ipc::kCapabilityInputs, InputCount);
  if (OutputCount > 0) results->SetProperty(ipc::kCapabilityOutputs, OutputCount);
  if (Audio) results->SetProperty(ipc::kCapabilityAudio, 1);
  if (PTZ) results->SetProperty(ipc::kCapabilityPTZ, 1);
  if (Flag5) results->SetProperty(ipc::kCapabilityFlag5, 1);
  results->SetProperty(ipc::kCapabilityFlag11, Flag11 ? 1 : 0);
  results->SetProperty(ipc::kCapabilityFlag12, Flag12 ? 1 : 0);

  for (const int32_t codec : Codecs) {
    if (codec == 0) break;
    switch (codec) {
      case kCodecMJPEG:
      case kCodecMJPEGAlt:
        results->SetProperty(ipc::kCapabilityMJPEG, 1);
        break;
      case kCodecMPEG4:
        results->SetProperty(ipc::kCapabilityMPEG4, 1);
        break;
      case kCodecH264:
        results->SetProperty(ipc::kCapabilityH264, 1);
        break;
      default:
        break;
    }
  }

  if (ipc::IResolutionList* list = results->GetResolutionList()) {
    for (const Resolution& r : Resolutions) {
      const std::string text = HUtils::Format("%dx%d", r.Width, r.Height);
      const uint32_t interval = r.FrameIntervals.empty() ? 0 : r.FrameIntervals.front();
      list->AddResolution(text.c_str(), r.Width, r.Height, static_cast<int32_t>(interval));
    }
  }

  SetText(*results, ipc::kAddressFieldAddress, DeviceInfo.Address);
  SetText(*results, ipc::kAddressFieldPort, HUtils::Format("%u", static_cast<unsigned>(DeviceInfo.Port)));
  SetText(*results, ipc::kAddressFieldUserName, DeviceInfo.UserName);
  SetText(*results, ipc::kAddressFieldPassword, DeviceInfo.Password);
  return true;
}

}  // namespace korvalt
