#include "ptz/ptz_fixture.h"

#include <cstdlib>
#include <thread>

namespace ptztest {

testsupport::CamsimOptions PtzThroughExports::CameraOptions() {
  testsupport::CamsimOptions options;
  // Without authentication every request reaches the log once; HTTP authentication has tests of
  // its own.
  options.Auth = "none";
  options.Ptz = true;
  options.Model = "QL-6250";
  return options;
}

void PtzThroughExports::SetUp() {
  ASSERT_FALSE(Presets.Path().empty());
  setenv("QUENLARK_PRESET_DIR", Presets.Path().c_str(), 1);
  ASSERT_TRUE(Camera.Ok());
  ASSERT_TRUE(Module.Load(QUENLARK_MODULE_PATH)) << Module.Error();
}

void PtzThroughExports::TearDown() {
  DeleteDriver();
}

korvalt::ipcapture::IIPCaptureDriverEx3* PtzThroughExports::OpenDriver(const char* mac, int channels) {
  Params.Config.Address = "127.0.0.1";
  Params.Config.Port = Camera.HttpPort();
  Params.Config.UserName = "admin";
  Params.Config.Password = "secret";
  Params.Config.Channels = channels;
  Params.Config.Model = "QL-6250";
  Params.Config.Custom.clear();
  Params.Config.Custom[korvalt::ipcapture::kCustomParameterVideoStandard] = "0";
  Params.Config.Custom[korvalt::ipcapture::kCustomParameterFirmware] = "1.10";
  if (mac != nullptr) Params.Config.Custom[korvalt::ipcapture::kCustomParameterMacAddress] = mac;
  Driver = Module.Create();
  EXPECT_TRUE(Driver->Open(&Debug, &Allocator, &Params));
  return Driver;
}

void PtzThroughExports::DeleteDriver() {
  if (Driver == nullptr) return;
  Module.Delete(Driver);
  Driver = nullptr;
}

korvalt::ipcapture::IIPPTZApiEx* PtzThroughExports::Control(uint32_t channel) {
  if (Driver == nullptr || Driver->GetPTZDriverEx() == nullptr) return nullptr;
  return Driver->GetPTZDriverEx()->GetPTZApiEx(channel);
}

std::vector<std::string> PtzThroughExports::PtzRequests() {
  return Camera.RequestPaths({"/config/ptz", "/config/focus"});
}

std::vector<std::string> PtzThroughExports::WaitForPtzRequests(size_t count, int timeoutMs) {
  const auto start = Clock::now();
  std::vector<std::string> seen = PtzRequests();
  while (seen.size() < count && MsSince(start) < timeoutMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    seen = PtzRequests();
  }
  return seen;
}

}  // namespace ptztest
