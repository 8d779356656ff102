// The RTSP client, RTP receiver and RTCP reporter against the camera simulator's RTSP server.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "support/camsim_fixture.h"
#include "transport/base_rtsp_client.h"
#include "transport/rtcp_reporter.h"
#include "transport/rtp_receiver.h"
#include "transport/rtsp_method.h"
#include "udp_test_util.h"

namespace korvalt {
namespace {

constexpr auto kFirstPacketsWait = std::chrono::seconds(20);
constexpr size_t kPacketsWanted = 5;
constexpr uint16_t kFirstCandidatePort = 41000;

class CountingUser : public IRTPReceiverUser {
 public:
  void OnRTPPacket(CRTPReceiver*, const sockaddr_in&, const RTP_PACKET_INFO& info) override {
    std::lock_guard<std::mutex> guard(Lock);
    ++Packets;
    PayloadType = info.PayloadType;
    Changed.notify_all();
  }
  void OnRTPTimeout() override {}
  void OnRTPClosed(CRTPReceiver*) override {}

  bool WaitForPackets(size_t count) {
    std::unique_lock<std::mutex> lock(Lock);
    return Changed.wait_for(lock, kFirstPacketsWait, [&] { return Packets >= count; });
  }
  // Packets keep arriving on the receive thread while the test reads.
  int LastPayloadType() {
    std::lock_guard<std::mutex> guard(Lock);
    return PayloadType;
  }

  std::mutex Lock;
  std::condition_variable Changed;
  size_t Packets = 0;
  int PayloadType = -1;
};

class CamsimRtsp : public ::testing::TestWithParam<const char*> {};

TEST_P(CamsimRtsp, DescribeSetupPlayStreamsKeepsAliveAndTearsDown) {
  testsupport::CamsimOptions options;
  options.Auth = GetParam();
  options.Rtsp = true;
  testsupport::Camsim camera(options);
  ASSERT_TRUE(camera.Ok());

  // An even RTP port with its RTCP port above it, as a channel would choose them.
  CountingUser user;
  CRTPReceiver receiver;
  receiver.User = &user;
  auto reporter = std::make_unique<CRTCPReporter>();
  uint16_t rtpPort = 0;
  for (uint16_t candidate = kFirstCandidatePort; candidate < kFirstCandidatePort + 200; candidate += 2) {
    if (receiver.Port.Open(candidate) != CUDPPort::kOpened) continue;
    if (reporter->Open(static_cast<uint16_t>(candidate + 1))) {
      rtpPort = candidate;
      break;
    }
    receiver.Port.Close();
  }
  ASSERT_NE(rtpPort, 0);
  reporter->SetCameraAddress(transporttest::LoopbackAddress());
  ASSERT_TRUE(reporter->Start());

  RTSP_CONNECTION_PARAMS params;
  params.ServerAddress = "127.0.0.1";
  params.ServerPort = camera.RtspPort();
  params.UrlPath = "rtpvideo1.sdp";
  params.UserName = options.User;
  params.Password = options.Password;
  params.ClientRtpPort = rtpPort;
  params.ClientRtcpPort = static_cast<uint16_t>(rtpPort + 1);
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(params));

  ASSERT_TRUE(client.ExchangeWithRetry(kRtspDescribe));
  ASSERT_EQ(client.StatusCode(), 200);
  // The camera's challenge, if any, switched the client to its scheme.
  const int expectedScheme = options.Auth == "basic"    ? kRtspAuthBasic
                             : options.Auth == "digest" ? kRtspAuthDigest
                                                        : kRtspAuthNone;
  EXPECT_EQ(client.AuthScheme(), expectedScheme);
  EXPECT_NE(client.TrackUrl(), client.PresentationUrl() + "/");  // the SDP named a control
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspSetup));
  ASSERT_EQ(client.StatusCode(), 200);
  const std::string session = client.Session();
  ASSERT_FALSE(session.empty());
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspPlay));
  ASSERT_EQ(client.StatusCode(), 200);

  ASSERT_TRUE(user.WaitForPackets(kPacketsWanted));
  EXPECT_GE(user.LastPayloadType(), 96);

  // Keep-alive: the session is still the same one.
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspOptions));
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_EQ(client.Session(), session);

  ASSERT_TRUE(client.ExchangeWithRetry(kRtspTeardown));
  EXPECT_EQ(client.StatusCode(), 200);
  // The session is gone: the camera no longer knows it.
  client.ExchangeWithRetry(kRtspPlay);
  EXPECT_NE(client.StatusCode(), 200);

  reporter->Stop();
  EXPECT_TRUE(reporter->Join());
  client.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Auth, CamsimRtsp, ::testing::Values("none", "basic", "digest"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace korvalt
