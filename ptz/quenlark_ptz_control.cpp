#include "ptz/quenlark_ptz_control.h"

#include <new>

#include "driver/host/device_params.h"
#include "driver/host/ptz.h"
#include "presets/xml/xml_settings_api.h"
#include "presets/xml_preposition_reader.h"
#include "ptz/quenlark_ptz_comm.h"

namespace korvalt {

// Every file the preset lists of the largest device can write is read back.
static_assert(CXMLPrepositionReader::MaxFileBytes(ipcapture::kMaxChannelCount,
                                                  CQuenlarkPTZControl::kMaxPrepositions,
                                                  ipcapture::kPtzMaxPresetNameLength) <=
              CXMLSettingsAPI::kMaxFileBytes);

CQuenlarkPTZControl::~CQuenlarkPTZControl() = default;

CBasePTZComm* CQuenlarkPTZControl::CreateComm() {
  CPtzCapabilities capabilities;
  capabilities.CanPan = true;
  capabilities.CanTilt = true;
  capabilities.CanZoom = true;
  capabilities.CanFocus = true;
  capabilities.MaxPrepositions = kMaxPrepositions;
  return new (std::nothrow) CQuenlarkPTZComm(Driver, capabilities, static_cast<uint16_t>(ChannelIndex));
}

}  // namespace korvalt
