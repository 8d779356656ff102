#pragma once

// camctl ptz as a user runs it: a child process against camsim, presets in a directory of the
// test's own.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/camsim_fixture.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace camctlptz {

using testsupport::CamctlPath;
using testsupport::ProcessResult;
using testsupport::RunProcess;
using testsupport::TempDir;

// Polls check until it holds or the timeout passes; whether it held.
bool WaitFor(const std::function<bool()>& check, std::chrono::milliseconds timeout = std::chrono::seconds(5));

class CamctlPtz : public ::testing::Test {
 protected:
  static constexpr const char* kMac = "001122AABBCC";
  static constexpr const char* kPresetFile = "Quenlark_001122AABBCC.preset";

  void SetUp() override;

  // camctl ptz WORDS... with the camera's address, the MAC address and the preset directory.
  ProcessResult Ptz(const std::vector<std::string>& words,
                    const std::vector<std::pair<std::string, std::string>>& environment = {});
  // The device options Ptz adds, for a command line of a test's own.
  std::vector<std::string> DeviceArguments() const;
  // PTZ, focus and preset requests the camera received, as "/config/...?..." paths, in order.
  std::vector<std::string> PtzRequests();

  TempDir Presets{"camctl-ptz"};
  testsupport::Camsim Camera{CameraOptions()};

 private:
  static testsupport::CamsimOptions CameraOptions();
};

}  // namespace camctlptz
