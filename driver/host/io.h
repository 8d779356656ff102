#pragma once
// Digital inputs and outputs of the camera.

#include "abi.h"

#include <cstdint>

namespace korvalt::ipcapture {

// States of a digital input or output.
inline constexpr int32_t kIOStateOff = 1;
inline constexpr int32_t kIOStateOn = 2;

// Implemented by the recorder; registered with SetIOSink. Called from the module's digital
// input and output threads.
class IIOEventSink {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IIOEventSink)                         // slot 0
  virtual void InputChanged(uint32_t index, int32_t state) = 0;  // slot 1: 0-based index; a kIOState* value
  virtual void IOFailure() = 0;                                  // slot 2: a request to the camera failed
};

}  // namespace korvalt::ipcapture

namespace korvalt {

// Offered by the driver (GetCaptureIO). Owned by the driver; the host must Stop it before
// closing the driver.
class ICaptureIOApi {
 public:
  QUENLARK_DESTRUCTOR_SLOT(ICaptureIOApi)                     // slot 0
  virtual bool SetIOSink(ipcapture::IIOEventSink* sink) = 0;  // slot 1: false for null
  virtual bool Start() = 0;                                   // slot 2: first poll, then the threads
  virtual bool Stop() = 0;                                    // slot 3
  virtual uint32_t GetInputCount() = 0;                       // slot 4
  virtual uint32_t GetOutputCount() = 0;                      // slot 5
  // slot 6: 0-based index; ipcapture::kIOStateOff switches off, any other state on. Queued.
  virtual bool SetOutput(int32_t index, int32_t state) = 0;
};

}  // namespace korvalt

namespace korvalt::ipcapture {
// The I/O interface lives in korvalt; this name lets it be spelled beside the other host-facing interfaces.
using korvalt::ICaptureIOApi;
}  // namespace korvalt::ipcapture
