#pragma once

#include "driver/host/ptz.h"
#include "driver/host_destructor.h"

namespace korvalt {

// The module's side of the recorder's PTZ driver interface; the handler below it supplies the
// controls.
class CIPPTZDriverIf : public ipcapture::IIPPTZDriverEx {
 public:
  virtual ~CIPPTZDriverIf() = default;
  QUENLARK_HOST_DESTRUCTOR
};

}  // namespace korvalt
