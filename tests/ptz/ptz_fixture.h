#pragma once

// A recorder's view of PTZ: the module loaded with dlopen, one driver opened against camsim,
// presets kept in a temporary directory of the test's own.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/camsim_fixture.h"
#include "support/temp_dir.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace ptztest {

using testsupport::TempDir;
using Clock = std::chrono::steady_clock;

inline int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class PtzThroughExports : public ::testing::Test {
 protected:
  static constexpr const char* kMac = "001122AABBCC";
  static constexpr const char* kPresetFile = "Quenlark_001122AABBCC.preset";

  void SetUp() override;
  void TearDown() override;

  // Opens a driver for the camera; custom parameter 3 holds mac unless it is null.
  korvalt::ipcapture::IIPCaptureDriverEx3* OpenDriver(const char* mac = kMac, int channels = 1);
  void DeleteDriver();
  korvalt::ipcapture::IIPPTZApiEx* Control(uint32_t channel = 0);

  // PTZ and preset requests that reached the camera, as "/config/...?..." paths, in order.
  std::vector<std::string> PtzRequests();
  // Waits until at least count PTZ requests arrived; the requests seen.
  std::vector<std::string> WaitForPtzRequests(size_t count, int timeoutMs = 5000);
  // Clears the camera's log.
  void ClearRequests() { Camera.ClearLog(); }

  static testsupport::CamsimOptions CameraOptions();

  TempDir Presets{"quenlark-ptz"};
  testsupport::Camsim Camera{CameraOptions()};
  hostkit::Module Module;
  hostkit::DebugSink Debug;
  hostkit::SampleAllocator Allocator;
  hostkit::DeviceParams Params;
  korvalt::ipcapture::IIPCaptureDriverEx3* Driver = nullptr;
};

}  // namespace ptztest
