#pragma once
// The recorder's description of one device, read by the driver's Open.

#include "abi.h"

#include <cstdint>

namespace korvalt::ipcapture {

// The most video channels one device can have. No video server has more inputs, and every
// started channel takes two local UDP ports and three threads of the recorder's process. The
// driver takes a larger channel count as this many and a negative one as none; Open still
// succeeds.
inline constexpr int32_t kMaxChannelCount = 256;

// Codec types of IConnectionParams::GetCodecType: the stream every channel of the device asks
// the camera for. Any other value starts no stream (StartChannel still succeeds).
inline constexpr int32_t kCodecTypeMJPEG = 1;  // Motion-JPEG
inline constexpr int32_t kCodecTypeMPEG4 = 2;  // MPEG-4 Part 2
inline constexpr int32_t kCodecTypeH264 = 3;

// 1-based indexes of IDeviceParams::GetCustomParameter: the custom parameters that the capability
// query reports (ICapabilityResults::GetCustomParameter) and the driver reads back at Open.
inline constexpr int32_t kCustomParameterVideoStandard = 1;  // "1" for a 60 Hz camera, else "0"
inline constexpr int32_t kCustomParameterFirmware = 2;
inline constexpr int32_t kCustomParameterMacAddress = 3;  // names the preset file; PTZ needs it
// The SHA-256 of the camera's TLS public key (64 hex digits), pinned for HTTPS; "(none)" for a
// camera reached over plain HTTP.
inline constexpr int32_t kCustomParameterKeySha256 = 4;
// The camera's RTSP over TLS port, when not the registered 322 ("RTSP over TLS port").
inline constexpr int32_t kCustomParameterRtspsPort = 5;
// The SHA-256 of the key the RTSP over TLS port presents, pinned for the video, when it is not the
// HTTPS key; "(none)" when the video port presents the same key or none.
inline constexpr int32_t kCustomParameterRtspsKeySha256 = 6;

class IDeviceDescription {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IDeviceDescription)  // slot 0
  virtual void Reserved1() = 0;                 // slot 1: not called by the module
  virtual const char* GetModelName() = 0;       // slot 2
  virtual int32_t GetChannelCount() = 0;        // slot 3: 0 to kMaxChannelCount
  virtual void Reserved4() = 0;                 // slot 4: not called by the module
  virtual int32_t GetInputCount() = 0;          // slot 5: digital inputs
  virtual int32_t GetOutputCount() = 0;         // slot 6: digital outputs
};

class IConnectionParams {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IConnectionParams)  // slot 0
  virtual const char* GetAddress() = 0;        // slot 1: host name or dotted IPv4 address
  virtual uint16_t GetPort() = 0;              // slot 2: HTTP port
  virtual void Reserved3() = 0;                // slot 3: not called by the module
  virtual int32_t GetCodecType() = 0;          // slot 4: a kCodecType* value
  virtual const char* GetUserName() = 0;       // slot 5
  virtual const char* GetPassword() = 0;       // slot 6
};

class IDeviceParams {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IDeviceParams)            // slot 0
  virtual IDeviceDescription* GetDescription() = 0;  // slot 1
  virtual IConnectionParams* GetConnection() = 0;    // slot 2
  virtual void Reserved3() = 0;                      // slot 3: not called by the module
  // slot 4: custom parameter by 1-based index; null after the last one.
  virtual const char* GetCustomParameter(int32_t index) = 0;
};

}  // namespace korvalt::ipcapture
