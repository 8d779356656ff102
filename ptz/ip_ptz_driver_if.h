#pragma once

#include "driver/host/ptz.h"

namespace korvalt {

// The module's side of the recorder's PTZ driver interface; the handler below it supplies the
// controls.
class CIPPTZDriverIf : public ipcapture::IIPPTZDriverEx {
 public:
  ~CIPPTZDriverIf() override = default;
};

}  // namespace korvalt
