// The capability query as a recorder runs it: the module loaded with dlopen, the four exports,
// the reference host objects, and camsim as the camera.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "support/camsim_fixture.h"
#include "tools/hostkit/capability.h"
#include "tools/hostkit/module.h"

namespace {

namespace ipc = korvalt::ipcapture;
using hostkit::CapabilityReport;
using testsupport::Camsim;
using testsupport::CamsimOptions;

// Bounds a wait for the callback; a loopback camera answers within milliseconds.
constexpr auto kAnswer = std::chrono::seconds(30);
// Longer than any test may take: a request stalled this long must have been aborted.
constexpr int kStallMs = 120000;
// A camera slow to answer, yet well inside the query's network time-out (20 s).
constexpr int kLateAnswerMs = 300;
constexpr const char* kQueryFailed = "Failed to get camera properties";

bool Logged(Camsim& camera, const std::string& path) {
  const auto log = camera.RequestLog();
  return std::any_of(log.begin(), log.end(),
                     [&](const std::string& line) { return line.find(path) != std::string::npos; });
}

std::vector<std::string> ResolutionTexts(const CapabilityReport& report) {
  std::vector<std::string> texts;
  for (const auto& r : report.Resolutions) texts.push_back(r.Text + "@" + std::to_string(r.FrameInterval));
  return texts;
}

class CapabilityQueryExports : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Module.Load(QUENLARK_MODULE_PATH)) << Module.Error();
    ASSERT_TRUE(Module.HasCapabilityQuery());
  }
  void TearDown() override { Module.UninitQuery(); }

  bool Start(uint16_t port, const char* user = "admin", const char* password = "secret") {
    return Module.StartQuery("127.0.0.1", port, user, password, &Results) == 1;
  }

  hostkit::Module Module;
  hostkit::CapabilityCallback Callback;
  hostkit::CapabilityResults Results;
};

TEST_F(CapabilityQueryExports, ReachableCameraCompletesOnceWithEveryAnswerSaved) {
  struct Case {
    const char* Auth;
    const char* Standard;
    std::vector<std::string> Resolutions;
    std::vector<int32_t> Intervals;
    int32_t Default;
    const char* VideoStandard;
  };
  const Case cases[] = {
      {"digest", "ntsc", {"704x480@33", "352x240@33", "176x120@33"}, {200, 67, 33}, 33, "1"},
      {"basic",
       "pal",
       {"704x576@40", "640x480@40", "352x288@40", "320x240@40", "176x144@40"},
       {200, 83, 40},
       40,
       "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Standard);
    CamsimOptions options;
    options.Auth = c.Auth;
    options.Standard = c.Standard;
    options.Inputs = 4;
    options.Outputs = 2;
    options.ExtraArgs = {"--firmware", "2.10", "--mac", "00:0C:6E:AB:CD:EF", "--audio", "yes"};
    Camsim camera(options);
    ASSERT_TRUE(camera.Ok());

    hostkit::CapabilityCallback callback;
    hostkit::CapabilityResults results;
    CapabilityReport atCompletion;  // what the host held when it was told
    callback.SetCallback([&](const hostkit::CapabilityOutcome&) { atCompletion = results.Report(); });
    ASSERT_EQ(Module.InitQuery(&callback, 1), 1);
    ASSERT_EQ(Module.StartQuery("127.0.0.1", camera.HttpPort(), "admin", "secret", &results), 1);
    ASSERT_TRUE(callback.Wait(kAnswer));
    ASSERT_EQ(Module.UninitQuery(), 1);

    const auto outcome = callback.Outcome();
    EXPECT_EQ(outcome.Completions, 1);
    EXPECT_EQ(outcome.Failures, 0) << outcome.Message;
    EXPECT_EQ(atCompletion.Name, "Quenlark QL-3110");
    for (const auto& [id, value] : std::vector<std::pair<int32_t, int32_t>>{{ipc::kCapabilityQueried, 1},
                                                                            {ipc::kCapabilityInputs, 4},
                                                                            {ipc::kCapabilityOutputs, 2},
                                                                            {ipc::kCapabilityAudio, 1},
                                                                            {ipc::kCapabilityMPEG4, 1},
                                                                            {ipc::kCapabilityMJPEG, 1},
                                                                            {ipc::kCapabilityH264, 1},
                                                                            {ipc::kCapabilityFlag11, 0},
                                                                            {ipc::kCapabilityFlag12, 0}}) {
      EXPECT_EQ(atCompletion.Property(id), value) << "property " << id;
    }
    EXPECT_EQ(atCompletion.Property(ipc::kCapabilityPTZ), std::nullopt) << "no PTZ";
    EXPECT_EQ(ResolutionTexts(atCompletion), c.Resolutions);
    ASSERT_EQ(atCompletion.FrameIntervalLists.count(1), 1u);
    EXPECT_EQ(atCompletion.FrameIntervalLists.at(1).Intervals, c.Intervals);
    EXPECT_EQ(atCompletion.FrameIntervalLists.at(1).Default, c.Default);
    EXPECT_EQ(atCompletion.AddressFields,
              (std::map<int32_t, std::string>{{ipc::kAddressFieldAddress, "127.0.0.1"},
                                              {ipc::kAddressFieldPort, std::to_string(camera.HttpPort())},
                                              {ipc::kAddressFieldUserName, "admin"},
                                              {ipc::kAddressFieldPassword, "secret"}}));
    const auto* standard = atCompletion.FindCustomParameter("Video standard");
    const auto* firmware = atCompletion.FindCustomParameter("Firmware");
    const auto* mac = atCompletion.FindCustomParameter("MAC Address");
    ASSERT_TRUE(standard && firmware && mac);
    EXPECT_EQ(standard->Value, c.VideoStandard);
    EXPECT_EQ(standard->Type, ipc::kCustomParameterNumber);
    EXPECT_EQ(firmware->Value, "2.10");
    EXPECT_EQ(mac->Value, "000C6EABCDEF");
    EXPECT_EQ(mac->Type, ipc::kCustomParameterText);
  }
}

TEST_F(CapabilityQueryExports, PtzComesFromTheModelOrRs485) {
  struct Case {
    const char* Model;
    bool Ptz;
    bool Rs485Asked;
  };
  for (const Case& c : {Case{"QL-6250", false, false}, Case{"QL-5220", true, true}}) {
    SCOPED_TRACE(c.Model);
    CamsimOptions options;
    options.Model = c.Model;
    options.Ptz = c.Ptz;
    Camsim camera(options);
    ASSERT_TRUE(camera.Ok());
    hostkit::CapabilityCallback callback;
    hostkit::CapabilityResults results;
    ASSERT_EQ(Module.InitQuery(&callback, 0), 1);
    ASSERT_EQ(Module.StartQuery("127.0.0.1", camera.HttpPort(), "", "", &results), 1);
    ASSERT_TRUE(callback.Wait(kAnswer));
    Module.UninitQuery();
    EXPECT_TRUE(callback.Outcome().Succeeded());
    EXPECT_EQ(results.Report().Property(ipc::kCapabilityPTZ), 1);
    EXPECT_EQ(Logged(camera, "/config/rs485.cgi"), c.Rs485Asked);
  }
}

TEST_F(CapabilityQueryExports, FailuresReportCode3AndTheirMessage) {
  enum class Setup { kWrongPassword, kEmptyDeviceInformation, kCameraGone, kNoResultObject };
  struct Case {
    const char* Name;
    const char* Auth;
    Setup What;
    const char* Message;
  };
  const Case cases[] = {
      {"wrong password, Basic", "basic", Setup::kWrongPassword, kQueryFailed},
      {"wrong password, Digest", "digest", Setup::kWrongPassword, kQueryFailed},
      {"empty device information", "none", Setup::kEmptyDeviceInformation, kQueryFailed},
      {"camera gone", "none", Setup::kCameraGone, kQueryFailed},
      {"no result object", "none", Setup::kNoResultObject, "Failed to save capability query results"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    CamsimOptions options;
    options.Auth = c.Auth;
    Camsim camera(options);
    ASSERT_TRUE(camera.Ok());
    if (c.What == Setup::kEmptyDeviceInformation) {
      ASSERT_TRUE(camera.InjectFault("empty"));
    }
    if (c.What == Setup::kCameraGone) camera.Kill();
    hostkit::CapabilityCallback callback;
    hostkit::CapabilityResults results;
    ASSERT_EQ(Module.InitQuery(&callback, 1), 1);
    ASSERT_EQ(Module.StartQuery("127.0.0.1", camera.HttpPort(), "admin",
                                c.What == Setup::kWrongPassword ? "wrong" : "secret",
                                c.What == Setup::kNoResultObject ? nullptr : &results),
              1);
    ASSERT_TRUE(callback.Wait(kAnswer));
    Module.UninitQuery();
    const auto outcome = callback.Outcome();
    EXPECT_EQ(outcome.Completions, 0);
    EXPECT_EQ(outcome.Failures, 1);
    EXPECT_EQ(outcome.ErrorCode, ipc::kCapabilityQueryError);
    EXPECT_EQ(outcome.Message, c.Message);
  }
}

TEST_F(CapabilityQueryExports, InitTwiceKeepsTheFirstCallback) {
  Camsim camera;
  ASSERT_TRUE(camera.Ok());
  hostkit::CapabilityCallback second;
  ASSERT_EQ(Module.InitQuery(&Callback, 1), 1);
  EXPECT_EQ(Module.InitQuery(&second, 1), 0);
  ASSERT_TRUE(Start(camera.HttpPort()));
  ASSERT_TRUE(Callback.Wait(kAnswer));
  Module.UninitQuery();
  EXPECT_TRUE(Callback.Outcome().Succeeded());
  EXPECT_FALSE(second.Outcome().Finished());
}

TEST_F(CapabilityQueryExports, UninitWithoutStartOnlyForgetsTheCallback) {
  EXPECT_EQ(Module.UninitQuery(), 1);
  EXPECT_EQ(Module.TerminateQuery(), 1);
  ASSERT_EQ(Module.InitQuery(&Callback, 1), 1);
  EXPECT_EQ(Module.UninitQuery(), 1);
  EXPECT_EQ(Module.InitQuery(&Callback, 1), 1) << "a new callback may be registered after Uninit";
  EXPECT_FALSE(Callback.Outcome().Finished());
}

TEST_F(CapabilityQueryExports, StartWithoutCallbackAsksTheCameraNothing) {
  Camsim camera;
  ASSERT_TRUE(camera.Ok());
  ASSERT_TRUE(Start(camera.HttpPort()));
  EXPECT_EQ(Module.UninitQuery(), 1);
  EXPECT_TRUE(camera.RequestLog().empty());
  EXPECT_FALSE(Results.Report().Name.has_value());
}

TEST_F(CapabilityQueryExports, UninitEndsAQueryStalledByTheCameraAndItReportsFirst) {
  Camsim camera;
  ASSERT_TRUE(camera.Ok());
  ASSERT_TRUE(camera.InjectFault("stall", 1, kStallMs));
  hostkit::CapabilityResults other;
  ASSERT_EQ(Module.InitQuery(&Callback, 1), 1);
  ASSERT_TRUE(Start(camera.HttpPort()));
  // A second start while the first query runs changes nothing.
  EXPECT_EQ(Module.StartQuery("127.0.0.1", camera.HttpPort(), "admin", "secret", &other), 0);
  EXPECT_EQ(Module.UninitQuery(), 1);
  // Joined, not abandoned: the query told its result before Uninit returned.
  const auto outcome = Callback.Outcome();
  EXPECT_EQ(outcome.Failures, 1);
  EXPECT_EQ(outcome.Message, kQueryFailed);
  EXPECT_FALSE(other.Report().Name.has_value());
  EXPECT_FALSE(Logged(camera, "/config/stream_info.cgi"));
}

TEST_F(CapabilityQueryExports, TerminateLetsTheRequestInFlightFinishAndReportsTheDeviceInformation) {
  Camsim camera;
  ASSERT_TRUE(camera.Ok());
  // The device information arrives late, well after the host asked the query to stop.
  ASSERT_TRUE(camera.InjectFault("stall", 1, kLateAnswerMs));
  ASSERT_EQ(Module.InitQuery(&Callback, 1), 1);
  ASSERT_TRUE(Start(camera.HttpPort()));
  EXPECT_EQ(Module.TerminateQuery(), 1);
  ASSERT_TRUE(Callback.Wait(kAnswer));
  const auto outcome = Callback.Outcome();
  EXPECT_EQ(outcome.Completions, 1);
  EXPECT_EQ(outcome.Failures, 0) << outcome.Message;
  const CapabilityReport report = Results.Report();
  EXPECT_EQ(report.Name, "Quenlark QL-3110");
  EXPECT_EQ(report.Property(ipc::kCapabilityInputs), 1);
  EXPECT_TRUE(report.Resolutions.empty());
  EXPECT_TRUE(report.FrameIntervalLists.empty());
  EXPECT_FALSE(Logged(camera, "/config/stream_info.cgi"));
  EXPECT_FALSE(Logged(camera, "/config/video.cgi"));
}

TEST_F(CapabilityQueryExports, TerminateRightAfterStartReportsOnce) {
  Camsim camera;
  ASSERT_TRUE(camera.Ok());
  ASSERT_EQ(Module.InitQuery(&Callback, 1), 1);
  ASSERT_TRUE(Start(camera.HttpPort()));
  EXPECT_EQ(Module.TerminateQuery(), 1);
  ASSERT_TRUE(Callback.Wait(kAnswer));
  Module.UninitQuery();
  const auto outcome = Callback.Outcome();
  EXPECT_EQ(outcome.Completions + outcome.Failures, 1);
  if (outcome.Failures == 1) {
    EXPECT_EQ(outcome.Message, kQueryFailed);
  } else {
    EXPECT_EQ(Results.Report().Name, "Quenlark QL-3110");
  }
}

TEST_F(CapabilityQueryExports, StartAfterTheResultRunsTheNextQuery) {
  Camsim camera;
  ASSERT_TRUE(camera.Ok());
  std::promise<void> secondDone;
  Callback.SetCallback([&](const hostkit::CapabilityOutcome& outcome) {
    if (outcome.Completions == 2) secondDone.set_value();
  });
  ASSERT_EQ(Module.InitQuery(&Callback, 1), 1);
  ASSERT_TRUE(Start(camera.HttpPort()));
  ASSERT_TRUE(Callback.Wait(kAnswer));
  // Straight after being told, as a recorder would; the first query's thread may still unwind.
  ASSERT_TRUE(Start(camera.HttpPort()));
  ASSERT_EQ(secondDone.get_future().wait_for(kAnswer), std::future_status::ready);
  Module.UninitQuery();
  EXPECT_EQ(Callback.Outcome().Failures, 0);
}

TEST_F(CapabilityQueryExports, UninitFromInsideTheCallbackDoesNotHang) {
  Camsim camera;
  ASSERT_TRUE(camera.Ok());
  std::promise<int32_t> uninit;
  Callback.SetCallback([&](const hostkit::CapabilityOutcome&) { uninit.set_value(Module.UninitQuery()); });
  ASSERT_EQ(Module.InitQuery(&Callback, 1), 1);
  ASSERT_TRUE(Start(camera.HttpPort()));
  auto result = uninit.get_future();
  ASSERT_EQ(result.wait_for(kAnswer), std::future_status::ready);
  EXPECT_EQ(result.get(), 1);
  hostkit::CapabilityCallback next;
  EXPECT_EQ(Module.InitQuery(&next, 1), 1) << "the callback was forgotten";
}

}  // namespace
