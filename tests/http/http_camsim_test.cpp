// The HTTP client and the request helpers against the camera simulator.
#if __has_include("support/camsim_fixture.h")

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/h_utils.h"
#include "http/http_sender.h"
#include "support/camsim_fixture.h"
#include "support/recording_sink.h"

namespace korvalt {
namespace {

using testsupport::Camsim;
using testsupport::CamsimOptions;
using testsupport::RecordingSink;

const std::string kCgi = "\r\n";

DEVICE_INFO Device(const Camsim& camsim, const std::string& password = "secret") {
  DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = camsim.HttpPort();
  device.NetworkTimeout = 2000;
  device.UserName = "admin";
  device.Password = password;
  return device;
}

std::string Text(const std::vector<uint8_t>& body) {
  return std::string(reinterpret_cast<const char*>(body.data()));
}

class CamsimAuthTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CamsimAuthTest, RightPasswordReadsTheCamera) {
  CamsimOptions options;
  options.Auth = GetParam();
  options.User = "admin";
  options.Password = "secret";
  Camsim camsim(options);
  ASSERT_TRUE(camsim.Ok());
  Web::CHttpSender sender(Device(camsim));
  std::vector<uint8_t> body;
  ASSERT_TRUE(HUtils::Query(body, sender, nullptr, "/common/info.cgi"));
  EXPECT_FALSE(HUtils::GetValue("model", "=", Text(body), kCgi).empty());
  // Every later request of the sender, on the one connection it keeps.
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(HUtils::Query(body, sender, nullptr, "/config/io.cgi"));
  EXPECT_EQ(camsim.ConnectionCount(), 1);
}

TEST_P(CamsimAuthTest, WrongPasswordEndsAsStatus401) {
  const std::string scheme = GetParam();
  CamsimOptions options;
  options.Auth = scheme;
  options.User = "admin";
  options.Password = "secret";
  Camsim camsim(options);
  ASSERT_TRUE(camsim.Ok());
  Web::CHttpSender sender(Device(camsim, "wrong"));
  RecordingSink sink;
  const std::string device = "device 127.0.0.1:" + std::to_string(camsim.HttpPort());
  const RecordingSink::Line refused{ipcapture::kDebugLevelError,
                                    "korvalt::HUtils::RequestGetRD: " + device +
                                        " does not process request \"/config/io.cgi\", status code = 401"};
  // Asked without credentials first, the camera's challenge names the scheme, which is tried once
  // (for Digest libcurl needs the challenge once more); the 401 that follows is the reply.
  EXPECT_FALSE(HUtils::Command(sender, &sink, "/config/io.cgi"));
  EXPECT_EQ(sink.Lines(), (std::vector<RecordingSink::Line>{refused}));
  EXPECT_LE(camsim.RequestLog().size(), 3u);
  EXPECT_EQ(sender.GetStatusCode(), 401u);
}

INSTANTIATE_TEST_SUITE_P(Schemes, CamsimAuthTest, ::testing::Values("basic", "digest"));

TEST(CamsimHttp, DigestCameraIsAskedWithDigestFromTheFirstRequestOfTheNextSend) {
  CamsimOptions options;
  options.Auth = "digest";
  options.User = "admin";
  options.Password = "secret";
  Camsim camsim(options);
  ASSERT_TRUE(camsim.Ok());
  Web::CHttpSender sender(Device(camsim));
  ASSERT_TRUE(HUtils::Command(sender, nullptr, "/config/io.cgi"));  // bare, then Digest
  EXPECT_EQ(sender.GetRememberedScheme(), Web::CHttpSender::kSchemeDigest);
  const size_t firstSend = camsim.RequestLog().size();
  EXPECT_GE(firstSend, 2u);
  camsim.ClearLog();
  ASSERT_TRUE(HUtils::Command(sender, nullptr, "/config/io.cgi"));
  EXPECT_LT(camsim.RequestLog().size(), firstSend);  // no Basic attempt any more
}

TEST(CamsimHttp, FailuresEndWithTheirCodesAndTexts) {
  Camsim camsim(CamsimOptions{});
  ASSERT_TRUE(camsim.Ok());
  Web::CHttpSender sender(Device(camsim));
  const std::string device = "device 127.0.0.1:" + std::to_string(camsim.HttpPort());
  RecordingSink sink;

  std::vector<uint8_t> body{1};
  CResultDef result;
  HUtils::RequestGetRD(body, sender, result, "/no/such.cgi", true);
  EXPECT_EQ(result.Code, 6u);
  EXPECT_EQ(result.Level, ipcapture::kDebugLevelError);
  EXPECT_EQ(result.Text, "korvalt::HUtils::RequestGetRD: " + device +
                             " does not process request \"/no/such.cgi\", status code = 404");
  EXPECT_TRUE(body.empty());

  camsim.InjectFault("empty", 2, 0);
  EXPECT_FALSE(HUtils::Query(body, sender, &sink, "/config/io.cgi"));
  EXPECT_EQ(body, std::vector<uint8_t>{0});
  EXPECT_TRUE(HUtils::Command(sender, &sink, "/config/io.cgi"));
  EXPECT_EQ(sink.Lines(),
            (std::vector<RecordingSink::Line>{
                {ipcapture::kDebugLevelError,
                 "korvalt::HUtils::RequestGetRD: incorrect response for request \"/config/io.cgi\" from " +
                     device}}));

  // libcurl retries a request once when a reused connection turns out dead: drop both.
  camsim.InjectFault("close", 2, 0);
  sink.Clear();
  EXPECT_FALSE(HUtils::Command(sender, &sink, "/config/io.cgi"));
  EXPECT_EQ(sink.Lines(),
            (std::vector<RecordingSink::Line>{
                {ipcapture::kDebugLevelRequestNotSent,
                 "korvalt::HUtils::RequestGetRD: cannot send request \"/config/io.cgi\" to " + device}}));
}

}  // namespace
}  // namespace korvalt

#endif
