// The camera properties query against hand-written camera replies.

#include "driver/quenlark_camera_properties.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "capability/fake_camera.h"
#include "driver/host/device_params.h"
#include "tools/hostkit/capability.h"

namespace {

namespace ipc = korvalt::ipcapture;
using captest::FakeCamera;
using korvalt::CQuenlarkCameraProperties;
using Report = hostkit::CapabilityReport;

constexpr const char* kInfo = "/common/info.cgi";
constexpr const char* kProfile = "/config/video.cgi";
constexpr const char* kStreamInfo = "/config/stream_info.cgi";
constexpr const char* kRs485 = "/config/rs485.cgi";

FakeCamera::Reply Ok(std::string body) {
  return {200, std::move(body), false};
}

// An NTSC camera with two inputs and one output, without PTZ.
void SetUpCamera(FakeCamera& camera) {
  camera.Set(kInfo, Ok("model=QL-3110\r\nversion=1.05\r\nmacaddr=02:00:5E:10:00:01\r\ninputs=2\r\n"
                       "outputs=1\r\nptz=no\r\n"));
  camera.Set(kProfile, Ok("profileid=1\r\nresolution=704x480\r\ncodec=H264\r\n"));
  camera.Set(
      kStreamInfo,
      Ok("videos=MJPEG,MPEG4,H264\r\nframerates=30,15,5\r\nresolutions=704x480,352x240\r\naudios=\r\n"));
  camera.Set(kRs485, Ok("enable=no\r\nprotocol=pelco-d\r\n"));
}

korvalt::DEVICE_INFO Device(const FakeCamera& camera) {
  korvalt::DEVICE_INFO device;
  device.NetworkTimeout = 20000;
  device.Address = "127.0.0.1";
  device.Port = camera.HttpPort();
  device.UserName = "admin";
  device.Password = "pw";
  return device;
}

struct Outcome {
  bool Queried = false;
  int32_t ErrorCode = 0;
  bool Saved = false;
  Report Results;
};

Outcome QueryAndSave(const FakeCamera& camera) {
  CQuenlarkCameraProperties properties(Device(camera));
  Outcome outcome;
  outcome.Queried = properties.QueryProperties(&outcome.ErrorCode);
  hostkit::CapabilityResults results;
  outcome.Saved = properties.SaveProperties(&results);
  outcome.Results = results.Report();
  return outcome;
}

bool Requested(const FakeCamera& camera, const std::string& path) {
  const auto log = camera.Requests();
  return std::find(log.begin(), log.end(), path) != log.end();
}

std::string CustomValue(const Report& report, const char* name) {
  const auto* parameter = report.FindCustomParameter(name);
  return parameter && parameter->Value ? *parameter->Value : "(missing)";
}

std::vector<std::string> ResolutionTexts(const Report& report) {
  std::vector<std::string> texts;
  for (const auto& r : report.Resolutions) texts.push_back(r.Text + "@" + std::to_string(r.FrameInterval));
  return texts;
}

TEST(QuenlarkCameraProperties, VideoStandardDecidesFrameRatesAndResolutions) {
  struct Case {
    const char* Name;
    FakeCamera::Reply Profile;
    const char* Framerates;
    const char* Resolutions;
    const char* VideoStandard;
    std::vector<std::string> Expected;  // "WxH@interval" in order
    std::vector<int32_t> Intervals;
    int32_t Default;
  };
  const Case cases[] = {
      {"704x480 is NTSC: 30 fps kept, 704x576 and 640x480 dropped",
       Ok("resolution=704x480\r\n"),
       "30,15,5",
       "704x480,704x576,352x240,640x480",
       "1",
       {"704x480@33", "352x240@33"},
       {200, 67, 33},
       33},
      {"640x480 is PAL: above 25 fps dropped, 704x480 dropped",
       Ok("resolution=640x480\r\n"),
       "30,25,12",
       "704x480,640x480,704x576",
       "0",
       {"640x480@40", "704x576@40"},
       {83, 40},
       40},
      {"60 fps gives no interval per resolution",
       Ok("resolution=704x480\r\n"),
       "60,30",
       "352x240",
       "1",
       {"352x240@0"},
       {33, 17},
       17},
      {"no profile answer keeps PAL",
       {404, "", false},
       "30,15",
       "704x480,640x480",
       "0",
       {"640x480@66"},
       {67},
       67},
      {"unparsable profile keeps PAL",
       Ok("resolution=wide\r\n"),
       "30,15",
       "640x480",
       "0",
       {"640x480@66"},
       {67},
       67},
      {"rates above 2000 fps would have a zero interval and are ignored",
       Ok("resolution=704x480\r\n"),
       "30,2000,2001,100000",
       "352x240",
       "1",
       {"352x240@0"},
       {33, 1},
       1},
      {"zero, negative and non-numeric rates and sizes are ignored, duplicates kept once",
       Ok("resolution=704x480\r\n"),
       "0,-5,abc,15,15",
       "352x240,352x240,0x240,foo,352x240x,70000x480,x240",
       "1",
       {"352x240@66"},
       {67},
       67},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    FakeCamera camera;
    SetUpCamera(camera);
    camera.Set(kProfile, c.Profile);
    camera.Set(kStreamInfo, Ok(std::string("videos=H264\r\nframerates=") + c.Framerates +
                               "\r\nresolutions=" + c.Resolutions + "\r\n"));
    const Outcome outcome = QueryAndSave(camera);
    ASSERT_TRUE(outcome.Queried);
    ASSERT_TRUE(outcome.Saved);
    EXPECT_EQ(CustomValue(outcome.Results, "Video standard"), c.VideoStandard);
    EXPECT_EQ(ResolutionTexts(outcome.Results), c.Expected);
    ASSERT_EQ(outcome.Results.FrameIntervalLists.count(1), 1u);
    const auto& list = outcome.Results.FrameIntervalLists.at(1);
    EXPECT_EQ(list.Intervals, c.Intervals);
    EXPECT_EQ(list.Default, c.Default);
  }
}

TEST(QuenlarkCameraProperties, SavesDeviceInformationPropertiesAndAddress) {
  FakeCamera camera;
  SetUpCamera(camera);
  camera.Set(kStreamInfo,
             Ok("videos=mjpeg,H264\r\nframerates=30,15,5\r\nresolutions=704x480,352x240\r\naudios=G711\r\n"));
  const Outcome outcome = QueryAndSave(camera);
  ASSERT_TRUE(outcome.Queried);
  ASSERT_TRUE(outcome.Saved);
  const Report& report = outcome.Results;
  EXPECT_EQ(report.Name, "Quenlark QL-3110");
  // Flags 11 and 12 twice: once with the intervals, once with the common answers.
  const std::vector<std::pair<int32_t, int32_t>> expected = {
      {ipc::kCapabilityFlag11, 0}, {ipc::kCapabilityFlag12, 0},  {ipc::kCapabilityQueried, 1},
      {ipc::kCapabilityInputs, 2}, {ipc::kCapabilityOutputs, 1}, {ipc::kCapabilityAudio, 1},
      {ipc::kCapabilityFlag11, 0}, {ipc::kCapabilityFlag12, 0},  {ipc::kCapabilityMJPEG, 1},
      {ipc::kCapabilityH264, 1}};
  EXPECT_EQ(report.PropertyWrites, expected);
  EXPECT_EQ(report.AddressFields,
            (std::map<int32_t, std::string>{{ipc::kAddressFieldAddress, "127.0.0.1"},
                                            {ipc::kAddressFieldPort, std::to_string(camera.HttpPort())},
                                            {ipc::kAddressFieldUserName, "admin"},
                                            {ipc::kAddressFieldPassword, "pw"}}));

  struct Parameter {
    int32_t Index;
    const char* Name;
    int32_t Type;
    const char* Value;
  };
  for (const Parameter& p :
       {Parameter{ipc::kCustomParameterVideoStandard, "Video standard", ipc::kCustomParameterNumber, "1"},
        Parameter{ipc::kCustomParameterFirmware, "Firmware", ipc::kCustomParameterText, "1.05"},
        Parameter{ipc::kCustomParameterMacAddress, "MAC Address", ipc::kCustomParameterText,
                  "02005E100001"}}) {
    ASSERT_EQ(report.CustomParameters.count(p.Index), 1u) << p.Name;
    const auto& saved = report.CustomParameters.at(p.Index);
    EXPECT_EQ(saved.Name, p.Name);
    EXPECT_EQ(saved.Type, p.Type) << p.Name;
    EXPECT_EQ(saved.Value, p.Value) << p.Name;
    EXPECT_EQ(saved.Attribute, 0) << p.Name;
  }
}

TEST(QuenlarkCameraProperties, MissingOptionalAnswersGiveDefaults) {
  FakeCamera camera;
  SetUpCamera(camera);
  camera.Set(kInfo, Ok("model=X1\r\ninputs=\r\n"));
  const Outcome outcome = QueryAndSave(camera);
  ASSERT_TRUE(outcome.Queried);
  EXPECT_EQ(outcome.Results.Name, "Quenlark X1");
  EXPECT_EQ(outcome.Results.Property(ipc::kCapabilityInputs), std::nullopt) << "no inputs, no property";
  EXPECT_EQ(outcome.Results.Property(ipc::kCapabilityOutputs), std::nullopt);
  EXPECT_EQ(CustomValue(outcome.Results, "Firmware"), "(none)");
  EXPECT_EQ(CustomValue(outcome.Results, "MAC Address"), "(none)");
}

TEST(QuenlarkCameraProperties, PtzComesFromTheModelOrRs485) {
  struct Case {
    const char* Model;
    FakeCamera::Reply Rs485;
    bool Ptz;
    bool Rs485Asked;
  };
  const Case cases[] = {
      {"QL-6250", Ok("enable=no\r\n"), true, false},
      {"QL-62501", {404, "", false}, true, false},
      {"QL-3110", Ok("protocol=pelco-d\r\nenable=yes\r\n"), true, true},
      {"QL-3110", Ok("enable=no\r\n"), false, true},
      {"QL-3110", {500, "enable=yes\r\n", false}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Model);
    FakeCamera camera;
    SetUpCamera(camera);
    camera.Set(kInfo, Ok(std::string("model=") + c.Model + "\r\n"));
    camera.Set(kRs485, c.Rs485);
    const Outcome outcome = QueryAndSave(camera);
    ASSERT_TRUE(outcome.Queried);
    EXPECT_EQ(outcome.Results.Property(ipc::kCapabilityPTZ),
              c.Ptz ? std::optional<int32_t>(1) : std::nullopt);
    EXPECT_EQ(Requested(camera, kRs485), c.Rs485Asked);
  }
}

TEST(QuenlarkCameraProperties, RequiredAnswersMissingFailWithCode3) {
  struct Case {
    const char* Name;
    FakeCamera::Reply Info;
    FakeCamera::Reply StreamInfo;
    bool StreamInfoAsked;
  };
  const auto info = Ok("model=QL-3110\r\n");
  const Case cases[] = {
      {"no model", Ok("version=1.05\r\ninputs=1\r\n"), Ok("videos=H264\r\n"), false},
      {"empty model", Ok("model=\r\n"), Ok("videos=H264\r\n"), false},
      {"device information refused", {401, "", false}, Ok("videos=H264\r\n"), false},
      {"empty device information", Ok(""), Ok("videos=H264\r\n"), false},
      {"empty videos", info, Ok("videos=\r\nframerates=30\r\nresolutions=704x480\r\n"), true},
      {"no videos", info, Ok("framerates=30\r\nresolutions=704x480\r\n"), true},
      {"no usable frame rate", info, Ok("videos=H264\r\nframerates=0,x\r\nresolutions=704x480\r\n"), true},
      {"no resolution of the standard", info, Ok("videos=H264\r\nframerates=30\r\nresolutions=640x480\r\n"),
       true},
      {"stream information refused", info, {500, "videos=H264\r\n", false}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    FakeCamera camera;
    SetUpCamera(camera);
    camera.Set(kInfo, c.Info);
    camera.Set(kStreamInfo, c.StreamInfo);
    CQuenlarkCameraProperties properties(Device(camera));
    int32_t errorCode = 0;
    EXPECT_FALSE(properties.QueryProperties(&errorCode));
    EXPECT_EQ(errorCode, ipc::kCapabilityQueryError);
    EXPECT_EQ(Requested(camera, kStreamInfo), c.StreamInfoAsked);
    EXPECT_FALSE(Requested(camera, kRs485));
  }
}

TEST(QuenlarkCameraProperties, AbortLetsTheRequestInFlightFinishAndStopsBeforeTheNext) {
  // The host aborts while the camera works on the device information or on the video profile:
  // that request still counts, nothing is asked after it.
  for (const char* inFlight : {kInfo, kProfile}) {
    SCOPED_TRACE(inFlight);
    FakeCamera camera;
    SetUpCamera(camera);
    CQuenlarkCameraProperties properties(Device(camera));
    std::promise<void> aborted;  // the camera's thread is done with the object
    camera.OnRequest([&](const std::string& path) {
      if (path != inFlight) return;
      properties.AbortQuery();
      aborted.set_value();
    });
    int32_t errorCode = 0;
    EXPECT_TRUE(properties.QueryProperties(&errorCode));
    aborted.get_future().wait();
    EXPECT_FALSE(Requested(camera, kStreamInfo));
    EXPECT_FALSE(Requested(camera, kRs485));

    hostkit::CapabilityResults results;
    ASSERT_TRUE(properties.SaveProperties(&results));
    const Report report = results.Report();
    EXPECT_EQ(report.Name, "Quenlark QL-3110");
    EXPECT_EQ(report.Property(ipc::kCapabilityQueried), 1);
    EXPECT_EQ(report.Property(ipc::kCapabilityInputs), 2);
    EXPECT_TRUE(report.Resolutions.empty());
    EXPECT_TRUE(report.FrameIntervalLists.empty()) << "no frame rate, no interval";
    EXPECT_EQ(report.Property(ipc::kCapabilityH264), std::nullopt);
    EXPECT_EQ(CustomValue(report, "MAC Address"), "02005E100001");
  }
}

TEST(QuenlarkCameraProperties, CancelRequestEndsTheRequestInFlight) {
  FakeCamera camera;
  SetUpCamera(camera);
  camera.Set(kInfo, {200, "model=QL-3110\r\n", true});
  std::promise<void> asked;
  camera.OnRequest([&](const std::string& path) {
    if (path == kInfo) asked.set_value();
  });
  CQuenlarkCameraProperties properties(Device(camera));  // 20 s network time-out
  int32_t errorCode = 0;
  auto query = std::async(std::launch::async, [&] { return properties.QueryProperties(&errorCode); });
  asked.get_future().wait();
  properties.AbortQuery();
  properties.CancelRequest();
  ASSERT_EQ(query.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the request was not cancelled";
  EXPECT_FALSE(query.get());
  EXPECT_EQ(errorCode, ipc::kCapabilityQueryError);
  EXPECT_EQ(camera.Requests(), std::vector<std::string>{kInfo});
}

// A result object that keeps none of its sub-objects.
class BareResults : public korvalt::ipcapture::ICapabilityResults {
 public:
  void SetProperty(int32_t, int32_t) override { ++Writes; }
  void SetName(const char*) override { ++Writes; }
  korvalt::ipcapture::ICapabilityText* GetAddressField(int32_t) override { return nullptr; }
  void Reserved4() override {}
  korvalt::ipcapture::ICustomParameterInfo* GetCustomParameter(int32_t) override { return nullptr; }
  korvalt::ipcapture::IResolutionList* GetResolutionList() override { return nullptr; }
  void Reserved7() override {}
  korvalt::ipcapture::IFrameIntervalList* GetFrameIntervalList(int32_t) override { return nullptr; }
  int Writes = 0;
};

TEST(QuenlarkCameraProperties, SaveCopesWithMissingHostObjects) {
  FakeCamera camera;
  SetUpCamera(camera);
  CQuenlarkCameraProperties properties(Device(camera));
  int32_t errorCode = 0;
  ASSERT_TRUE(properties.QueryProperties(&errorCode));
  EXPECT_FALSE(properties.SaveProperties(nullptr));
  BareResults bare;
  EXPECT_TRUE(properties.SaveProperties(&bare));
  EXPECT_GT(bare.Writes, 0);
}

}  // namespace
