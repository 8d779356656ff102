#pragma once

#include <cstdint>

#include "driver/host/video.h"

namespace korvalt {

// Stream settings of a channel start or restart, each the host's 16-bit value widened.
struct StreamSettings {
  uint32_t FrameInterval = 0;  // ms between frames; 0 keeps the camera's rate
  uint32_t Quality = 0;        // 0 to 100
  uint32_t Width = 0;
  uint32_t Height = 0;
};

// Channel states as the worker sets them.
enum ChannelState : int32_t {
  kStateStreaming = ipcapture::kChannelStateStreaming,
  kStateSignalLost = ipcapture::kChannelStateSignalLost,
  kStateStopped = ipcapture::kChannelStateStopped,
};

// One video channel of a device, driven by the video capture object.
class ICameraChannel {
 public:
  virtual ~ICameraChannel() = default;
  virtual bool Start(const StreamSettings& settings) = 0;
  virtual void Stop() = 0;
  virtual bool Restart(const StreamSettings& settings) = 0;
  virtual int32_t GetState() = 0;
  virtual void SetState(int32_t state) = 0;
};

}  // namespace korvalt
