#pragma once

#include "ptz/base_ptz_control.h"

namespace korvalt {

// PTZ control of the camera family: pan, tilt, zoom and focus, 255 presets.
class CQuenlarkPTZControl : public CBasePTZControl {
 public:
  static constexpr uint32_t kMaxPrepositions = 255;

  using CBasePTZControl::CBasePTZControl;
  ~CQuenlarkPTZControl() override;

  CBasePTZComm* CreateComm() override;
};

}  // namespace korvalt
