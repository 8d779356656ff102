// camctl ptz's one-shot subcommands against camsim: what reaches the camera, what is printed, and
// the exit status.

#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "camctl_ptz/camctl_ptz_fixture.h"

namespace camctlptz {
namespace {

using Requests = std::vector<std::string>;

constexpr const char* kStopMove = "/config/ptz_move_cont.cgi?p=0&t=0&z=0";
constexpr const char* kStopFocus = "/config/focus_cont.cgi?f=0";

// A printed line that starts with the call and ends with the result.
bool HasResultLine(const std::string& out, const std::string& call, const std::string& result) {
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(call + " ", 0) == 0 && line.size() >= result.size() &&
        line.compare(line.size() - result.size(), result.size(), result) == 0) {
      return true;
    }
  }
  return false;
}

struct MotionCase {
  const char* Name;
  std::vector<std::string> Words;
  Requests Sent;
  std::vector<std::string> Calls;  // each printed with "success"
};

void PrintTo(const MotionCase& c, std::ostream* os) {
  *os << c.Name;
}

class CamctlPtzMotion : public CamctlPtz, public ::testing::WithParamInterface<MotionCase> {};

TEST_P(CamctlPtzMotion, SendsItsRequestsAndPrintsEachResult) {
  const MotionCase& c = GetParam();
  const ProcessResult run = Ptz(c.Words);
  EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
  // camctl has closed the driver: nothing more can arrive.
  EXPECT_EQ(PtzRequests(), c.Sent);
  for (const std::string& call : c.Calls)
    EXPECT_TRUE(HasResultLine(run.Out, call, "success")) << call << "\n" << run.Out;
}

INSTANTIATE_TEST_SUITE_P(
    Subcommands, CamctlPtzMotion,
    ::testing::Values(
        // Speed 16 is camera speed 6; --for stops afterwards.
        MotionCase{"MoveUpLeftFor",
                   {"move", "up-left", "16", "--for", "0"},
                   {"/config/ptz_move_cont.cgi?p=-6&t=6&z=0", kStopMove},
                   {"move up-left 16", "stop"}},
        MotionCase{"MoveDownForAWhile",
                   {"move", "down", "7", "--for", "0.2"},
                   {"/config/ptz_move_cont.cgi?p=0&t=-3&z=0", kStopMove},
                   {"move down 7", "stop"}},
        // Without --for only the move is sent, and it still reaches the camera before camctl closes.
        MotionCase{"MoveRightAlone",
                   {"move", "right", "1"},
                   {"/config/ptz_move_cont.cgi?p=1&t=0&z=0"},
                   {"move right 1"}},
        MotionCase{"ZoomInFor",
                   {"zoom", "in", "16", "--for", "0"},
                   {"/config/ptz_move_cont.cgi?p=0&t=0&z=6", kStopMove},
                   {"zoom in 16", "stop"}},
        MotionCase{
            "ZoomOutAlone", {"zoom", "out", "5"}, {"/config/ptz_move_cont.cgi?p=0&t=0&z=-2"}, {"zoom out 5"}},
        // Near is a negative speed, written signed.
        MotionCase{"FocusNearFor",
                   {"focus", "near", "4", "--for", "0"},
                   {"/config/focus_cont.cgi?f=-2", kStopFocus},
                   {"focus near 4", "stop"}},
        MotionCase{"FocusFarAlone", {"focus", "far", "16"}, {"/config/focus_cont.cgi?f=6"}, {"focus far 16"}},
        // A new process has started nothing, so its StopAll has nothing to send.
        MotionCase{"StopAlone", {"stop"}, {}, {"stop"}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(CamctlPtz, PresetsRoundTripThroughTheCameraAndTheFile) {
  ProcessResult run = Ptz({"preset", "add", "home"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_TRUE(HasResultLine(run.Out, "preset add home", "success")) << run.Out;
  run = Ptz({"preset", "add", "door"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_TRUE(Presets.Has(kPresetFile));

  // A new process reads the list from the file; none is current in it.
  run = Ptz({"preset", "list"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Out.find("    1  home\n    2  door\n2 preset(s), none current\n"), std::string::npos)
      << run.Out;

  run = Ptz({"preset", "go", "home"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_TRUE(HasResultLine(run.Out, "preset go home", "success")) << run.Out;
  run = Ptz({"preset", "rm", "door"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_TRUE(HasResultLine(run.Out, "preset rm door", "success")) << run.Out;

  run = Ptz({"preset", "list", "--json"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(
      run.Out,
      "{\"ok\":true,\"channel\":0,\"calls\":[],\"count\":1,\"presets\":[{\"position\":1,\"name\":\"home\","
      "\"current\":false}],\"current\":null}\n");
  EXPECT_EQ(PtzRequests(),
            (Requests{"/config/ptz_preset.cgi?name=1&act=add", "/config/ptz_preset.cgi?name=2&act=add",
                      "/config/ptz_preset.cgi?name=1&act=go", "/config/ptz_preset.cgi?name=2&act=del"}));
}

TEST_F(CamctlPtz, CapsShowTheRecordAndThePresetCount) {
  ASSERT_EQ(Ptz({"preset", "add", "home"}).Status, 0);
  ProcessResult run = Ptz({"caps"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Out.find("functions            pan tilt zoom focus, presets 1/255\n"), std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find("presets              1 stored, 255 at most\n"), std::string::npos) << run.Out;

  run = Ptz({"caps", "--json"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(
      run.Out,
      "{\"ok\":true,\"channel\":0,\"calls\":[{\"call\":\"capabilities\",\"result\":1,\"name\":\"success\"}],"
      "\"anyFunction\":1,\"capabilities\":{\"pan\":true,\"tilt\":true,\"zoom\":true,\"focus\":true,"
      "\"iris\":false,\"areaZoom\":false,\"center\":false,\"unzoom\":false},\"presets\":{\"count\":1,"
      "\"limit\":255},\"text\":\"pan tilt zoom focus, presets 1/255\"}\n");
}

// Every slot of the channel taken, as a recorder would have written them.
std::string FullPresetFile() {
  std::string text = "<?xml version='1.0' encoding='utf-8'?>\n<Quenlark><PtzChannel01>";
  for (int i = 0; i < 255; ++i) {
    char entry[160];
    std::snprintf(entry, sizeof entry,
                  "<Preposition%03d><Name value=\"p%d\"/><Slot value=\"%d\"/></Preposition%03d>", i, i, i, i);
    text += entry;
  }
  return text + "</PtzChannel01></Quenlark>\n";
}

struct FailureCase {
  const char* Name;
  std::vector<std::string> Words;
  std::string Call;
  std::string Printed;
  bool FullList = false;       // the preset file holds 255 presets
  bool CameraRefuses = false;  // the camera answers the next request with 500
  const char* JsonCode = nullptr;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.Name;
}

class CamctlPtzFailure : public CamctlPtz, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CamctlPtzFailure, PrintsTheResultByNameAndExitsWithOne) {
  const FailureCase& c = GetParam();
  if (c.FullList) {
    ASSERT_TRUE(Presets.Write(kPresetFile, FullPresetFile()));
  }
  if (c.CameraRefuses) {
    ASSERT_TRUE(Camera.InjectFault("status", 1, 500));
  }
  ProcessResult run = Ptz(c.Words);
  EXPECT_EQ(run.Status, 1) << run.Out << run.Err;
  EXPECT_TRUE(HasResultLine(run.Out, c.Call, c.Printed)) << run.Out;

  std::vector<std::string> json = c.Words;
  json.push_back("--json");
  if (c.CameraRefuses) {
    ASSERT_TRUE(Camera.InjectFault("status", 1, 500));
  }
  run = Ptz(json);
  EXPECT_EQ(run.Status, 1) << run.Out << run.Err;
  EXPECT_EQ(run.Out.rfind("{\"ok\":false,", 0), 0u) << run.Out;
  EXPECT_NE(run.Out.find(c.JsonCode), std::string::npos) << run.Out;
}

INSTANTIATE_TEST_SUITE_P(Presets, CamctlPtzFailure,
                         ::testing::Values(FailureCase{"GoToUnknown",
                                                       {"preset", "go", "nowhere"},
                                                       "preset go nowhere",
                                                       "preset operation failed (-23)",
                                                       false,
                                                       false,
                                                       "\"result\":-23,\"name\":\"preset operation failed\""},
                                           FailureCase{"RemoveUnknown",
                                                       {"preset", "rm", "nowhere"},
                                                       "preset rm nowhere",
                                                       "preset operation failed (-23)",
                                                       false,
                                                       false,
                                                       "\"result\":-23,\"name\":\"preset operation failed\""},
                                           FailureCase{"AddInvalidName",
                                                       {"preset", "add", "a<b"},
                                                       "preset add a<b",
                                                       "invalid argument (-3)",
                                                       false,
                                                       false,
                                                       "\"result\":-3,\"name\":\"invalid argument\""},
                                           FailureCase{"AddRefusedByCamera",
                                                       {"preset", "add", "home"},
                                                       "preset add home",
                                                       "PTZ not available (-18)",
                                                       false,
                                                       true,
                                                       "\"result\":-18,\"name\":\"PTZ not available\""},
                                           FailureCase{"AddBeyondLimit",
                                                       {"preset", "add", "extra"},
                                                       "preset add extra",
                                                       "preset limit reached (-26)",
                                                       true,
                                                       false,
                                                       "\"result\":-26,\"name\":\"preset limit reached\""}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(CamctlPtz, RemoveRefusedByTheCameraIsAFailure) {
  ASSERT_EQ(Ptz({"preset", "add", "home"}).Status, 0);
  ASSERT_TRUE(Camera.InjectFault("status", 1, 500));
  ProcessResult run = Ptz({"preset", "rm", "home", "--json"});
  // The module reports the refusal; camctl adds its hint.
  EXPECT_EQ(run.Status, 1) << run.Out << run.Err;
  EXPECT_EQ(
      run.Out.rfind("{\"ok\":false,\"channel\":0,\"calls\":[{\"call\":\"preset rm home\",\"result\":-23,"
                    "\"name\":\"preset operation failed\"}],\"hint\":",
                    0),
      0u)
      << run.Out;

  run = Ptz({"preset", "rm", "home", "--json"});
  EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
  EXPECT_NE(run.Out.find("\"stillStored\":false"), std::string::npos) << run.Out;
}

TEST_F(CamctlPtz, FullListSendsNothingAndStillListsEveryPreset) {
  ASSERT_TRUE(Presets.Write(kPresetFile, FullPresetFile()));
  EXPECT_EQ(Ptz({"preset", "add", "extra"}).Status, 1);
  const ProcessResult run = Ptz({"preset", "list"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Out.find("  255  p254\n255 preset(s), none current\n"), std::string::npos) << run.Out;
  EXPECT_TRUE(PtzRequests().empty());
}

struct UsageCase {
  const char* Name;
  std::vector<std::string> Arguments;  // after "ptz"; the device options are not added
  bool WithDevice;
  std::string Message;
};

void PrintTo(const UsageCase& c, std::ostream* os) {
  *os << c.Name;
}

class CamctlPtzUsage : public CamctlPtz, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(CamctlPtzUsage, RefusesWithStatusTwoBeforeTouchingTheCamera) {
  const UsageCase& c = GetParam();
  std::vector<std::string> arguments = {"ptz"};
  arguments.insert(arguments.end(), c.Arguments.begin(), c.Arguments.end());
  if (c.WithDevice) {
    const auto device = DeviceArguments();
    arguments.insert(arguments.end(), device.begin(), device.end());
  } else {
    arguments.insert(arguments.end(), {"--port", std::to_string(Camera.HttpPort())});
  }
  const ProcessResult run = RunProcess(CamctlPath(), arguments);
  EXPECT_EQ(run.Status, 2) << run.Out << run.Err;
  EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
  EXPECT_TRUE(PtzRequests().empty());
  EXPECT_FALSE(Presets.Has(kPresetFile));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CamctlPtzUsage,
    ::testing::Values(
        UsageCase{"NoMacAddress", {"move", "left", "4"}, false, "the MAC address is missing"},
        UsageCase{"NoneAsMacAddress", {"caps", "--param", "3=(none)"}, false, "--param 3=MAC"},
        UsageCase{"ChannelBeyondCount", {"caps", "--channel", "1"}, true, "--channel must be 0 to 0"},
        UsageCase{"ZoomAsMoveDirection", {"move", "in", "4"}, true, "unknown direction 'in'"},
        UsageCase{"SpeedAboveRange", {"move", "left", "17"}, true, "SPEED must be a whole number from 1"},
        UsageCase{"UnknownZoom", {"zoom", "sideways", "3"}, true, "usage: camctl ptz zoom in|out SPEED"},
        UsageCase{"NegativeFor", {"move", "left", "3", "--for", "-1"}, true, "--for needs seconds"},
        UsageCase{"ForWithPreset", {"preset", "go", "home", "--for", "1"}, true, "--for goes with move"},
        UsageCase{"MissingPresetDir",
                  {"caps", "--param", "3=001122AABBCC", "--preset-dir", "/nonexistent/presets"},
                  false,
                  "is not a directory"},
        // stdin is /dev/null here.
        UsageCase{"InteractiveWithoutTerminal", {"interactive"}, true, "needs a terminal"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(CamctlPtz, NoControlFromTheModuleIsAFailureWithItsReasons) {
  // A MAC address that would lead the preset file out of its directory.
  const ProcessResult run =
      RunProcess(CamctlPath(), {"ptz", "caps", "--json", "--port", std::to_string(Camera.HttpPort()),
                                "--param", "3=../x", "--preset-dir", Presets.Path()});
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Out.rfind(
                "{\"ok\":false,\"channel\":0,\"calls\":[],\"error\":\"the driver gives no PTZ control", 0),
            0u)
      << run.Out;
  EXPECT_NE(run.Err.find("Required custom parameter was not defined!"), std::string::npos) << run.Err;
  EXPECT_TRUE(PtzRequests().empty());
}

TEST_F(CamctlPtz, PresetDirOptionWinsOverTheVariable) {
  TempDir fromVariable;
  const std::vector<std::pair<std::string, std::string>> environment = {
      {"QUENLARK_PRESET_DIR", fromVariable.Path()}};
  // Without --preset-dir the module uses the variable...
  std::vector<std::string> arguments = {"ptz",     "preset",
                                        "add",     "home",
                                        "--port",  std::to_string(Camera.HttpPort()),
                                        "--param", std::string("3=") + kMac};
  EXPECT_EQ(RunProcess(CamctlPath(), arguments, environment).Status, 0);
  EXPECT_TRUE(fromVariable.Has(kPresetFile));
  EXPECT_FALSE(Presets.Has(kPresetFile));
  // ...and --preset-dir replaces it.
  EXPECT_EQ(Ptz({"preset", "add", "door"}, environment).Status, 0);
  EXPECT_TRUE(Presets.Has(kPresetFile));
}

}  // namespace
}  // namespace camctlptz
