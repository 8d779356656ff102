#include "transport/base_rtsp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/scripted_tcp_server.h"
#include "support/test_net.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {

using testsupport::ScriptedTcpServer;
using Clock = std::chrono::steady_clock;

// Far below the time-outs the tests configure: an answer must come from the data, not a time-out.
constexpr auto kPrompt = std::chrono::seconds(5);
constexpr int kLongTimeoutMs = 30000;

std::string Ok(unsigned cseq, const std::string& extra = {}) {
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra + "\r\n";
}

std::string WithBody(unsigned cseq, const std::string& body) {
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) +
         "\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

RTSP_CONNECTION_PARAMS ParamsFor(uint16_t port) {
  RTSP_CONNECTION_PARAMS p;
  p.ServerAddress = "127.0.0.1";
  p.ServerPort = port;
  p.UrlPath = "rtpvideo1.sdp";
  p.ClientRtpPort = 3556;
  p.ClientRtcpPort = 3557;
  p.ConnectTimeout = kLongTimeoutMs;
  p.ReceiveTimeout = kLongTimeoutMs;
  return p;
}

struct RequestCase {
  const char* Name;
  int Method;
  std::string UrlPath;
  int Selector;
  std::string Expected;
};
void PrintTo(const RequestCase& c, std::ostream* os) {
  *os << c.Name;
}

class RequestText : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestText, IsBuiltByteForByte) {
  const RequestCase& c = GetParam();
  CBaseRTSPClient client;
  RTSP_CONNECTION_PARAMS params;
  params.ServerAddress = "192.0.2.10";
  params.UrlPath = c.UrlPath;
  params.ClientRtpPort = 3556;
  params.ClientRtcpPort = 3557;
  params.RequestUrlSelector = c.Selector;
  client.SetConnection(params);
  // The camera's count stood at 4; the session and both controls come from its answer.
  const std::string sdp =
      "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=1\r\nm=audio 0 RTP/AVP 0\r\na=control:trackID=2\r\n";
  ASSERT_TRUE(
      client.TakeResponse("RTSP/1.0 200 OK\r\nCSeq: 4\r\nSession: Sess0\r\n"
                          "Content-Type: application/sdp\r\nContent-Length: " +
                              std::to_string(sdp.size()) + "\r\n\r\n" + sdp,
                          kRtspDescribe));
  EXPECT_EQ(client.BuildRequest(c.Method), c.Expected);
  // Only a request that was built used up a number.
  const std::string next = c.Expected.empty() ? "\r\nCSeq: 5\r\n" : "\r\nCSeq: 6\r\n";
  EXPECT_NE(client.BuildRequest(kRtspOptions).find(next), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, RequestText,
    ::testing::Values(
        RequestCase{"Describe", kRtspDescribe, "rtpvideo1.sdp", 0,
                    "DESCRIBE rtsp://192.0.2.10:554/rtpvideo1.sdp RTSP/1.0\r\nCSeq: 5\r\n"
                    "Accept: application/sdp\r\nUser-Agent: Korvalt\r\n\r\n"},
        RequestCase{"SetupVideo", kRtspSetup, "rtpvideo1.sdp", 0,
                    "SETUP rtsp://192.0.2.10:554/rtpvideo1.sdp/trackID=1 RTSP/1.0\r\nCSeq: 5\r\n"
                    "Transport: RTP/AVP/UDP;unicast;client_port=3556-3557\r\nUser-Agent: Korvalt\r\n\r\n"},
        RequestCase{"SetupAudioWithEmptyPath", kRtspSetup, "", 1,
                    "SETUP rtsp://192.0.2.10:554/trackID=2 RTSP/1.0\r\nCSeq: 5\r\n"
                    "Transport: RTP/AVP/UDP;unicast;client_port=3556-3557\r\nUser-Agent: Korvalt\r\n\r\n"},
        RequestCase{"SetupUnknownSelector", kRtspSetup, "p", 7,
                    "SETUP rtsp://192.0.2.10:554/p/ RTSP/1.0\r\nCSeq: 5\r\n"
                    "Transport: RTP/AVP/UDP;unicast;client_port=3556-3557\r\nUser-Agent: Korvalt\r\n\r\n"},
        RequestCase{"Play", kRtspPlay, "rtpvideo1.sdp", 0,
                    "PLAY rtsp://192.0.2.10:554/rtpvideo1.sdp RTSP/1.0\r\nCSeq: 5\r\nSession: Sess0\r\n"
                    "Range: npt=0.000-\r\nUser-Agent: Korvalt\r\n\r\n"},
        RequestCase{"Pause", kRtspPause, "rtpvideo1.sdp", 0,
                    "PAUSE rtsp://192.0.2.10:554/rtpvideo1.sdp RTSP/1.0\r\nCSeq: 5\r\nSession: Sess0\r\n"
                    "Range: npt=0.000-\r\nUser-Agent: Korvalt\r\n\r\n"},
        RequestCase{"Teardown", kRtspTeardown, "rtpvideo1.sdp", 0,
                    "TEARDOWN rtsp://192.0.2.10:554/rtpvideo1.sdp RTSP/1.0\r\nCSeq: 5\r\nSession: Sess0\r\n"
                    "User-Agent: Korvalt\r\n\r\n"},
        RequestCase{"Options", kRtspOptions, "rtpvideo1.sdp", 0,
                    "OPTIONS rtsp://192.0.2.10:554/rtpvideo1.sdp RTSP/1.0\r\nCSeq: 5\r\nSession: Sess0\r\n"
                    "User-Agent: Korvalt\r\n\r\n"},
        RequestCase{"UnknownMethod", 9, "rtpvideo1.sdp", 0, ""}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(RequestText, BasicCredentialsTooLongMakeNoRequest) {
  CBaseRTSPClient client;
  RTSP_CONNECTION_PARAMS params;
  params.AuthScheme = CBaseRTSPClient::kAuthBasic;
  params.UserName = std::string(40, 'u');
  params.Password = std::string(32, 'p');  // 73 bytes with the colon
  client.SetConnection(params);
  EXPECT_EQ(client.BuildRequest(kRtspDescribe), "");
  params.Password.pop_back();  // 72 bytes fit
  client.SetConnection(params);
  const std::string request = client.BuildRequest(kRtspDescribe);
  EXPECT_NE(request.find("Authorization: Basic "), std::string::npos);
  // The refused request used up no sequence number.
  EXPECT_NE(request.find("\r\nCSeq: 1\r\n"), std::string::npos) << request;
}

TEST(RequestText, CSeqContinuesFromTheCamerasNumberButNeverFromAnUnreadableOne) {
  CBaseRTSPClient client;
  ASSERT_TRUE(client.TakeResponse("RTSP/1.0 200 OK\r\nCSeq: 41\r\n\r\n", kRtspOptions));
  EXPECT_NE(client.BuildRequest(kRtspOptions).find("\r\nCSeq: 42\r\n"), std::string::npos);
  // The answer is refused, and the count does not fall back to 0 on it.
  EXPECT_FALSE(client.TakeResponse("RTSP/1.0 200 OK\r\nCSeq: x\r\n\r\n", kRtspOptions));
  EXPECT_NE(client.BuildRequest(kRtspOptions).find("\r\nCSeq: 43\r\n"), std::string::npos);
}

TEST(RTSPClient, FullSessionSendsExactRequestsAndEchoesTheSession) {
  const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=1\r\n";
  ScriptedTcpServer server(ScriptedTcpServer::Replies({
      WithBody(1, sdp),
      Ok(2, "Session: AbC123;timeout=30\r\n"),
      Ok(7),  // the camera's own number: the next request continues from it
      Ok(8),
      Ok(9),
  }));
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(ParamsFor(server.Port())));
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspDescribe));
  EXPECT_EQ(client.TrackUrl(), client.PresentationUrl() + "/trackID=1");
  EXPECT_EQ(client.SessionTimeout(), 60);  // configured, while the camera has named none
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspSetup));
  EXPECT_EQ(client.Session(), "AbC123");
  EXPECT_EQ(client.SessionTimeout(), 30);
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspPlay));
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspOptions));
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspTeardown));

  const std::string url = "rtsp://127.0.0.1:" + std::to_string(server.Port()) + "/rtpvideo1.sdp";
  const std::vector<std::string> expected = {
      "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\nUser-Agent: Korvalt\r\n\r\n",
      "SETUP " + url +
          "/trackID=1 RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/UDP;unicast;client_port=3556-3557\r\n"
          "User-Agent: Korvalt\r\n\r\n",
      "PLAY " + url +
          " RTSP/1.0\r\nCSeq: 3\r\nSession: AbC123\r\nRange: npt=0.000-\r\nUser-Agent: Korvalt\r\n\r\n",
      "OPTIONS " + url + " RTSP/1.0\r\nCSeq: 8\r\nSession: AbC123\r\nUser-Agent: Korvalt\r\n\r\n",
      "TEARDOWN " + url + " RTSP/1.0\r\nCSeq: 9\r\nSession: AbC123\r\nUser-Agent: Korvalt\r\n\r\n",
  };
  EXPECT_EQ(server.Requests(), expected);
}

TEST(RTSPClient, BasicChallengeIsAnsweredOnce) {
  ScriptedTcpServer server(ScriptedTcpServer::Replies({
      "RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\nWWW-Authenticate: Basic realm=\"cam\"\r\n\r\n",
      Ok(2),
  }));
  CBaseRTSPClient client;
  RTSP_CONNECTION_PARAMS params = ParamsFor(server.Port());
  params.UserName = "admin";
  params.Password = "12345";
  ASSERT_TRUE(client.Connect(params));
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspDescribe));
  EXPECT_EQ(client.StatusCode(), 200);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].find("Authorization"), std::string::npos);
  EXPECT_NE(requests[1].find("CSeq: 2\r\nAccept: application/sdp\r\nAuthorization: Basic YWRtaW46MTIzNDU=\r\n"
                             "User-Agent: Korvalt\r\n"),
            std::string::npos)
      << requests[1];
}

TEST(RTSPClient, DigestRefusedTwiceGivesTrueWith401AndNoThirdTry) {
  const std::string challenge =
      "RTSP/1.0 401 Unauthorized\r\nCSeq: %u\r\nWWW-Authenticate: Digest realm=\"Quenlark Camera\", "
      "nonce=\"0a1b2c\"\r\n\r\n";
  auto numbered = [&](unsigned n) {
    std::string s = challenge;
    s.replace(s.find("%u"), 2, std::to_string(n));
    return s;
  };
  ScriptedTcpServer server(ScriptedTcpServer::Replies({numbered(1), numbered(2), Ok(3)}));
  CBaseRTSPClient client;
  RTSP_CONNECTION_PARAMS params = ParamsFor(server.Port());
  params.UserName = "admin";
  params.Password = "pw";
  ASSERT_TRUE(client.Connect(params));
  EXPECT_TRUE(client.ExchangeWithRetry(kRtspDescribe));
  EXPECT_EQ(client.StatusCode(), 401);
  EXPECT_EQ(client.FailureText(), "401 Unauthorized");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find("CSeq: 2\r\n"), std::string::npos);
  EXPECT_NE(requests[1].find(
                "Authorization: Digest username=\"admin\", realm=\"Quenlark Camera\", nonce=\"0a1b2c\", "
                "uri=\"rtsp://127.0.0.1:" +
                std::to_string(server.Port()) + "/rtpvideo1.sdp\", response=\""),
            std::string::npos)
      << requests[1];
  // Same scheme again: Digest retries once more with the fresh nonce, then succeeds.
  EXPECT_TRUE(client.ExchangeWithRetry(kRtspOptions));
  EXPECT_EQ(client.StatusCode(), 200);
}

TEST(RTSPClient, SetupNamesTheControlUrlResolvedAsRtspDoes) {
  struct Case {
    const char* Name;
    std::string ContentBase;  // header line, or empty
    std::string Control;
    std::string Expected;  // SETUP URL; "*" stands for rtsp://127.0.0.1:port
  };
  const Case cases[] = {
      {"absolute control used as it is", "", "*/rtpvideo1.sdp/trackID=0", "*/rtpvideo1.sdp/trackID=0"},
      {"absolute control despite a Content-Base", "Content-Base: */other/\r\n", "*/a/b", "*/a/b"},
      {"relative control under Content-Base", "Content-Base: */live/\r\n", "track1", "*/live/track1"},
      {"Content-Base without a final slash", "content-base: */rtpvideo1.sdp\r\n", "stream=0",
       "*/rtpvideo1.sdp/stream=0"},
      {"relative control without Content-Base", "", "trackID=1", "*/rtpvideo1.sdp/trackID=1"},
  };
  for (const Case& c : cases) {
    std::string base;
    ScriptedTcpServer server([&](ScriptedTcpServer::Connection& connection) {
      auto fill = [&](std::string text) {
        for (size_t at = text.find('*'); at != std::string::npos; at = text.find('*', at))
          text.replace(at, 1, base);
        return text;
      };
      const std::string sdp = fill("v=0\r\nm=video 0 RTP/AVP 96\r\na=control:" + c.Control + "\r\n");
      if (!connection.ReadRequest()) return;
      connection.Send("RTSP/1.0 200 OK\r\nCSeq: 1\r\n" + fill(c.ContentBase) +
                      "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
                      "\r\n\r\n" + sdp);
      if (!connection.ReadRequest()) return;
      connection.Send(Ok(2, "Session: 1;timeout=60\r\n"));
      connection.StaySilent();
    });
    base = "rtsp://127.0.0.1:" + std::to_string(server.Port());
    CBaseRTSPClient client;
    ASSERT_TRUE(client.Connect(ParamsFor(server.Port())));
    ASSERT_TRUE(client.ExchangeWithRetry(kRtspDescribe)) << c.Name;
    EXPECT_TRUE(client.ExchangeWithRetry(kRtspSetup)) << c.Name;
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u) << c.Name;
    std::string expected = c.Expected;
    expected.replace(0, 1, base);
    EXPECT_EQ(requests[1].substr(0, requests[1].find(" RTSP/1.0")), "SETUP " + expected) << c.Name;
  }
}

TEST(RTSPClient, StrayLineEndAfterABodyDoesNotBeginTheNextAnswer) {
  const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=1\r\n";
  ScriptedTcpServer server(ScriptedTcpServer::Replies({
      WithBody(1, sdp) + "\r\n",  // one CR LF more than Content-Length counts
      Ok(2, "Session: 5;timeout=60\r\n"),
      "\n\r\n" + Ok(3),
  }));
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(ParamsFor(server.Port())));
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspDescribe));
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspSetup));
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_EQ(client.Session(), "5");
  EXPECT_TRUE(client.ExchangeWithRetry(kRtspPlay));
}

TEST(RTSPClient, LateAnswerIsDiscardedAndNoSequenceNumberIsSentTwice) {
  ScriptedTcpServer server([](ScriptedTcpServer::Connection& connection) {
    if (!connection.ReadRequest()) return;
    // The answer to CSeq 1 comes after the client gave up on it, together with the next one.
    if (!connection.ReadRequest()) return;
    connection.Send(Ok(1, "Session: one\r\n") + Ok(2, "Session: two\r\n"));
    if (!connection.ReadRequest()) return;
    // Some servers answer without CSeq (a 401 from one, a 404 from another): it is this request's.
    connection.Send("RTSP/1.0 200 OK\r\nSession: three\r\n\r\n");
    connection.StaySilent();
  });
  CBaseRTSPClient client;
  RTSP_CONNECTION_PARAMS params = ParamsFor(server.Port());
  params.ReceiveTimeout = 200;
  ASSERT_TRUE(client.Connect(params));
  EXPECT_FALSE(client.Exchange(kRtspOptions));
  ASSERT_TRUE(client.Exchange(kRtspOptions));
  EXPECT_EQ(client.Session(), "two");
  ASSERT_TRUE(client.Exchange(kRtspOptions));
  EXPECT_EQ(client.Session(), "three");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_NE(requests[i].find("\r\nCSeq: " + std::to_string(i + 1) + "\r\n"), std::string::npos)
        << requests[i];
  }
}

// Answers each request with the given reply, then keeps the connection open without a word.
ScriptedTcpServer::Handler ReplyThenHold(std::string reply, size_t chunk = 0, int intervalMs = 0) {
  return [reply, chunk, intervalMs](ScriptedTcpServer::Connection& connection) {
    if (!connection.ReadRequest()) return;
    if (chunk == 0) {
      connection.Send(reply);
    } else {
      connection.Trickle(reply, chunk, intervalMs);
    }
    connection.StaySilent();
  };
}

std::string PaddedResponse(size_t size, bool withBody) {
  std::string head = "RTSP/1.0 200 OK\r\nCSeq: 1\r\nX-Pad: ";
  if (!withBody) {
    const std::string tail = "\r\n\r\n";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
  }
  const std::string body(100, 'b');
  const std::string rest = "\r\nContent-Length: 100\r\n\r\n";
  return head + std::string(size - head.size() - rest.size() - body.size(), 'x') + rest + body;
}

TEST(RTSPClient, ResponsesOfAnySizeOrSplitAreReadWithoutWaitingForTheTimeout) {
  struct Case {
    const char* Name;
    std::string Reply;
    size_t Chunk;
  };
  ASSERT_EQ(PaddedResponse(256, false).size(), 256u);
  ASSERT_EQ(PaddedResponse(512, true).size(), 512u);
  const Case cases[] = {
      {"exactly 256 bytes", PaddedResponse(256, false), 0},
      {"exactly 512 bytes with body", PaddedResponse(512, true), 0},
      {"split into 7-byte segments", WithBody(1, "m=video 0 RTP/AVP 96\r\na=control:trackID=5\r\n"), 7},
  };
  for (const Case& c : cases) {
    ScriptedTcpServer server(ReplyThenHold(c.Reply, c.Chunk, 2));
    CBaseRTSPClient client;
    ASSERT_TRUE(client.Connect(ParamsFor(server.Port())));
    const auto start = Clock::now();
    EXPECT_TRUE(client.Exchange(kRtspDescribe)) << c.Name;
    EXPECT_LT(Clock::now() - start, kPrompt) << c.Name;
    if (c.Chunk != 0) {
      EXPECT_EQ(client.TrackUrl(), client.PresentationUrl() + "/trackID=5");
    }
  }
}

TEST(RTSPClient, OversizedOrUnfinishedResponsesFail) {
  struct Case {
    const char* Name;
    std::string Reply;
    bool CloseAfter;
  };
  const Case cases[] = {
      {"announced body beyond 64 KiB", "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 70000\r\n\r\n", false},
      {"header block beyond 64 KiB", "RTSP/1.0 200 OK\r\nX-Pad: " + std::string(70000, 'x'), false},
      {"closed before the body", "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 50\r\n\r\nshort", true},
  };
  for (const Case& c : cases) {
    ScriptedTcpServer server([&c](ScriptedTcpServer::Connection& connection) {
      if (!connection.ReadRequest()) return;
      connection.Send(c.Reply);
      if (!c.CloseAfter) connection.StaySilent();
    });
    CBaseRTSPClient client;
    ASSERT_TRUE(client.Connect(ParamsFor(server.Port())));
    const auto start = Clock::now();
    EXPECT_FALSE(client.Exchange(kRtspOptions)) << c.Name;
    EXPECT_LT(Clock::now() - start, kPrompt) << c.Name;
  }
}

TEST(RTSPClient, SilentCameraFailsAfterTheReceiveTimeout) {
  ScriptedTcpServer server(ScriptedTcpServer::Silent());
  CBaseRTSPClient client;
  RTSP_CONNECTION_PARAMS params = ParamsFor(server.Port());
  params.ReceiveTimeout = 50;
  ASSERT_TRUE(client.Connect(params));
  EXPECT_FALSE(client.Exchange(kRtspOptions));
}

TEST(RTSPClient, StopEventEndsAWaitAtOnceAndStaysSet) {
  ScriptedTcpServer server(ScriptedTcpServer::Silent());
  platform::Event stop;  // auto-reset: the client must not swallow it
  CBaseRTSPClient client(&stop);
  ASSERT_TRUE(client.Connect(ParamsFor(server.Port())));
  stop.Set();
  const auto start = Clock::now();
  EXPECT_FALSE(client.Exchange(kRtspOptions));
  EXPECT_LT(Clock::now() - start, kPrompt);
  EXPECT_TRUE(stop.Wait(0));
}

// A listener that accepts nothing and whose backlog is already full: further SYNs are dropped,
// so a connect to it neither completes nor fails.
class FullBacklog {
 public:
  FullBacklog() {
    Listener = testsupport::ListenOnLoopback(0, ListenPort);
    if (Listener == platform::kNoSocket) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(ListenPort);
    for (int i = 0; i < 16; ++i) {
      const platform::SocketHandle filler = platform::OpenSocket(platform::SocketKind::kTcp);
      Fillers.push_back(filler);
      platform::StartConnect(filler, address);
      pollfd p{};
      p.fd = filler;
      p.events = POLLOUT;
      if (testsupport::PollSockets(&p, 1, 200) == 0) {
        Full = true;
        return;
      }
    }
  }
  ~FullBacklog() {
    for (const platform::SocketHandle filler : Fillers) platform::CloseSocket(filler);
    if (Listener != platform::kNoSocket) platform::CloseSocket(Listener);
  }

  platform::SocketHandle Listener = platform::kNoSocket;
  uint16_t ListenPort = 0;
  bool Full = false;
  std::vector<platform::SocketHandle> Fillers;
};

TEST(RTSPClient, ConnectIsBoundedByItsTimeoutAndByTheStopEvent) {
  FullBacklog backlog;
  ASSERT_TRUE(backlog.Full);
  {
    CBaseRTSPClient client;
    RTSP_CONNECTION_PARAMS params = ParamsFor(backlog.ListenPort);
    params.ConnectTimeout = 50;
    EXPECT_FALSE(client.Connect(params));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(client.Exchange(kRtspOptions));
  }
  platform::Event stop(platform::Event::ResetMode::kManual, true);
  CBaseRTSPClient client(&stop);
  const auto start = Clock::now();
  EXPECT_FALSE(client.Connect(ParamsFor(backlog.ListenPort)));  // 30 s time-out, stopped at once
  EXPECT_LT(Clock::now() - start, kPrompt);
}

TEST(RTSPClient, UnresolvableOrRefusedServerFailsToConnect) {
  CBaseRTSPClient client;
  RTSP_CONNECTION_PARAMS params = ParamsFor(1);
  params.ServerAddress = "";
  EXPECT_FALSE(client.Connect(params));
  FullBacklog closed;  // a port nobody listens on once the listener is gone
  const uint16_t port = closed.ListenPort;
  platform::CloseSocket(closed.Listener);
  closed.Listener = platform::kNoSocket;
  EXPECT_FALSE(client.Connect(ParamsFor(port)));
}

}  // namespace
}  // namespace korvalt
