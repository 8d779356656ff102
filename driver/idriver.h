#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "driver/debug_message.h"
#include "driver/device_info.h"
#include "driver/host/video.h"

namespace korvalt {

class ICameraChannel;
class CStreamTransportMemory;

// The driver's service interface for its sub-objects: diagnostics, device record, host objects
// and parameters. Handed down as a borrowed pointer, valid for the sub-object's whole life.
class IDriver : public IDebugMessage {
 public:
  static constexpr int32_t kNoNumber = INT32_MIN;  // 0x80000000: absent or non-numeric parameter

  virtual DEVICE_INFO GetDeviceInfo() = 0;
  // Digital input count first, output count second.
  virtual std::pair<int32_t, int32_t> GetIOCounts() = 0;
  virtual ipcapture::ISampleAllocator* GetSampleAllocator() = 0;
  virtual int32_t GetVideoStandard() = 0;
  virtual int32_t GetCodecType() = 0;
  virtual int32_t GetChannelCount() = 0;
  // Empty when the key is absent or its text is exactly "(none)".
  virtual std::string GetCustomParameter(int key) = 0;
  // The text as a decimal integer, or kNoNumber.
  virtual int32_t GetCustomParameterNumber(int key) = 0;
  // What the driver's channels learnt about the camera's stream transport, kept for the driver's
  // life; null when the driver keeps nothing (each channel then learns for itself).
  virtual CStreamTransportMemory* GetStreamTransportMemory() { return nullptr; }
};

// The driver's channel factory, used by the video capture object.
class ICustomCreator {
 public:
  virtual ~ICustomCreator() = default;
  // A new channel owned by the caller, or null (unknown codec type, no memory).
  virtual ICameraChannel* CreateChannel(int index, ipcapture::IFrameSink* sink) = 0;
};

}  // namespace korvalt
