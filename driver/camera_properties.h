#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/device_info.h"
#include "driver/host/capability_query.h"

namespace korvalt {

// What a camera answered to a capability query, before it is written into the host's result
// object. Plain data.
class CCameraProperties {
 public:
  // Codec codes as the capability query lists them.
  static constexpr int32_t kCodecMJPEG = 1;
  static constexpr int32_t kCodecMJPEGAlt = 2;  // accepted as Motion-JPEG when saving
  static constexpr int32_t kCodecMPEG4 = 4;
  static constexpr int32_t kCodecH264 = 16;

  struct Resolution {
    std::vector<uint32_t> FrameIntervals;  // ms; at most one: the shortest the camera can do here
    uint16_t Width = 0;
    uint16_t Height = 0;
  };

  std::vector<int32_t> Codecs;          // in the order found
  std::vector<Resolution> Resolutions;  // those that match the camera's video standard
  std::string Vendor;
  std::string FullName;  // vendor, a blank, the model
  int32_t Queried = 0;   // 1 once a query ran, whatever its outcome
  int32_t InputCount = 0;
  int32_t OutputCount = 0;
  bool Audio = false;
  bool PTZ = false;
  bool Flag5 = false;
  bool Flag11 = false;
  bool Flag12 = false;
};

// A camera properties query over a copy of the device record: QueryProperties asks the camera,
// SaveProperties writes the answers into the host's result object.
//
// Threads: QueryProperties and SaveProperties run on the capability query's thread; AbortQuery
// and CancelRequest may be called from any thread at any time while the object exists.
class CCameraPropertiesEx : public CCameraProperties {
 public:
  explicit CCameraPropertiesEx(const DEVICE_INFO& device) : DeviceInfo(device) {}
  virtual ~CCameraPropertiesEx() = default;
  CCameraPropertiesEx(const CCameraPropertiesEx&) = delete;
  CCameraPropertiesEx& operator=(const CCameraPropertiesEx&) = delete;

  // Asks the camera; false with *errorCode set (when given) on failure. Answers gathered before
  // a failure stay in the object.
  virtual bool QueryProperties(int32_t* errorCode) = 0;
  // Writes name, property ids, resolutions and address fields; false for a null results object.
  virtual bool SaveProperties(ipcapture::ICapabilityResults* results);
  // Stops the query before its next request to the camera.
  virtual void AbortQuery() { AbortFlag.store(true); }
  // Also ends the request in flight, for an owner that must not wait for a camera.
  virtual void CancelRequest() {}

  bool IsAborted() const { return AbortFlag.load(); }
  const DEVICE_INFO& GetDeviceInfo() const { return DeviceInfo; }

 protected:
  std::atomic<bool> AbortFlag{false};  // written by host threads, polled by the query thread
  DEVICE_INFO DeviceInfo;
};

}  // namespace korvalt
