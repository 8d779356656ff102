#pragma once

#include <cstdint>

namespace korvalt {

// What a camera's PTZ channel can do; the vendor sets it, then it stays fixed.
class CPtzCapabilities {
 public:
  virtual ~CPtzCapabilities() = default;

  bool CanPan = false;
  bool CanTilt = false;
  // Reported and counted by HasAnyPTZFunction; zoom requests are moves, governed by pan/tilt.
  bool CanZoom = false;
  bool CanFocus = false;
  bool CanIris = false;
  bool CanAreaZoom = false;
  bool CanCenter = false;
  bool CanUnzoom = false;
  uint32_t MaxPrepositions = 0;
};

}  // namespace korvalt
