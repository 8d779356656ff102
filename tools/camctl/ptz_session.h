#pragma once
// The PTZ control of one channel, reached the way a recorder reaches it: the module loaded with
// dlopen, a driver opened with the device's parameters, its PTZ driver and the channel's control.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "driver/host/capture_driver.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace camctl {

// Movement calls only queue a request that the module's PTZ thread sends, and closing the driver
// drops what is still queued; the module tells nobody when a request went out. So camctl waits
// this long after its last movement call before it closes.
inline constexpr std::chrono::milliseconds kPtzSettleTime{300};

class PtzSession {
 public:
  PtzSession() = default;
  ~PtzSession() { Close(); }
  PtzSession(const PtzSession&) = delete;
  PtzSession& operator=(const PtzSession&) = delete;

  // false with error set when the module, the driver or the channel's control is not there.
  bool Open(const std::string& modulePath, const hostkit::DeviceConfig& config, uint32_t channel,
            std::string& error);
  korvalt::ipcapture::IIPPTZApiEx& Control() { return *Api; }
  // The module's diagnostic lines; they go to stderr (DebugPrinter) until another printer is set.
  hostkit::DebugSink& Debug() { return Sink; }
  // Every line on stderr when verbose, else errors and information only. Set before Open.
  void SetVerbose(bool verbose) { Verbose = verbose; }
  std::function<void(const hostkit::DebugLine&)> DebugPrinter() const;
  // A movement request was queued: Close waits kPtzSettleTime before closing.
  void NoteQueued() { Queued = true; }
  void Close();

 private:
  hostkit::Module Module;
  // Borrowed by the driver until it is deleted, so declared before it is created and kept after.
  hostkit::DebugSink Sink;
  hostkit::SampleAllocator Allocator;
  std::unique_ptr<hostkit::DeviceParams> Params;
  korvalt::ipcapture::IIPCaptureDriverEx3* Driver = nullptr;
  korvalt::ipcapture::IIPPTZApiEx* Api = nullptr;  // owned by the driver
  bool Queued = false;
  bool Verbose = false;
};

// A module line on stderr: "hh:mm:ss.mmm [level] text".
void PrintDebugLine(const hostkit::DebugLine& line);

// "success", or the result's name and number: "preset limit reached (-26)".
std::string PtzResultText(int32_t result);
// Text with every control character shown as '?': preset names come from a file that anyone may
// have edited, and must not drive the terminal.
std::string Printable(const std::string& text);

}  // namespace camctl
