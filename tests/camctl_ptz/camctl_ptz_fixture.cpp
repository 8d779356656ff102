#include "camctl_ptz/camctl_ptz_fixture.h"

#include <unistd.h>

#include <thread>

namespace camctlptz {
namespace {
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollInterval{10};
}  // namespace

bool WaitFor(const std::function<bool()>& check, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!check()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

testsupport::CamsimOptions CamctlPtz::CameraOptions() {
  testsupport::CamsimOptions options;
  // Without authentication every request reaches the log once.
  options.Auth = "none";
  options.Ptz = true;
  options.Model = "QL-6250";
  return options;
}

void CamctlPtz::SetUp() {
  if (access(CamctlPath().c_str(), X_OK) != 0) GTEST_SKIP() << "camctl not built";
  ASSERT_FALSE(Presets.Path().empty());
  ASSERT_TRUE(Camera.Ok());
}

std::vector<std::string> CamctlPtz::DeviceArguments() const {
  // Only custom parameter 3: camctl passes the ones before it as "(none)".
  return {"--port",  std::to_string(Camera.HttpPort()), "--model",      "QL-6250",
          "--param", std::string("3=") + kMac,          "--preset-dir", Presets.Path()};
}

ProcessResult CamctlPtz::Ptz(const std::vector<std::string>& words,
                             const std::vector<std::pair<std::string, std::string>>& environment) {
  std::vector<std::string> arguments = {"ptz"};
  arguments.insert(arguments.end(), words.begin(), words.end());
  const auto device = DeviceArguments();
  arguments.insert(arguments.end(), device.begin(), device.end());
  return RunProcess(CamctlPath(), arguments, environment);
}

std::vector<std::string> CamctlPtz::PtzRequests() {
  return Camera.RequestPaths({"/config/ptz", "/config/focus"});
}

}  // namespace camctlptz
