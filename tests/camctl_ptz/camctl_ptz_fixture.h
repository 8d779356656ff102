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

namespace camctlptz {

struct ProcessResult {
  int Status = -1;  // exit status; -1 when it did not exit normally
  std::string Out;
  std::string Err;
};

// Runs program with arguments (no shell), stdin from /dev/null, extra environment variables set;
// killed after timeout.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::pair<std::string, std::string>>& environment = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Polls check until it holds or the timeout passes; whether it held.
bool WaitFor(const std::function<bool()>& check, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A fresh directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return Dir; }
  bool Has(const std::string& name) const;
  bool Write(const std::string& name, const std::string& text) const;

 private:
  std::string Dir;
};

std::string CamctlPath();

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

  TempDir Presets;
  testsupport::Camsim Camera{CameraOptions()};

 private:
  static testsupport::CamsimOptions CameraOptions();
};

}  // namespace camctlptz
