// The camera family's PTZ requests as camsim receives them.

#include "ptz/quenlark_ptz_comm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/camsim_fixture.h"
#include "support/fake_driver.h"

namespace korvalt {
namespace {

using Item = CBasePTZComm::CWorkItem;

TEST(QuenlarkPTZComm, CameraSpeedTruncatesTowardZeroWithoutClamping) {
  const std::pair<int32_t, int32_t> cases[] = {{1, 1},
                                               {3, 1},
                                               {4, 2},
                                               {6, 2},
                                               {7, 3},
                                               {15, 5},
                                               {16, 6},
                                               {17, 6},
                                               {18, 6},
                                               {19, 7},
                                               {0, 1},
                                               {-1, 1},
                                               {-2, 0},
                                               {-4, 0},
                                               {-5, -1},
                                               {INT32_MAX, 715827883},
                                               {INT32_MIN, -715827882}};
  for (const auto& [host, camera] : cases) EXPECT_EQ(CQuenlarkPTZComm::CameraSpeed(host), camera) << host;
}

class QuenlarkPTZCommCamsim : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Camera.Ok());
    DEVICE_INFO device;
    device.Address = "127.0.0.1";
    device.Port = Camera.HttpPort();
    device.UserName = "admin";
    device.Password = "secret";
    device.NetworkTimeout = 2000;
    Driver.SetDeviceInfo(device);
  }

  std::vector<std::string> Requests() {
    std::vector<std::string> paths;
    for (const std::string& line : Camera.RequestLog()) {
      const size_t start = line.find(' ');
      paths.push_back(line.substr(start + 1, line.rfind(' ') - start - 1));
    }
    return paths;
  }

  static CPtzCapabilities Capabilities() {
    CPtzCapabilities c;
    c.CanPan = c.CanTilt = c.CanZoom = c.CanFocus = true;
    c.MaxPrepositions = 255;
    return c;
  }

  testsupport::Camsim Camera{[] {
    testsupport::CamsimOptions options;
    options.Auth = "none";
    options.Ptz = true;
    return options;
  }()};
  testsupport::FakeDriver Driver;
};

TEST_F(QuenlarkPTZCommCamsim, WorkItemsBecomeTheirRequests) {
  CQuenlarkPTZComm comm(&Driver, Capabilities(), 0);
  struct Case {
    Item Work;
    const char* Path;  // null: nothing is sent
  };
  const Case cases[] = {
      {{1, 0, nullptr, 16, ipcapture::kPtzMoveUpLeft, 0, 0}, "/config/ptz_move_cont.cgi?p=-6&t=6&z=0"},
      {{1, 0, nullptr, 5, ipcapture::kPtzZoomOut, 0, 0}, "/config/ptz_move_cont.cgi?p=0&t=0&z=-2"},
      {{1, 0, nullptr, 5, 11, 0, 0}, "/config/ptz_move_cont.cgi?"},
      {{2, 2, nullptr, 5, 0, 0, 0}, "/config/focus_cont.cgi?f=2"},
      {{2, 1, nullptr, 5, 0, 0, 0}, "/config/focus_cont.cgi?f=-2"},  // signed, not 4294967294
      {{2, 3, nullptr, 5, 0, 0, 0}, nullptr},
      {{4, 5, nullptr, 0, 0, 0, 0}, "/config/ptz_move_cont.cgi?p=0&t=0&z=0"},
      {{4, 6, nullptr, 0, 0, 0, 0}, "/config/ptz_move_cont.cgi?p=0&t=0&z=0"},
      {{4, 7, nullptr, 0, 0, 0, 0}, "/config/focus_cont.cgi?f=0"},
      {{4, 8, nullptr, 0, 0, 0, 0}, nullptr},
      {{4, 99, nullptr, 0, 0, 0, 0}, nullptr},
      {{3, 3, nullptr, 5, 0, 0, 0}, nullptr},
      {{5, 0, nullptr, 1, 2, 3, 4}, nullptr},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    Item item = c.Work;
    comm.HandleWorkItem(&item);
    if (c.Path != nullptr) expected.push_back(c.Path);
  }
  EXPECT_EQ(Requests(), expected);
  const std::vector<testsupport::FakeDriver::Line> lines = {
      {ipcapture::kDebugLevelError,
       "korvalt::CQuenlarkPTZComm::ProcessFocusCommand: Unexpected command subtype (Type=2, Subtype=3)"},
      {ipcapture::kDebugLevelError, "korvalt::CQuenlarkPTZComm::HandleWorkItem: unexpected command ID=3"},
      {ipcapture::kDebugLevelError, "korvalt::CQuenlarkPTZComm::HandleWorkItem: unexpected command ID=5"},
  };
  EXPECT_EQ(Driver.Lines(), lines);
}

TEST_F(QuenlarkPTZCommCamsim, PresetRequestsNumberFromOneAndReportTheCamerasVerdict) {
  CQuenlarkPTZComm comm(&Driver, Capabilities(), 0);
  EXPECT_TRUE(comm.StorePreposition(0, "Door"));
  EXPECT_TRUE(comm.StorePreposition(254, "Gate"));
  EXPECT_TRUE(comm.GotoPreposition(254, "Gate", 7));
  EXPECT_TRUE(comm.DeletePreposition(0, "Door"));
  EXPECT_FALSE(comm.GotoPreposition(0, "Door", 0)) << "camsim answers 404 for a deleted preset";
  const std::vector<std::string> expected = {
      "/config/ptz_preset.cgi?name=1&act=add",  "/config/ptz_preset.cgi?name=255&act=add",
      "/config/ptz_preset.cgi?name=255&act=go", "/config/ptz_preset.cgi?name=1&act=del",
      "/config/ptz_preset.cgi?name=1&act=go",
  };
  EXPECT_EQ(Requests(), expected);
  EXPECT_EQ(Driver.Count("status code = 404"), 1u);
}

TEST_F(QuenlarkPTZCommCamsim, WorkerAndPresetCallsNeverShareTheConnectionAtOnce) {
  CQuenlarkPTZComm comm(&Driver, Capabilities(), 0);
  ASSERT_TRUE(comm.Open());
  std::thread presets([&] {
    for (int i = 0; i < 15; ++i) EXPECT_TRUE(comm.StorePreposition(i % 5, "P"));
  });
  for (int i = 0; i < 15; ++i) EXPECT_EQ(comm.StartMove(nullptr, i % 8, 4), ipcapture::kPtzSuccess);
  presets.join();
  // Every store and the last move reached the camera (a store may leave out the moves queued
  // before it that a later one replaced), and nothing failed on the shared connection.
  const std::string lastMove = CQuenlarkPTZComm::MovePath(14 % 8, 4);
  const auto arrived = [&] {
    const std::vector<std::string> seen = Requests();
    return std::count(seen.begin(), seen.end(), "/config/ptz_preset.cgi?name=1&act=add") == 3 &&
           !seen.empty() && std::find(seen.begin(), seen.end(), lastMove) != seen.end();
  };
  for (int wait = 0; wait < 500 && !arrived(); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(arrived());
  size_t stores = 0;
  for (const std::string& path : Requests()) stores += path.find("ptz_preset") != std::string::npos;
  EXPECT_EQ(stores, 15u);
  comm.Close();
  EXPECT_TRUE(Driver.Lines().empty());
}

}  // namespace
}  // namespace korvalt
