// PTZ as a recorder drives it: the exports, the public interfaces, and the requests the camera
// (camsim) received.

#include <gtest/gtest.h>

#include <thread>

#include "ptz/ptz_fixture.h"
#include "tools/hostkit/ptz.h"

namespace ptztest {
namespace {

namespace ipc = korvalt::ipcapture;

constexpr const char* kMove = "/config/ptz_move_cont.cgi?";

TEST_F(PtzThroughExports, HostSpeedMapsOntoCameraSpeedWithoutClamping) {
  OpenDriver();
  ipc::IIPPTZApiEx* ptz = Control();
  ASSERT_NE(ptz, nullptr);
  const std::pair<int32_t, const char*> cases[] = {
      {1, "p=1&t=0&z=0"},  {3, "p=1&t=0&z=0"}, {16, "p=6&t=0&z=0"},
      {17, "p=6&t=0&z=0"}, {0, "p=1&t=0&z=0"}, {-2, "p=0&t=0&z=0"},
  };
  for (const auto& [speed, query] : cases) EXPECT_EQ(ptz->Move(ipc::kPtzMoveRight, speed), ipc::kPtzSuccess);
  const std::vector<std::string> seen = WaitForPtzRequests(std::size(cases));
  ASSERT_EQ(seen.size(), std::size(cases));
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], std::string(kMove) + cases[i].second) << i;
}

TEST_F(PtzThroughExports, EachDirectionSendsItsOwnMoveRequest) {
  OpenDriver();
  ipc::IIPPTZApiEx* ptz = Control();
  ASSERT_NE(ptz, nullptr);
  struct Case {
    int32_t Direction;
    int32_t Speed;
    const char* Query;  // after the prefix; null: refused, nothing sent
    int32_t Result;
  };
  const Case cases[] = {
      {ipc::kPtzMoveLeft, 16, "p=-6&t=0&z=0", ipc::kPtzSuccess},
      {ipc::kPtzMoveUp, 16, "p=0&t=6&z=0", ipc::kPtzSuccess},
      {ipc::kPtzMoveDown, 4, "p=0&t=-2&z=0", ipc::kPtzSuccess},
      {ipc::kPtzMoveUpLeft, 16, "p=-6&t=6&z=0", ipc::kPtzSuccess},
      {ipc::kPtzMoveUpRight, 7, "p=3&t=3&z=0", ipc::kPtzSuccess},
      {ipc::kPtzMoveDownLeft, 7, "p=-3&t=-3&z=0", ipc::kPtzSuccess},
      {ipc::kPtzMoveDownRight, 7, "p=3&t=-3&z=0", ipc::kPtzSuccess},
      {ipc::kPtzZoomIn, 5, "p=0&t=0&z=2", ipc::kPtzSuccess},
      {ipc::kPtzZoomOut, 5, "p=0&t=0&z=-2", ipc::kPtzSuccess},
      {ipc::kPtzMoveReserved, 5, nullptr, ipc::kPtzInvalidArgument},
      {11, 5, "", ipc::kPtzSuccess},
      {-1, 5, "", ipc::kPtzSuccess},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    EXPECT_EQ(ptz->Move(c.Direction, c.Speed), c.Result) << c.Direction;
    if (c.Query != nullptr) expected.push_back(std::string(kMove) + c.Query);
  }
  EXPECT_EQ(WaitForPtzRequests(expected.size()), expected);
}

TEST_F(PtzThroughExports, StopAllStopsWhatWasStartedInItsFixedOrder) {
  OpenDriver();
  ipc::IIPPTZApiEx* ptz = Control();
  ASSERT_NE(ptz, nullptr);
  // Nothing started: nothing sent.
  EXPECT_EQ(ptz->StopAll(), ipc::kPtzSuccess);
  // After a zoom only the move stop; after a focus only the focus stop.
  EXPECT_EQ(ptz->ZoomIn(4), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->StopAll(), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->FocusMinus(4), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->StopAll(), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->FocusPlus(4), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->Move(ipc::kPtzMoveLeft, 1), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->ZoomOut(1), ipc::kPtzSuccess);
  // Moving first, then zooming, then focusing.
  EXPECT_EQ(ptz->StopAll(), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->StopAll(), ipc::kPtzSuccess) << "flags were cleared";
  const std::vector<std::string> expected = {
      "/config/ptz_move_cont.cgi?p=0&t=0&z=2",
      "/config/ptz_move_cont.cgi?p=0&t=0&z=0",
      "/config/focus_cont.cgi?f=-2",
      "/config/focus_cont.cgi?f=0",
      "/config/focus_cont.cgi?f=2",
      "/config/ptz_move_cont.cgi?p=-1&t=0&z=0",
      "/config/ptz_move_cont.cgi?p=0&t=0&z=-1",
      "/config/ptz_move_cont.cgi?p=0&t=0&z=0",
      "/config/ptz_move_cont.cgi?p=0&t=0&z=0",
      "/config/focus_cont.cgi?f=0",
  };
  EXPECT_EQ(WaitForPtzRequests(expected.size()), expected);
}

TEST_F(PtzThroughExports, FunctionsTheCameraLacksAreRefusedBeforeTheQueue) {
  OpenDriver();
  ipc::IIPPTZApiEx* ptz = Control();
  ASSERT_NE(ptz, nullptr);
  EXPECT_EQ(ptz->IrisPlus(5), ipc::kPtzNotSupported);
  EXPECT_EQ(ptz->IrisMinus(5), ipc::kPtzNotSupported);
  EXPECT_EQ(ptz->AreaZoom(1, 2, 3, 4), ipc::kPtzNotSupported);
  EXPECT_EQ(ptz->Center(1, 2, 3), ipc::kPtzNotSupported);
  EXPECT_EQ(ptz->Unzoom(1), ipc::kPtzNotSupported);
  EXPECT_EQ(ptz->StopAll(), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->HasAnyPTZFunction(), 1);
  EXPECT_TRUE(ptz->QueryFeature(1));
  EXPECT_FALSE(ptz->QueryFeature(2));
  EXPECT_FALSE(ptz->QueryFeature(0));
  // A request the camera lacks leaves no trace; a later move still arrives alone.
  EXPECT_EQ(ptz->Move(ipc::kPtzMoveUp, 1), ipc::kPtzSuccess);
  EXPECT_EQ(WaitForPtzRequests(1), std::vector<std::string>{"/config/ptz_move_cont.cgi?p=0&t=1&z=0"});
  EXPECT_EQ(Debug.Count("cannot send message"), 0u);
}

TEST_F(PtzThroughExports, CapabilityRecordHoldsTheCamerasFunctionsAtTheirOffsets) {
  OpenDriver();
  ipc::IIPPTZApiEx* ptz = Control();
  ASSERT_NE(ptz, nullptr);
  EXPECT_EQ(ptz->GetCapabilities(nullptr), ipc::kPtzInvalidArgument);
  ipc::PTZ_CAPABILITIES record = hostkit::MakeCapabilityRecord();
  ASSERT_EQ(ptz->GetCapabilities(&record), ipc::kPtzSuccess);
  const std::pair<size_t, uint32_t> fields[] = {
      {0, hostkit::kUnwrittenField},
      {4, 1},
      {8, 1},
      {12, 1},
      {16, 1},
      {20, 0},
      {24, 0},
      {28, 255},
      {32, 0},
      {36, 0},
      {40, 0},
      {44, 0},
      {48, 0},
      {52, 0},
  };
  for (const auto& [offset, value] : fields)
    EXPECT_EQ(hostkit::CapabilityField(record, offset), value) << offset;
  EXPECT_TRUE(PtzRequests().empty()) << "capabilities are known without asking the camera";
}

TEST_F(PtzThroughExports, ControlsExistPerChannelAndOnlyBelowTheChannelCount) {
  OpenDriver(kMac, 2);
  ASSERT_NE(Driver->GetPTZDriver(), nullptr);
  EXPECT_EQ(Control(2), nullptr);
  EXPECT_TRUE(Presets.Files().empty()) << "a refused channel does not touch the storage";
  ipc::IIPPTZApiEx* first = Control(0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Control(0), first);
  EXPECT_EQ(Driver->GetPTZDriver()->GetPTZApi(0), static_cast<ipc::IIPPTZApi*>(first));
  ipc::IIPPTZApiEx* second = Control(1);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  auto* params = dynamic_cast<ipc::IIPParams*>(second);
  ASSERT_NE(params, nullptr);
  EXPECT_EQ(params->GetChannel(), 1);
  EXPECT_FALSE(params->GetHostFlagA());
  params->SetHostFlagA(true);
  EXPECT_TRUE(params->GetHostFlagA());
  EXPECT_FALSE(params->GetHostFlagB());
  EXPECT_EQ(Presets.Files(), std::vector<std::string>{kPresetFile}) << "one file for the device";
}

TEST_F(PtzThroughExports, WithoutUsableMacAddressNoControlAndBothMessagesEachTime) {
  const char* macs[] = {nullptr, "", "(none)", "../escape"};
  for (const char* mac : macs) {
    SCOPED_TRACE(mac ? mac : "missing");
    Debug.Clear();
    OpenDriver(mac);
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(Control(0), nullptr);
      EXPECT_EQ(Debug.Count("korvalt::CQuenlarkPTZHandler::GetXMLStorageFileName: PTZ handler for 127.0.0.1 "
                            "device cannot be initialized. Required custom parameter was not defined!"),
                size_t(attempt + 1));
      EXPECT_EQ(
          Debug.Count("korvalt::CBasePTZHandler::InitializeXMLStorage: PTZ module cannot be initialized! "
                      "Name of file for preset storing was not defined"),
          size_t(attempt + 1));
    }
    DeleteDriver();
  }
  EXPECT_TRUE(Presets.Files().empty());
  EXPECT_TRUE(PtzRequests().empty());
}

TEST_F(PtzThroughExports, SeventeenMovesBehindAStalledRequestKeepTheLastSixteenInOrder) {
  OpenDriver();
  ipc::IIPPTZApiEx* ptz = Control();
  ASSERT_NE(ptz, nullptr);
  ASSERT_TRUE(Camera.InjectFault("stall", 1, 600));
  ASSERT_EQ(ptz->Move(ipc::kPtzMoveUp, 1), ipc::kPtzSuccess);
  ASSERT_EQ(WaitForPtzRequests(1).size(), 1u) << "the worker is inside the stalled request";
  // Speeds 1, 4, 7, ... give camera speeds 1 to 17, one per request.
  for (int32_t v = 1; v <= 17; ++v) EXPECT_EQ(ptz->Move(ipc::kPtzMoveRight, 3 * v - 2), ipc::kPtzSuccess);
  std::vector<std::string> expected = {"/config/ptz_move_cont.cgi?p=0&t=1&z=0"};
  for (int v = 2; v <= 17; ++v)
    expected.push_back("/config/ptz_move_cont.cgi?p=" + std::to_string(v) + "&t=0&z=0");
  EXPECT_EQ(WaitForPtzRequests(expected.size()), expected);
}

TEST_F(PtzThroughExports, DeletingTheDriverDuringAStalledRequestIsPrompt) {
  OpenDriver();
  ipc::IIPPTZApiEx* ptz = Control();
  ASSERT_NE(ptz, nullptr);
  ASSERT_TRUE(Camera.InjectFault("stall", 1, 10000));
  ASSERT_EQ(ptz->ZoomIn(3), ipc::kPtzSuccess);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ptz->Move(ipc::kPtzMoveLeft, 3), ipc::kPtzSuccess);
  ASSERT_EQ(WaitForPtzRequests(1).size(), 1u);
  const auto start = Clock::now();
  DeleteDriver();
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_EQ(PtzRequests().size(), 1u) << "pending moves are dropped, not sent";
}

TEST_F(PtzThroughExports, CloseDuringAStalledPresetRequestIsPrompt) {
  OpenDriver();
  ipc::IIPPTZApiEx* ptz = Control();
  ASSERT_NE(ptz, nullptr);
  ASSERT_TRUE(Camera.InjectFault("stall", 1, 10000));
  int32_t added = 0;
  std::thread host([&] { added = ptz->AddPreposition("Door"); });
  ASSERT_EQ(WaitForPtzRequests(1).size(), 1u);
  const auto start = Clock::now();
  Driver->Close();
  EXPECT_LT(MsSince(start), 1000);
  host.join();
  EXPECT_EQ(added, ipc::kPtzNotAvailable) << "the camera never confirmed the preset";
  EXPECT_EQ(Driver->GetPTZDriver(), nullptr);
}

}  // namespace
}  // namespace ptztest
