#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/h_utils.h"
#include "http/http_sender.h"
#include "support/recording_sink.h"
#include "support/scripted_tcp_server.h"

namespace korvalt {
namespace {

using testsupport::RecordingSink;
using testsupport::ScriptedTcpServer;

DEVICE_INFO Device(uint16_t port, int timeoutMs = 5000) {
  DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = port;
  device.NetworkTimeout = timeoutMs;
  return device;
}

std::string DeviceName(uint16_t port) {
  return "device 127.0.0.1:" + std::to_string(port);
}

struct RequestCase {
  const char* Name;
  std::string Reply;  // empty: the camera never answers
  bool WantBody;
  uint32_t Code;
  int32_t Level;
  std::string TextFormat;  // %P = path, %D = device name
  std::vector<uint8_t> Body;
};
void PrintTo(const RequestCase& c, std::ostream* os) {
  *os << c.Name;
}

std::string Expand(std::string format, const std::string& path, const std::string& device) {
  for (size_t at; (at = format.find("%P")) != std::string::npos;) format.replace(at, 2, path);
  for (size_t at; (at = format.find("%D")) != std::string::npos;) format.replace(at, 2, device);
  return format;
}

class RequestGetRDTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestGetRDTest, DescribesTheOutcome) {
  const RequestCase& c = GetParam();
  ScriptedTcpServer server(c.Reply.empty() ? ScriptedTcpServer::Silent()
                                           : ScriptedTcpServer::Replies({c.Reply}));
  Web::CHttpSender sender(Device(server.Port(), 300));
  const std::string path = "/config/io.cgi?x=%41";
  std::vector<uint8_t> body{9, 9};
  CResultDef result;
  const CResultDef returned = HUtils::RequestGetRD(body, sender, result, path, c.WantBody);
  EXPECT_EQ(result.Code, c.Code);
  EXPECT_EQ(result.Level, c.Level);
  EXPECT_EQ(result.Text, Expand(c.TextFormat, path, DeviceName(server.Port())));
  EXPECT_EQ(body, c.Body);
  EXPECT_EQ(returned.Code, result.Code);
  EXPECT_EQ(returned.Text, result.Text);
}

const std::string kOrigin = "korvalt::HUtils::RequestGetRD: ";

INSTANTIATE_TEST_SUITE_P(
    Replies, RequestGetRDTest,
    ::testing::Values(RequestCase{"BodyGetsAZeroByte",
                                  "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\na=1\n",
                                  true,
                                  0,
                                  ipcapture::kDebugLevelInformation,
                                  "",
                                  {'a', '=', '1', '\n', 0}},
                      RequestCase{"BodyNotWanted",
                                  "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\na=1\n",
                                  false,
                                  0,
                                  ipcapture::kDebugLevelInformation,
                                  "",
                                  {}},
                      RequestCase{"NotFound",
                                  "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno!",
                                  true,
                                  6,
                                  ipcapture::kDebugLevelError,
                                  kOrigin + "%D does not process request \"%P\", status code = 404",
                                  {}},
                      RequestCase{"ServerError",
                                  "HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n",
                                  false,
                                  6,
                                  ipcapture::kDebugLevelError,
                                  kOrigin + "%D does not process request \"%P\", status code = 500",
                                  {}},
                      RequestCase{"NoContentForQuery",
                                  "HTTP/1.1 204 No Content\r\n\r\n",
                                  true,
                                  10,
                                  ipcapture::kDebugLevelError,
                                  kOrigin + "incorrect response for request \"%P\" from %D",
                                  {0}},
                      RequestCase{"NoContentForCommand",
                                  "HTTP/1.1 204 No Content\r\n\r\n",
                                  false,
                                  0,
                                  ipcapture::kDebugLevelInformation,
                                  "",
                                  {}},
                      RequestCase{"Silent",
                                  "",
                                  true,
                                  9,
                                  ipcapture::kDebugLevelRequestNotSent,
                                  kOrigin + "cannot send request \"%P\" to %D",
                                  {}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(HUtilsWrappers, FailuresAreLoggedVerbatimWhenTheThrottleAllows) {
  ScriptedTcpServer server(ScriptedTcpServer::Replies(
      std::vector<std::string>(4, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")));
  Web::CHttpSender sender(Device(server.Port()));
  RecordingSink sink;
  const std::string path = "/config/ptz_preset.cgi?name=100%25&act=go";  // a percent sign is no conversion
  const std::string text = "korvalt::HUtils::RequestGetRD: " + DeviceName(server.Port()) +
                           " does not process request \"" + path + "\", status code = 404";

  EXPECT_FALSE(HUtils::Command(sender, &sink, path));
  EXPECT_EQ(sink.Lines(), (std::vector<RecordingSink::Line>{{ipcapture::kDebugLevelError, text}}));

  sink.RepetitionCounter = 14;  // the next failure is the 15th in a row: thinned out
  std::vector<uint8_t> body;
  EXPECT_FALSE(HUtils::Query(body, sender, &sink, path));
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(sink.Lines().size(), 1u);
  EXPECT_FALSE(HUtils::Query(body, sender, &sink, path));  // the 16th gets through
  EXPECT_EQ(sink.Lines().size(), 2u);
  EXPECT_FALSE(HUtils::Command(sender, nullptr, path));
}

TEST(HUtilsWrappers, SuccessLogsNothingAndDoesNotCount) {
  ScriptedTcpServer server(ScriptedTcpServer::Replies(
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nx=1", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}));
  Web::CHttpSender sender(Device(server.Port()));
  RecordingSink sink;
  std::vector<uint8_t> body;
  EXPECT_TRUE(HUtils::Query(body, sender, &sink, "/common/info.cgi"));
  EXPECT_EQ(body, (std::vector<uint8_t>{'x', '=', '1', 0}));
  EXPECT_TRUE(HUtils::Command(sender, &sink, "/config/io.cgi?do1=on"));
  EXPECT_TRUE(sink.Lines().empty());
  EXPECT_EQ(sink.RepetitionCounter.load(), 0u);
}

}  // namespace
}  // namespace korvalt
