#include "ptz/quenlark_ptz_control.h"

#include <new>

#include "ptz/quenlark_ptz_comm.h"

namespace korvalt {

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
