#pragma once
// The driver object: one per camera, created and deleted through the module's exports.

#include <cstdint>

#include "debug.h"
#include "device_params.h"
#include "io.h"
#include "ptz.h"
#include "video.h"

namespace korvalt::ipcapture {

// The four interfaces form one chain and share one pointer: a pointer returned by any
// create export is all four at once. Accessors never transfer ownership.
class IIPCaptureDriver {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IIPCaptureDriver)  // slot 0: closes, then destroys the driver
  // slot 1: stores the host objects (borrowed until the driver is deleted) and parameters and
  // creates the sub-objects; no network traffic.
  virtual bool Open(IDebugSink* sink, ISampleAllocator* allocator, IDeviceParams* params) = 0;
  virtual void Close() = 0;                            // slot 2
  virtual IIPVideoCapture* GetVideoCapture() = 0;      // slot 3: null before Open and after Close
  virtual korvalt::ICaptureIOApi* GetCaptureIO() = 0;  // slot 4: null before Open and after Close
};

class IIPCaptureDriverEx : public IIPCaptureDriver {
 public:
  virtual void* ReservedEx() = 0;            // slot 5: always null
  virtual IIPPTZDriver* GetPTZDriver() = 0;  // slot 6: null before Open and after Close
};

class IIPCaptureDriverEx2 : public IIPCaptureDriverEx {
 public:
  virtual void* ReservedEx2() = 0;                     // slot 7: always null
  virtual IIPVideoCaptureEx* GetVideoCaptureEx() = 0;  // slot 8: same object as slot 3
};

class IIPCaptureDriverEx3 : public IIPCaptureDriverEx2 {
 public:
  virtual IIPPTZDriverEx* GetPTZDriverEx() = 0;  // slot 9: same object as slot 6
};

}  // namespace korvalt::ipcapture
