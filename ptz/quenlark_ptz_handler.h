#pragma once

#include <cstdint>
#include <string>

#include "ptz/base_ptz_handler.h"

namespace korvalt {

// PTZ of one camera of the family. Presets are kept in "Quenlark_<MAC address>.preset", named
// after custom parameter 3 as the recorder stores it.
class CQuenlarkPTZHandler : public CBasePTZHandler {
 public:
  CQuenlarkPTZHandler(IDriver* driver, uint32_t channelCount);
  ~CQuenlarkPTZHandler() override;

  std::string GetXMLStorageFileName() override;
  CBasePTZControl* CreateControl(uint32_t channel) override;
};

}  // namespace korvalt
