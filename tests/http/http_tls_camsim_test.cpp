// The CGI over HTTPS against the camera simulator: how the driver finds HTTPS, whose key it takes,
// and that no credentials reach a camera whose key it refused.
#if __has_include("support/camsim_fixture.h")

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "http/camera_login.h"
#include "http/h_utils.h"
#include "http/http_sender.h"
#include "support/camsim_fixture.h"
#include "support/recording_sink.h"

namespace korvalt {
namespace {

using testsupport::Camsim;
using testsupport::CamsimOptions;
using testsupport::RecordingSink;

const std::string kWrongKey(64, 'a');

enum class Pin { kNone, kRight, kWrong };

struct TLS_CASE {
  const char* Name;
  bool PlainHttp;  // the plain port serves (else --http off)
  bool Redirect;   // the plain port redirects to the TLS port
  bool AtTlsPort;  // the device record names the TLS port (else the plain one)
  Pin Pinned;
  bool Served;       // the camera's replies arrive
  const char* Line;  // a line the login says, or null for none
};

void PrintTo(const TLS_CASE& c, std::ostream* out) {
  *out << c.Name;
}

std::string SimLog(Camsim& camsim) {
  return camsim.SimGet("/sim/log");
}

int LogCount(const std::string& log, const std::string& name) {
  return std::atoi(HUtils::GetValue(name, "=", log, "\r\n").c_str());
}

// One driver's record of the camera, its login state logging to sink.
DEVICE_INFO Driver(uint16_t port, RecordingSink& sink) {
  DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = port;
  device.NetworkTimeout = 2000;
  device.UserName = "admin";
  device.Password = "secret";
  device.Login = std::make_shared<CCameraLogin>(1);
  device.Login->SetLog(&sink);
  return device;
}

class HttpsCamera : public ::testing::TestWithParam<TLS_CASE> {};

TEST_P(HttpsCamera, FindsTlsTakesOnlyTheRightKeyAndSendsNoCredentialsBeforeIt) {
  const TLS_CASE& c = GetParam();
  CamsimOptions options;
  options.Auth = "digest";
  options.Https = true;
  options.PlainHttp = c.PlainHttp;
  options.RedirectToHttps = c.Redirect;
  if (!Camsim::CanStart(options)) GTEST_SKIP() << "no such camera here";
  Camsim camsim(options);
  ASSERT_TRUE(camsim.Ok());
  ASSERT_EQ(camsim.KeySha256().size(), 64u);

  RecordingSink sink;
  DEVICE_INFO device = Driver(c.AtTlsPort ? camsim.HttpsPort() : camsim.HttpPort(), sink);
  device.Login->Key().UsePin(c.Pinned == Pin::kRight   ? camsim.KeySha256()
                             : c.Pinned == Pin::kWrong ? kWrongKey
                                                       : std::string());
  // Two senders of one driver (stream configuration, I/O), three requests each.
  Web::CHttpSender first(device), second(device);
  std::vector<uint8_t> body;
  int served = 0;
  for (int i = 0; i < 3; ++i) {
    served += HUtils::Query(body, first, nullptr, "/common/info.cgi") ? 1 : 0;
    served += HUtils::Query(body, second, nullptr, "/config/io.cgi") ? 1 : 0;
  }
  EXPECT_EQ(served, c.Served ? 6 : 0);
  EXPECT_EQ(device.Login->Key().UsesHttps(), c.Served);
  if (c.Served) {
    EXPECT_EQ(device.Login->Key().Accepted(), camsim.KeySha256());
  }

  const std::string log = SimLog(camsim);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(LogCount(log, "logins_basic"), 0) << log;
  EXPECT_EQ(LogCount(log, "logins_http"), 0) << log;
  EXPECT_EQ(LogCount(log, "credentials_before_challenge"), 0) << log;
  if (!c.Served) {
    EXPECT_EQ(LogCount(log, "logins_accepted") + LogCount(log, "logins_refused"), 0) << log;
  }

  const auto lines = sink.Lines();
  if (c.Line == nullptr) {
    EXPECT_TRUE(lines.empty()) << lines.front().Text;
  } else {
    ASSERT_EQ(lines.size(), 1u);  // said once for the driver, not per sender or request
    EXPECT_NE(lines.front().Text.find(c.Line), std::string::npos) << lines.front().Text;
    EXPECT_NE(lines.front().Text.find(camsim.KeySha256()), std::string::npos);
  }
  device.Login->SetLog(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, HttpsCamera,
    ::testing::Values(
        TLS_CASE{"PinnedTlsPortOnly", false, false, true, Pin::kRight, true, nullptr},
        TLS_CASE{"UnpinnedTlsPortFoundByItsReply", false, false, true, Pin::kNone, true, "no key pinned"},
        TLS_CASE{"RedirectFollowedToTheSameHost", true, true, false, Pin::kNone, true, "no key pinned"},
        TLS_CASE{"PinnedBehindRedirect", true, true, false, Pin::kRight, true, nullptr},
        TLS_CASE{"WrongPinRefused", false, false, true, Pin::kWrong, false, "not the pinned key"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(HttpsCameraRestart, AnotherKeyAfterARestartIsRefusedAndNothingIsSentToIt) {
  CamsimOptions options;
  options.Auth = "basic";
  options.Https = true;
  options.PlainHttp = false;
  if (!Camsim::CanStart(options)) GTEST_SKIP() << "no camera to restart here";
  Camsim camsim(options);
  ASSERT_TRUE(camsim.Ok());
  RecordingSink sink;
  DEVICE_INFO device = Driver(camsim.HttpsPort(), sink);
  Web::CHttpSender sender(device);
  std::vector<uint8_t> body;
  ASSERT_TRUE(HUtils::Query(body, sender, nullptr, "/common/info.cgi"));
  const std::string before = camsim.KeySha256();
  // Basic over TLS is no password in the clear: no line for it.
  EXPECT_EQ(sink.Count("readable"), 0u);

  ASSERT_TRUE(camsim.Restart());
  ASSERT_NE(camsim.KeySha256(), before);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(HUtils::Query(body, sender, nullptr, "/common/info.cgi"));
  EXPECT_EQ(device.Login->Key().Accepted(), before);
  const std::string log = SimLog(camsim);
  EXPECT_EQ(LogCount(log, "logins_accepted") + LogCount(log, "logins_refused"), 0) << log;
  EXPECT_EQ(sink.Count("key it presented before"), 1u);
  device.Login->SetLog(nullptr);
}

TEST(HttpsCameraPlain, BasicOverPlainHttpIsSaidOncePerDriver) {
  CamsimOptions options;
  options.Auth = "basic";
  Camsim camsim(options);
  ASSERT_TRUE(camsim.Ok());
  RecordingSink sink;
  DEVICE_INFO device = Driver(camsim.HttpPort(), sink);
  Web::CHttpSender first(device), second(device);
  std::vector<uint8_t> body;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(HUtils::Query(body, first, nullptr, "/common/info.cgi"));
    ASSERT_TRUE(HUtils::Query(body, second, nullptr, "/config/io.cgi"));
  }
  EXPECT_EQ(sink.Count("the password crosses the network readable"), 1u);
  EXPECT_FALSE(device.Login->Key().UsesHttps());
  device.Login->SetLog(nullptr);
}

}  // namespace
}  // namespace korvalt

#endif
