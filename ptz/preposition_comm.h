#pragma once

#include <cstdint>
#include <string>

#include "driver/debug_message.h"

namespace korvalt {

// Camera-side preset operations of one PTZ channel. Synchronous: each call waits for the camera
// on the calling thread. Slots are zero-based; the camera numbers its presets from 1. The
// IDebugMessage part is where the channel's preset list sends its diagnostic lines.
class IPrepositionComm : public virtual IDebugMessage {
 public:
  ~IPrepositionComm() override = default;
  // Stores the camera's present position as preset slot.
  virtual bool StorePreposition(int32_t slot, const std::string& name) = 0;
  // Moves the camera to preset slot; param is the recorder's value, passed through.
  virtual bool GotoPreposition(int32_t slot, const std::string& name, int32_t param) = 0;
  // Deletes preset slot on the camera. Cameras that keep nothing to delete succeed.
  virtual bool DeletePreposition(int32_t /*slot*/, const std::string& /*name*/) { return true; }
};

}  // namespace korvalt
