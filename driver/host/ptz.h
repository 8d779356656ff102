#pragma once
// Pan, tilt, zoom, focus and presets.

#include <cstdint>

namespace korvalt::ipcapture {

class IIPPTZApi;
class IIPPTZApiEx;

// Offered by the driver (GetPTZDriver / GetPTZDriverEx): one PTZ control per channel, owned by
// the driver and the same object on every call.
class IIPPTZDriver {
 public:
  virtual ~IIPPTZDriver() = default;                       // slot 0
  virtual IIPPTZApi* GetPTZApi(uint32_t channel) = 0;      // slot 1
};

class IIPPTZDriverEx : public IIPPTZDriver {
 public:
  virtual IIPPTZApiEx* GetPTZApiEx(uint32_t channel) = 0;  // slot 2
};

}  // namespace korvalt::ipcapture
