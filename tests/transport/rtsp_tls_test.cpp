// RTSP over TLS at the client: the camera's key judged before any request, interleaved RTP through
// the encrypted connection, and every way a TLS port can fail ending promptly with its reason.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "support/camsim_fixture.h"
#include "support/eventually.h"
#include "support/fake_driver.h"
#include "support/scripted_tcp_server.h"
#include "support/tcp_relay.h"
#include "transport/base_rtsp_client.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {

using Failure = CBaseRTSPClient::Failure;

class FrameCounter : public IInterleavedSink {
 public:
  void OnInterleavedFrame(uint8_t channel, const uint8_t* data, size_t length) override {
    // RTP version 2 on the RTP channel.
    if (channel == 0 && length >= 12 && (data[0] >> 6) == 2) Rtp.fetch_add(1);
  }
  void OnInterleavedEnded() override { Ended.store(true); }
  std::atomic<int> Rtp{0};
  std::atomic<bool> Ended{false};
};

RTSP_CONNECTION_PARAMS TlsParams(uint16_t port, std::shared_ptr<CCameraLogin> login) {
  RTSP_CONNECTION_PARAMS params;
  params.ServerAddress = "127.0.0.1";
  params.ServerPort = port;
  params.UserName = "admin";
  params.Password = "secret";
  params.UrlPath = "rtpvideo1.sdp";
  params.Interleaved = true;
  params.Tls = true;
  params.Login = std::move(login);
  return params;
}

TEST(RtspOverTls, StreamsInsideTheConnectionAndNothingCrossesInTheClear) {
  testsupport::Camsim camera(testsupport::TlsCameraOptions());
  ASSERT_TRUE(camera.Ok());
  ASSERT_NE(camera.RtspsPort(), 0);
  testsupport::TcpRelay relay(camera.RtspsPort());
  ASSERT_TRUE(relay.Ok());
  auto login = std::make_shared<CCameraLogin>();
  login->Key().UsePin(camera.KeySha256());

  FrameCounter frames;
  platform::Event stop(platform::Event::ResetMode::kManual);
  CBaseRTSPClient client(&stop);
  ASSERT_TRUE(client.Connect(TlsParams(relay.Port(), login))) << client.FailureText();
  EXPECT_TRUE(client.OverTls());
  client.SetInterleavedSink(&frames);
  for (const int method : {kRtspDescribe, kRtspSetup, kRtspPlay}) {
    ASSERT_TRUE(client.ExchangeWithRetry(method)) << client.FailureText();
    ASSERT_EQ(client.StatusCode(), 200) << RtspMethodName(method);
  }
  EXPECT_NE(client.PresentationUrl().rfind("rtsps://", 0), std::string::npos);
  EXPECT_TRUE(client.InterleavedAccepted());
  ASSERT_TRUE(client.StartReader());
  EXPECT_TRUE(testsupport::Eventually([&] { return frames.Rtp.load() >= 50; }, 20000));
  // A keep-alive while the reader runs: request and frames share the encrypted connection.
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspOptions)) << client.FailureText();
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_TRUE(client.ExchangeWithRetry(kRtspTeardown));
  client.Disconnect();

  EXPECT_GT(camera.LogCount("logins_rtsps"), 0);
  EXPECT_EQ(camera.LogCount("logins_rtsp"), 0);
  // What the network between saw: TLS records end to end, no RTSP text, a stream's worth of bytes.
  testsupport::ExpectNothingInTheClear(relay);
}

TEST(RtspOverTls, AnotherKeyGetsNothingAndOneLineThenWaitsItsTurn) {
  testsupport::Camsim camera(testsupport::TlsCameraOptions());
  ASSERT_TRUE(camera.Ok());
  testsupport::FakeDriver log;
  auto login = std::make_shared<CCameraLogin>(1000);
  login->SetLog(&log);
  login->Key().UsePin(std::string(64, 'e'));

  platform::Event stop(platform::Event::ResetMode::kManual);
  CBaseRTSPClient client(&stop);
  EXPECT_FALSE(client.Connect(TlsParams(camera.RtspsPort(), login)));
  EXPECT_EQ(client.LastFailure(), Failure::kKeyRefused);
  // The next try waits for the back-off, without a handshake.
  EXPECT_FALSE(client.Connect(TlsParams(camera.RtspsPort(), login)));
  EXPECT_EQ(client.LastFailure(), Failure::kHeldBack);
  EXPECT_GT(login->WaitMs(platform::MonotonicMs()), 0);
  login->SetLog(nullptr);

  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Level, 1);
  EXPECT_NE(lines[0].Text.find("not the pinned key"), std::string::npos) << lines[0].Text;
  EXPECT_NE(lines[0].Text.find(camera.KeySha256()), std::string::npos) << lines[0].Text;
  EXPECT_EQ(camera.LogCount("logins_rtsps"), 0);
  EXPECT_EQ(camera.SimGet("/sim/log").find("DESCRIBE"), std::string::npos);
}

// Ports that do not give a TLS session, each with the failure the client reports.
struct BadPort {
  const char* Name;
  testsupport::ScriptedTcpServer::Handler Script;
  Failure Expected;
};

TEST(RtspOverTls, PortsWithoutTlsFailPromptlyWithTheirReason) {
  constexpr int kConnectMs = 400;
  const BadPort cases[] = {
      {"accepts and says nothing", [](auto& c) { c.StaySilent(); }, Failure::kTlsTimeout},
      {"closes at once", [](auto& c) { c.Close(); }, Failure::kNoTls},
      {"answers in plain RTSP",
       [](auto& c) {
         c.Pause(50);
         c.Send("RTSP/1.0 400 Bad Request\r\nCSeq: 0\r\n\r\n");
         c.StaySilent();
       },
       Failure::kNoTls},
      {"half a record, then closes",
       [](auto& c) {
         c.Pause(50);
         c.Send(std::string("\x16\x03\x03\x01\x00\x02\x00", 7));
         c.Close();
       },
       Failure::kNoTls},
  };
  for (const BadPort& row : cases) {
    SCOPED_TRACE(row.Name);
    testsupport::ScriptedTcpServer server(row.Script);
    platform::Event stop(platform::Event::ResetMode::kManual);
    CBaseRTSPClient client(&stop);
    RTSP_CONNECTION_PARAMS params = TlsParams(server.Port(), nullptr);
    params.ConnectTimeout = kConnectMs;
    const int64_t start = platform::MonotonicMs();
    EXPECT_FALSE(client.Connect(params));
    EXPECT_EQ(client.LastFailure(), row.Expected) << client.FailureText();
    EXPECT_LT(platform::MonotonicMs() - start, kConnectMs + 2000);
    EXPECT_FALSE(client.IsConnected());
  }
}

TEST(RtspOverTls, StopEndsAHandshakeTheCameraNeverAnswers) {
  testsupport::ScriptedTcpServer server([](auto& c) { c.StaySilent(); });
  platform::Event stop(platform::Event::ResetMode::kManual);
  CBaseRTSPClient client(&stop);
  RTSP_CONNECTION_PARAMS params = TlsParams(server.Port(), nullptr);
  params.ConnectTimeout = 60000;
  std::atomic<int64_t> stoppedAt{0};
  std::thread stopper([&] {
    testsupport::Eventually([&] { return server.ConnectionCount() > 0; }, 10000);
    stoppedAt.store(platform::MonotonicMs());
    stop.Set();
  });
  EXPECT_FALSE(client.Connect(params));
  const int64_t returned = platform::MonotonicMs();
  stopper.join();
  EXPECT_EQ(client.LastFailure(), Failure::kStopped);
  EXPECT_LT(returned - stoppedAt.load(), 1000);
}

}  // namespace
}  // namespace korvalt
