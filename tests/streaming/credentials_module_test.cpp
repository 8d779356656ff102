// Credentials through the module's exports against the simulator: a wrong password never locks the
// camera out, modern Digest streams, and no host line reveals the password.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/camera_login.h"
#include "http/h_utils.h"
#include "http/refusal_backoff.h"
#include "media/channels/supervision_intervals.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "support/scripted_tcp_server.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/io_sink.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace {

namespace ipc = korvalt::ipcapture;
using namespace std::chrono_literals;

constexpr const char* kPassword = "secret";
constexpr const char* kWrongPassword = "Wr0ng-Pass";

// The back-off's first delay: the environment's when a run asks for real time
// (QUENLARK_TEST_REFUSAL_BACKOFF_MS=1000 runs the 90 s), else a tenth of a second.
int UnitMs() {
  if (getenv(korvalt::CRefusalBackoff::kFirstDelayVariable) == nullptr)
    setenv(korvalt::CRefusalBackoff::kFirstDelayVariable, "100", 1);
  return static_cast<int>(
      korvalt::CRefusalBackoff::FirstDelayFrom(getenv(korvalt::CRefusalBackoff::kFirstDelayVariable)));
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& line : lines) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

// camsim's /sim/log as lines.
std::vector<std::string> SimLog(testsupport::Camsim& camera) {
  std::vector<std::string> lines;
  const std::string body = camera.SimGet("/sim/log");
  size_t start = 0;
  while (start < body.size()) {
    const size_t end = std::min(body.find("\r\n", start), body.size());
    if (end > start) lines.push_back(body.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

class CredentialsThroughExports : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(korvalt::SupervisionIntervals::kPortProbeVariable, "200", 1);
    Unit = UnitMs();
    ASSERT_TRUE(Module.Load(QUENLARK_MODULE_PATH)) << Module.Error();
  }

  void TearDown() override { CloseDriver(); }

  ipc::IIPCaptureDriverEx3* OpenDriver(testsupport::Camsim& camera, const std::string& password,
                                       const std::string& address = "127.0.0.1") {
    Params.Config.Address = address;
    Params.Config.Port = camera.HttpPort();
    Params.Config.UserName = "admin";
    Params.Config.Password = password;
    Params.Config.CodecType = ipc::kCodecTypeH264;
    Params.Config.Channels = 1;
    Params.Config.Inputs = 1;
    Params.Config.Outputs = 1;
    Driver = Module.Create();
    EXPECT_TRUE(Driver->Open(&Debug, &Allocator, &Params));
    return Driver;
  }

  void CloseDriver() {
    if (Driver == nullptr) return;
    const auto start = std::chrono::steady_clock::now();
    Module.Delete(Driver);
    Driver = nullptr;
    EXPECT_LT(testsupport::MsSince(start), 1000) << "deleting the driver while it backs off must be prompt";
  }

  static testsupport::CamsimOptions Options(std::vector<std::string> extra) {
    testsupport::CamsimOptions options;
    options.Auth = "digest";
    options.Rtsp = true;
    options.ExtraArgs = std::move(extra);
    return options;
  }

  int Unit = 100;
  hostkit::Module Module;
  hostkit::DebugSink Debug;
  hostkit::SampleAllocator Allocator;
  hostkit::DeviceParams Params;
  hostkit::FrameSink Frames;
  hostkit::IOEventSink IOEvents;
  hostkit::ChannelSettings Settings{40, 60, 320, 240};
  ipc::IIPCaptureDriverEx3* Driver = nullptr;
};

TEST_F(CredentialsThroughExports, AWrongPasswordNeverLocksACameraThatCountsRefusalsInAWindow) {
  // The driver's schedule at a fiftieth of its times (11 minutes become 13.2 s), against a camera
  // that locks after 5 refused logins within 12 s: a camera locking after 5 within 10 minutes, with
  // the channel, the input poll and an output change all pressing on.
  setenv(korvalt::CCameraLogin::kScaleVariable, "20", 1);
  testsupport::Camsim camera(
      Options({"--lockout", "5", "--lockout-window", "12", "--lockout-seconds", "60"}));
  ASSERT_TRUE(camera.Ok());
  OpenDriver(camera, kWrongPassword);
  ASSERT_TRUE(Driver->GetCaptureIO()->SetIOSink(&IOEvents));
  Driver->GetCaptureIO()->Start();
  ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &Frames, &Settings));
  for (int i = 0; i < 10; ++i) {
    Driver->GetCaptureIO()->SetOutput(0, i % 2 == 0 ? ipc::kIOStateOn : ipc::kIOStateOff);
    // The host restarts the channel now and then: it tries at once, within the camera's cap.
    if (i % 3 == 2) {
      hostkit::PictureSize size(320, 240);
      Driver->GetVideoCapture()->RestartChannel(0, &size, 40);
    }
    std::this_thread::sleep_for(3s);
  }
  const std::vector<std::string> wrong = SimLog(camera);
  EXPECT_EQ(CountPrefix(wrong, "lockout="), 0u) << "the camera never locked the account";
  EXPECT_GE(CountPrefix(wrong, "login=refused"), 3u) << "the driver did keep trying";
  EXPECT_EQ(CountPrefix(wrong, "login=refused http GET /config/io.cgi") > 0 ||
                CountPrefix(wrong, "login=refused http GET /config/video.cgi") > 0,
            true);
  // One line for the series, saying when the next try comes and that a restart tries at once.
  for (const auto& line : Debug.Lines()) {
    if (line.Text.find("refused the credentials") == std::string::npos) continue;
    EXPECT_EQ(line.Level, ipc::kDebugLevelError);
    EXPECT_NE(line.Text.find("next try in"), std::string::npos) << line.Text;
    EXPECT_NE(line.Text.find("tries at once"), std::string::npos) << line.Text;
  }
  CloseDriver();

  // The installer mends the password; the host opens the device again and pictures come at once.
  OpenDriver(camera, kPassword);
  const auto opened = std::chrono::steady_clock::now();
  ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &Frames, &Settings));
  EXPECT_TRUE(testsupport::Eventually([&] { return Frames.Frames.load() >= 1; }, 5000));
  std::printf("first picture %lld ms after the right password\n",
              static_cast<long long>(testsupport::MsSince(opened)));
  setenv(korvalt::CCameraLogin::kScaleVariable, "100", 1);
}

TEST_F(CredentialsThroughExports, ALockedCameraLetsTheCorrectedPasswordInOnceItUnlocks) {
  // The camera locks the account for 3 s after 3 refused logins in a row, right password included
  // (the schedule keeps cameras that allow 5 within 10 minutes unlocked, not stricter ones).
  testsupport::Camsim camera(Options({"--lockout", "3", "--lockout-seconds", "3"}));
  ASSERT_TRUE(camera.Ok());
  OpenDriver(camera, kWrongPassword);
  ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &Frames, &Settings));
  ASSERT_TRUE(testsupport::Eventually([&] { return CountPrefix(SimLog(camera), "lockout=") > 0; }, 30000));
  CloseDriver();

  // The installer corrects the password; the host opens the driver again.
  OpenDriver(camera, kPassword);
  ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &Frames, &Settings));
  EXPECT_TRUE(testsupport::Eventually([&] { return Frames.Frames.load() >= 5; }, 30000));
  const std::vector<std::string> log = SimLog(camera);
  EXPECT_EQ(CountPrefix(log, "lockout="), 1u) << "the back-off never locked the camera again";
}

struct DigestCase {
  const char* Name;
  std::vector<std::string> Args;
  const char* LogPrefix;  // a line camsim's log must hold, or empty
};

class DigestDialects : public CredentialsThroughExports, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(DigestDialects, Streams) {
  const DigestCase& c = GetParam();
  testsupport::Camsim camera(Options(c.Args));
  ASSERT_TRUE(camera.Ok());
  OpenDriver(camera, kPassword);
  ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &Frames, &Settings));
  ASSERT_TRUE(testsupport::Eventually([&] { return Frames.Frames.load() >= 10; }, 30000));
  if (std::string(c.LogPrefix) == "login=stale rtsp OPTIONS") {
    // Keep-alives every second against nonces that live one: each is refused as stale and sent
    // again with the new nonce, and the session stays.
    EXPECT_TRUE(
        testsupport::Eventually([&] { return CountPrefix(SimLog(camera), c.LogPrefix) >= 2; }, 15000));
    EXPECT_EQ(Debug.Count("is online"), 1u);
    EXPECT_EQ(Debug.Count("offline"), 0u);
    EXPECT_EQ(Debug.Count("no picture"), 0u);
  } else if (*c.LogPrefix != '\0') {
    EXPECT_GE(CountPrefix(SimLog(camera), c.LogPrefix), 1u);
  }
  const std::vector<std::string> log = SimLog(camera);
  EXPECT_EQ(CountPrefix(log, "login=refused rtsp"), 0u);
  // No credentials before the camera's challenge: not one refused login.
  EXPECT_EQ(CountPrefix(log, "login=refused http"), 0u);
  EXPECT_EQ(Debug.Count("refused the credentials"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, DigestDialects,
    ::testing::Values(
        DigestCase{"Sha256WithQop", {"--digest-algorithm", "SHA-256", "--digest-qop", "yes"}, ""},
        DigestCase{"Md5SessWithQop", {"--digest-algorithm", "MD5-sess", "--digest-qop", "yes"}, ""},
        DigestCase{"Sha256SessWithQop", {"--digest-algorithm", "SHA-256-sess", "--digest-qop", "yes"}, ""},
        DigestCase{"Sha256WithoutQop", {"--digest-algorithm", "SHA-256", "--digest-qop", "no"}, ""},
        DigestCase{"StrongestOfSeveral", {"--digest-algorithm", "MD5,SHA-256", "--digest-qop", "yes"}, ""},
        DigestCase{"UriCheckedAgainstTheRequestLine", {"--digest-uri-check", "yes"}, ""},
        DigestCase{"StaleNonceWhileOpening", {"--nonce-lifetime", "1", "--digest-qop", "yes"}, ""},
        DigestCase{"KeepAliveAnsweredWith401AndAFreshNonce",
                   {"--nonce-lifetime", "1", "--session-timeout", "2"},
                   "login=stale rtsp OPTIONS"}),
    [](const auto& info) { return std::string(info.param.Name); });

// Every path that fails for the credentials, or quotes what the camera sent back: no host line
// carries the password, its base-64 forms or its Digest hash.
TEST_F(CredentialsThroughExports, NoHostLineRevealsThePassword) {
  const std::string user = "admin";
  const std::string password = kWrongPassword;
  const std::string basic = [&] {
    std::string encoded;
    korvalt::HUtils::EncodeCredentials(user, password, encoded);
    return encoded;
  }();
  // An RTSP server that refuses, then echoes the credentials it was sent in its reason phrase.
  const std::string challenge = "RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"cam\"\r\n\r\n";
  const std::string echo =
      "RTSP/1.0 403 Forbidden: Authorization: Basic " + basic + " " + password + "\r\n\r\n";
  testsupport::ScriptedTcpServer rtsp(
      testsupport::ScriptedTcpServer::Replies({challenge, echo, challenge, challenge, challenge, echo}));
  testsupport::CamsimOptions open;
  open.RtspPort = rtsp.Port();
  {
    // HTTP without credentials, RTSP at the scripted server.
    testsupport::Camsim camera(open);
    ASSERT_TRUE(camera.Ok());
    OpenDriver(camera, password);
    ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &Frames, &Settings));
    EXPECT_TRUE(testsupport::Eventually([&] { return Debug.Count("403 Forbidden") > 0; }, 20000));
    EXPECT_TRUE(testsupport::Eventually([&] { return Debug.Count("refused the credentials") > 0; }, 20000));
    CloseDriver();
  }
  {
    // Every HTTP path with a password the camera refuses: stream configuration, input poll, output.
    testsupport::Camsim camera(Options({}));
    ASSERT_TRUE(camera.Ok());
    OpenDriver(camera, password);
    ASSERT_TRUE(Driver->GetCaptureIO()->SetIOSink(&IOEvents));
    Driver->GetCaptureIO()->Start();
    Driver->GetCaptureIO()->SetOutput(0, ipc::kIOStateOn);
    ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &Frames, &Settings));
    // The first part the camera refused says so for all of them.
    EXPECT_TRUE(testsupport::Eventually(
        [&] { return Debug.Count("camera 127.0.0.1 refused the credentials") > 0; }, 20000));
    CloseDriver();
    // A password typed into the address as an URL's user information.
    OpenDriver(camera, password, user + ":" + password + "@127.0.0.1");
    ASSERT_TRUE(Driver->GetVideoCapture()->StartChannel(0, &Frames, &Settings));
    EXPECT_TRUE(testsupport::Eventually([&] { return Debug.Count("not resolved") > 0; }, 20000));
    CloseDriver();
  }
  const std::vector<std::string> secrets = {password, basic,
                                            [&] {
                                              std::string encoded;
                                              korvalt::HUtils::EncodeCredentials("", password, encoded);
                                              return encoded;
                                            }(),
                                            korvalt::HUtils::MD5Hex(user + ":Quenlark:" + password),
                                            korvalt::HUtils::SHA256Hex(user + ":Quenlark:" + password)};
  const auto lines = Debug.Lines();
  ASSERT_FALSE(lines.empty());
  for (const auto& line : lines) {
    for (const std::string& secret : secrets)
      EXPECT_EQ(line.Text.find(secret), std::string::npos) << line.Text;
  }
}

}  // namespace
