#include "http/http_sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/camera_login.h"
#include "platform/clock.h"
#include "support/scripted_tcp_server.h"

namespace Web {
namespace {

using testsupport::ScriptedTcpServer;
using Clock = std::chrono::steady_clock;

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
const std::string kDigestChallenge =
    "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"cam\", nonce=\"abc\", qop=\"auth\"\r\n"
    "WWW-Authenticate: Basic realm=\"cam\"\r\nContent-Length: 0\r\n\r\n";
const std::string kBasicChallenge =
    "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"cam\"\r\nContent-Length: 0\r\n\r\n";

korvalt::DEVICE_INFO Device(uint16_t port, int timeoutMs = 5000, std::string user = "admin") {
  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = port;
  device.NetworkTimeout = timeoutMs;
  device.UserName = std::move(user);
  device.Password = "secret";
  return device;
}

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string BodyText(CHttpSender& sender) {
  std::vector<uint8_t> body;
  sender.ReadBody(body);
  return std::string(body.begin(), body.end());
}

bool HasHeader(const std::string& request, const std::string& header) {
  return request.find("\r\n" + header) != std::string::npos;
}

TEST(HttpSender, SendsGetWithAgentAndReadsTheBodyWithoutCredentialsUnasked) {
  ScriptedTcpServer server(ScriptedTcpServer::Replies({kOk}));
  CHttpSender sender(Device(server.Port()));
  ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/config/io.cgi?a=1&b=%20")));
  EXPECT_EQ(sender.GetStatusCode(), 200u);
  EXPECT_EQ(BodyText(sender), "hello");
  std::vector<uint8_t> again{1, 2};
  EXPECT_EQ(sender.ReadBody(again), 0u);  // the body is handed out once
  EXPECT_TRUE(again.empty());

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")), "GET /config/io.cgi?a=1&b=%20 HTTP/1.1");
  EXPECT_TRUE(HasHeader(requests[0], "User-Agent: Korvalt::HttpClient\r\n"));
  EXPECT_FALSE(HasHeader(requests[0], "Authorization:")) << "a camera that asks nothing is told nothing";
}

TEST(HttpSender, OneConnectionServesEveryRequestOfASender) {
  ScriptedTcpServer server(ScriptedTcpServer::Replies({kOk, kOk, kOk, kOk}));
  CHttpSender sender(Device(server.Port()));
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/common/info.cgi")));
    EXPECT_EQ(BodyText(sender), "hello");
  }
  EXPECT_EQ(server.ConnectionCount(), 1u);
}

TEST(HttpSender, InvalidRequestsFailWithoutConnecting) {
  ScriptedTcpServer server(ScriptedTcpServer::Replies({kOk}));
  CHttpSender sender(Device(server.Port()));
  EXPECT_FALSE(sender.Send(CHttpRequest("", "/x")));
  EXPECT_FALSE(sender.Send(CHttpRequest("GET", "")));
  EXPECT_FALSE(sender.Send(CHttpRequest("GET", "/x\r\nX-Injected: 1")));
  CHttpRequest header("GET", "/x");
  header.ExtraHeaders = {"X-A: 1\r\nX-Injected: 1"};
  EXPECT_FALSE(sender.Send(header));

  korvalt::DEVICE_INFO bad = Device(server.Port());
  bad.Address = "user@127.0.0.1";
  CHttpSender badSender(bad);
  EXPECT_FALSE(badSender.Send(CHttpRequest("GET", "/x")));
  EXPECT_EQ(server.ConnectionCount(), 0u);
}

TEST(HttpSender, SilentCameraFailsWithinTheNetworkTimeout) {
  constexpr int kTimeoutMs = 300;
  ScriptedTcpServer server(ScriptedTcpServer::Silent());
  CHttpSender sender(Device(server.Port(), kTimeoutMs));
  const auto start = Clock::now();
  EXPECT_FALSE(sender.Send(CHttpRequest("GET", "/config/io.cgi")));
  const int64_t elapsed = MsSince(start);
  EXPECT_GE(elapsed, kTimeoutMs - 50);
  EXPECT_LT(elapsed, kTimeoutMs + 1000);
  std::vector<uint8_t> body{1};
  EXPECT_EQ(sender.ReadBody(body), 0u);
  EXPECT_TRUE(body.empty());
}

TEST(HttpSender, StallAfterTrickledBytesFailsWithinTheNetworkTimeout) {
  constexpr int kTimeoutMs = 300;
  ScriptedTcpServer server([](ScriptedTcpServer::Connection& c) {
    if (!c.ReadRequest()) return;
    c.Trickle("HTTP/1.1 200 OK\r\nContent-Le", 4, 50);
    c.StaySilent();
  });
  CHttpSender sender(Device(server.Port(), kTimeoutMs));
  const auto start = Clock::now();
  EXPECT_FALSE(sender.Send(CHttpRequest("GET", "/config/io.cgi")));
  EXPECT_LT(MsSince(start), 7 * 50 + kTimeoutMs + 1000);
}

TEST(HttpSender, SlowButSteadyReplyIsNotCutOff) {
  constexpr int kTimeoutMs = 600;
  const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789";
  ScriptedTcpServer server([&reply](ScriptedTcpServer::Connection& c) {
    if (c.ReadRequest()) c.Trickle(reply, 4, 100);  // ~1 s in all, never 600 ms without a byte
  });
  CHttpSender sender(Device(server.Port(), kTimeoutMs));
  ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/x")));
  EXPECT_EQ(BodyText(sender), "0123456789");
}

TEST(HttpSender, CameraTricklingForEverIsCutAtTheRequestDeadline) {
  // One byte every 100 ms never lets the 200 ms network time-out expire; the request still ends
  // three network time-outs after it began, in the reply's header block and in its body alike.
  constexpr int kTimeoutMs = 200;
  struct Case {
    const char* Name;
    std::string Reply;
    bool Replied;  // the header block is complete: a reply with a short body
  };
  const Case cases[] = {
      {"header block", "HTTP/1.1 200 OK\r\nX-Padding: " + std::string(200, 'p'), false},
      {"body", "HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n" + std::string(200, 'b'), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ScriptedTcpServer server([&c](ScriptedTcpServer::Connection& connection) {
      if (!connection.ReadRequest()) return;
      const size_t head = c.Replied ? c.Reply.find("\r\n\r\n") + 4 : 0;
      connection.Send(c.Reply.substr(0, head));
      connection.Trickle(c.Reply.substr(head), 1, 100);  // 20 s
    });
    CHttpSender sender(Device(server.Port(), kTimeoutMs));
    const auto start = Clock::now();
    EXPECT_EQ(sender.Send(CHttpRequest("GET", "/config/io.cgi")), c.Replied);
    EXPECT_LT(MsSince(start), 3 * kTimeoutMs + 1000);
    EXPECT_GE(MsSince(start), 3 * kTimeoutMs - 50);
  }
}

TEST(HttpSender, AbortFromAnotherThreadEndsAHangingSendPromptly) {
  std::promise<void> requestArrived;
  ScriptedTcpServer server([&requestArrived](ScriptedTcpServer::Connection& c) {
    if (c.ReadRequest()) requestArrived.set_value();
    c.StaySilent();
  });
  CHttpSender sender(Device(server.Port(), 20000));
  auto sending = std::async(std::launch::async, [&sender] { return sender.Send(CHttpRequest("GET", "/x")); });
  ASSERT_EQ(requestArrived.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto start = Clock::now();
  sender.Abort();
  ASSERT_EQ(sending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LT(MsSince(start), 200);
  EXPECT_FALSE(sending.get());
}

TEST(HttpSender, AbortedSenderRefusesUntilCleared) {
  ScriptedTcpServer server(ScriptedTcpServer::Replies({kOk}));
  CHttpSender sender(Device(server.Port()));
  sender.Abort();
  EXPECT_TRUE(sender.IsAborted());
  EXPECT_FALSE(sender.Send(CHttpRequest("GET", "/x")));
  EXPECT_EQ(server.ConnectionCount(), 0u);
  sender.ClearAbort();
  EXPECT_TRUE(sender.Send(CHttpRequest("GET", "/x")));
}

TEST(HttpSender, FailedSendLeavesNoBody) {
  // One reply, then the script runs out and the camera closes the connection without answering.
  ScriptedTcpServer server(ScriptedTcpServer::Replies({kOk}));
  CHttpSender sender(Device(server.Port()));
  ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/x")));  // body deliberately not read
  EXPECT_FALSE(sender.Send(CHttpRequest("GET", "/y")));
  std::vector<uint8_t> body{1};
  EXPECT_EQ(sender.ReadBody(body), 0u);
  EXPECT_TRUE(body.empty());
}

// The receive buffer is a few KiB: replies larger than it, in the body or in one header line,
// still arrive whole.
TEST(HttpSender, RepliesLargerThanTheReceiveBufferArriveWhole) {
  const struct {
    size_t Body;
    size_t HeaderLine;
  } cases[] = {{4095, 0}, {4096, 0}, {4097, 0}, {300000, 0}, {10, 9000}, {70000, 20000}};
  for (const auto& c : cases) {
    std::string payload(c.Body, 'x');
    for (size_t i = 0; i < payload.size(); i += 997) payload[i] = static_cast<char>('a' + i % 26);
    const std::string header = c.HeaderLine ? "X-Long: " + std::string(c.HeaderLine, 'h') + "\r\n" : "";
    ScriptedTcpServer server(ScriptedTcpServer::Replies({"HTTP/1.1 200 OK\r\n" + header +
                                                         "Content-Length: " + std::to_string(payload.size()) +
                                                         "\r\n\r\n" + payload}));
    CHttpSender sender(Device(server.Port()));
    ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/x"))) << c.Body << " " << c.HeaderLine;
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    EXPECT_EQ(BodyText(sender), payload) << c.Body << " " << c.HeaderLine;
  }
}

TEST(HttpSender, BodyIsCutAfterTheChunkThatReachesTheCap) {
  const std::string payload(200000, 'x');
  ScriptedTcpServer server(ScriptedTcpServer::Replies(
      {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(payload.size()) + "\r\n\r\n" + payload}));
  CHttpSender sender(Device(server.Port()));
  sender.SetMaxBodySize(10000);
  ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/x")));
  std::vector<uint8_t> body;
  const size_t read = sender.ReadBody(body);
  EXPECT_GE(read, 10000u);
  EXPECT_LT(read, payload.size());
  EXPECT_EQ(read, body.size());
}

TEST(HttpSender, NoCredentialsBeforeTheChallengeAndDigestWhereverOffered) {
  ScriptedTcpServer server(ScriptedTcpServer::Replies(std::vector<std::string>(8, kDigestChallenge)));
  CHttpSender sender(Device(server.Port()));
  ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/x")));
  EXPECT_EQ(sender.GetStatusCode(), 401u);
  EXPECT_EQ(sender.GetRememberedScheme(), CHttpSender::kSchemeDigest);
  const size_t firstSend = server.Requests().size();
  EXPECT_LE(firstSend, 3u);  // bare, then Digest (libcurl may need the challenge once more)

  ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/x")));
  EXPECT_EQ(sender.GetStatusCode(), 401u);
  const auto requests = server.Requests();
  ASSERT_GT(requests.size(), firstSend);
  EXPECT_FALSE(HasHeader(requests[0], "Authorization:")) << "nothing before the challenge";
  for (size_t i = 0; i < requests.size(); ++i)
    EXPECT_FALSE(HasHeader(requests[i], "Authorization: Basic")) << i;
  EXPECT_TRUE(HasHeader(requests.back(), "Authorization: Digest"));
}

TEST(HttpSender, TheChallengeDecidesTheSchemeWhateverItsOrder) {
  // Digest wins wherever the camera lists it; Basic only where nothing else can be answered; a
  // camera offering nothing we can answer fails this request and is asked again by the next.
  struct Case {
    const char* Challenges;
    uint32_t Remembered;
    const char* Answered;  // the second request's Authorization; "" none; null not checked
  };
  const Case cases[] = {
      {"WWW-Authenticate: Basic realm=\"cam\"\r\nWWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n",
       CHttpSender::kSchemeDigest, nullptr},
      {"WWW-Authenticate: NTLM\r\nWWW-Authenticate: Basic realm=\"cam\"\r\n", CHttpSender::kSchemeBasic,
       "Authorization: Basic YWRtaW46c2VjcmV0\r\n"},  // admin:secret
      {"WWW-Authenticate: Negotiate\r\n", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Challenges);
    const std::string challenge =
        std::string("HTTP/1.1 401 Unauthorized\r\n") + c.Challenges + "Content-Length: 0\r\n\r\n";
    ScriptedTcpServer server(ScriptedTcpServer::Replies({challenge, kOk, kOk}));
    CHttpSender sender(Device(server.Port()));
    const bool sent = sender.Send(CHttpRequest("GET", "/x"));
    EXPECT_EQ(sender.GetRememberedScheme(), c.Remembered);
    if (c.Remembered == 0) {
      EXPECT_FALSE(sent);
      ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/x")));
    } else {
      ASSERT_TRUE(sent);
    }
    EXPECT_EQ(sender.GetStatusCode(), 200u);
    const auto requests = server.Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_FALSE(HasHeader(requests[0], "Authorization:"));
    if (c.Answered == nullptr) {
    } else if (*c.Answered != 0) {
      EXPECT_TRUE(HasHeader(requests[1], c.Answered));
    } else {
      EXPECT_FALSE(HasHeader(requests[1], "Authorization:"));
    }
    if (c.Remembered != CHttpSender::kSchemeBasic) {
      for (const auto& r : requests) EXPECT_FALSE(HasHeader(r, "Authorization: Basic"));
    }
  }
}

TEST(HttpSender, OneSenderLearnsTheSchemeForTheDriverAndRefusalsHoldCredentialsBack) {
  ScriptedTcpServer server(ScriptedTcpServer::Replies({kBasicChallenge, kOk, kOk, kOk}));
  korvalt::DEVICE_INFO device = Device(server.Port());
  device.Login = std::make_shared<korvalt::CCameraLogin>(1000);
  CHttpSender first(device);
  ASSERT_TRUE(first.Send(CHttpRequest("GET", "/x")));
  EXPECT_EQ(first.GetStatusCode(), 200u);
  // Another sender of the same driver offers Basic at once: no bare round, no second challenge.
  CHttpSender second(device);
  ASSERT_TRUE(second.Send(CHttpRequest("GET", "/y")));
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_TRUE(HasHeader(requests[2], "Authorization: Basic"));

  // The camera refused a login somewhere in the driver: no credentials leave until its turn.
  bool first0 = false;
  device.Login->Refused(korvalt::platform::MonotonicMs(), first0);
  EXPECT_FALSE(second.Send(CHttpRequest("GET", "/z")));
  EXPECT_TRUE(second.WasHeldBack());
  EXPECT_EQ(server.Requests().size(), 3u);
}

TEST(HttpSender, CgiReplyBodiesAreCutAtOneMebibyte) {
  // A camera that sends far more than any CGI reply holds cannot make the sender keep it all.
  constexpr size_t kCap = size_t{1} << 20;
  constexpr size_t kSent = 3 * kCap;
  constexpr size_t kLargestRead = 16 * 1024;  // what a sender takes in one read (libcurl's most)
  const std::string reply =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kSent) + "\r\n\r\n" + std::string(kSent, 'a');
  ScriptedTcpServer server(ScriptedTcpServer::Replies({reply}));
  CHttpSender sender(Device(server.Port()));
  ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/x")));
  std::vector<uint8_t> body;
  const size_t read = sender.ReadBody(body);
  EXPECT_GE(read, kCap);
  EXPECT_LT(read, kCap + kLargestRead) << "cut after the chunk that reached the cap";
}

TEST(HttpSender, EmptyUserNameNeverSendsCredentials) {
  for (const std::string& challenge : {std::string(kDigestChallenge), std::string(kBasicChallenge)}) {
    ScriptedTcpServer server(ScriptedTcpServer::Replies({challenge, challenge}));
    CHttpSender sender(Device(server.Port(), 5000, ""));
    ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/x")));  // the 401 is the reply
    EXPECT_EQ(sender.GetStatusCode(), 401u);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(HasHeader(requests[0], "Authorization:"));
  }
}

TEST(HttpSender, UnauthorizedWithoutChallengeFails) {
  ScriptedTcpServer server(
      ScriptedTcpServer::Replies({"HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n"}));
  CHttpSender sender(Device(server.Port()));
  EXPECT_FALSE(sender.Send(CHttpRequest("GET", "/x")));
  EXPECT_EQ(sender.GetRememberedScheme(), 0u);
}

TEST(HttpSender, RedirectIsReturnedNotFollowed) {
  ScriptedTcpServer server(ScriptedTcpServer::Replies(
      {"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/elsewhere\r\nContent-Length: 0\r\n\r\n"}));
  CHttpSender sender(Device(server.Port()));
  ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/x")));
  EXPECT_EQ(sender.GetStatusCode(), 302u);
}

TEST(HttpSender, TheDriversNextSenderTakesOverTheHandlesButNoConnection) {
  ScriptedTcpServer server(ScriptedTcpServer::Replies({kBasicChallenge, kOk, kOk, kOk}));
  korvalt::DEVICE_INFO device = Device(server.Port());
  device.Login = std::make_shared<korvalt::CCameraLogin>(1000);
  {
    CHttpRequest post("POST", "/x");
    post.Body = {'a', '=', '1'};
    post.ExtraHeaders = {"X-Last: 1"};
    CHttpSender first(device);
    ASSERT_TRUE(first.Send(post));
  }
  const size_t left = device.Login->IdleHandles();  // libcurl's backend leaves its handles, WinHTTP's none
  EXPECT_LE(left, 1u);
  CHttpSender second(device);
  EXPECT_EQ(device.Login->IdleHandles(), 0u);
  ASSERT_TRUE(second.Send(CHttpRequest("GET", "/y")));
  EXPECT_EQ(second.GetStatusCode(), 200u);
  EXPECT_EQ(BodyText(second), "hello");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  // Nothing of the last sender's request carries over; the driver's scheme does.
  EXPECT_EQ(requests[2].substr(0, requests[2].find("\r\n")), "GET /y HTTP/1.1");
  EXPECT_EQ(requests[2].find("a=1"), std::string::npos);
  EXPECT_FALSE(HasHeader(requests[2], "X-Last:"));
  EXPECT_TRUE(HasHeader(requests[2], "Authorization: Basic"));
  EXPECT_EQ(server.ConnectionCount(), 2u) << "a waiting handle holds no connection to the camera";

  // Other credentials keep the waiting handle, and the sender that takes it over sends none of the
  // old ones.
  const size_t waiting = device.Login->IdleHandles();
  device.Password = "other";
  device.Login->UseCredentials(device.Address, device.UserName, device.Password);
  EXPECT_EQ(device.Login->IdleHandles(), waiting);
  {
    CHttpSender third(device);
    ASSERT_TRUE(third.Send(CHttpRequest("GET", "/z")));
  }
  const auto after = server.Requests();
  ASSERT_EQ(after.size(), 4u);
  EXPECT_EQ(after[3].find("YWRtaW46c2VjcmV0"), std::string::npos) << "admin:secret, base64";
}

TEST(HttpSender, ABrokenReplyFromAPortThatAnsweredPlainHttpIsNotTriedOverTls) {
  // One answer; every later connection closes unanswered, as a camera's failing CGI does.
  ScriptedTcpServer server(ScriptedTcpServer::Replies({kOk}));
  korvalt::DEVICE_INFO device = Device(server.Port());
  device.Login = std::make_shared<korvalt::CCameraLogin>(1000);
  CHttpSender sender(device);
  ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/x")));
  const size_t before = server.ConnectionCount();
  EXPECT_FALSE(sender.Send(CHttpRequest("GET", "/y")));
  // At most the one a sender opens again for a dropped connection (WinHTTP may not even do that).
  EXPECT_LE(server.ConnectionCount(), before + 1) << "no TLS handshake to a port that spoke HTTP";
  EXPECT_FALSE(device.Login->Key().UsesHttps());
}

}  // namespace
}  // namespace Web
