#pragma once

#include "driver/ip_capture_driver.h"

namespace korvalt {

// The Quenlark camera family: which sub-objects and channels are made, and its time-outs.
class CQuenlarkIPCaptureDriver : public CIPCaptureDriver {
 public:
  static constexpr const char* kDriverName = "QuenlarkIPCapture";

  // Sub-objects are stopped while the whole driver still exists: their threads call it.
  ~CQuenlarkIPCaptureDriver() override;

  bool Open(ipcapture::IDebugSink* sink, ipcapture::ISampleAllocator* allocator,
            ipcapture::IDeviceParams* params) override;
  bool CreateCaptureIO() override;
  bool CreatePTZHandler() override;
  ICameraChannel* CreateChannel(int index, ipcapture::IFrameSink* sink) override;
};

}  // namespace korvalt
