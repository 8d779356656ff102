// The client's Digest exchanges with a scripted camera: qop answers with counting nonce counts, a
// stale nonce answered once without counting as a refusal, and a refusal reported as such.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/h_utils.h"
#include "support/scripted_tcp_server.h"
#include "transport/base_rtsp_client.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {

using testsupport::ScriptedTcpServer;

constexpr int kLongTimeoutMs = 30000;

std::string Ok(unsigned cseq) {
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\n\r\n";
}

std::string Refusal(unsigned cseq, const std::string& challenge) {
  return "RTSP/1.0 401 Unauthorized\r\nCSeq: " + std::to_string(cseq) + "\r\nWWW-Authenticate: " + challenge +
         "\r\n\r\n";
}

RTSP_CONNECTION_PARAMS ParamsFor(uint16_t port) {
  RTSP_CONNECTION_PARAMS p;
  p.ServerAddress = "127.0.0.1";
  p.ServerPort = port;
  p.UrlPath = "rtpvideo1.sdp";
  p.UserName = "admin";
  p.Password = "secret";
  p.ConnectTimeout = kLongTimeoutMs;
  p.ReceiveTimeout = kLongTimeoutMs;
  return p;
}

std::string Field(const std::string& request, const std::string& name) {
  const size_t at = request.find(", " + name + "=");
  if (at == std::string::npos) return {};
  size_t start = at + name.size() + 3;
  const bool quoted = request[start] == '"';
  if (quoted) ++start;
  const size_t end = request.find_first_of(quoted ? "\"" : ",\r", start);
  return request.substr(start, end - start);
}

TEST(RTSPDigestExchange, QopAnswersCountTheNonceAndStartAgainWithANewOne) {
  const std::string sha =
      "Digest realm=\"cam\", nonce=\"n1\", algorithm=SHA-256, qop=\"auth\", opaque=\"op\"";
  ScriptedTcpServer server(ScriptedTcpServer::Replies(
      {Refusal(1, sha), Ok(2), Ok(3),
       Refusal(4, "Digest realm=\"cam\", nonce=\"n2\", algorithm=SHA-256, qop=\"auth\", opaque=\"op\""),
       Ok(5)}));
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(ParamsFor(server.Port())));
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspDescribe));
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspOptions));
  ASSERT_TRUE(client.ExchangeWithRetry(kRtspOptions));  // 401 with a new nonce, then 200
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_FALSE(client.CredentialsRefused());
  const std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].find("Authorization"), std::string::npos);
  const std::string expectedNc[] = {"", "00000001", "00000002", "00000003", "00000001"};
  const std::string expectedNonce[] = {"", "n1", "n1", "n1", "n2"};
  for (size_t i = 1; i < requests.size(); ++i) {
    EXPECT_EQ(Field(requests[i], "nc"), expectedNc[i]) << requests[i];
    EXPECT_EQ(Field(requests[i], "nonce"), expectedNonce[i]) << requests[i];
    EXPECT_EQ(Field(requests[i], "algorithm"), "SHA-256");
    EXPECT_EQ(Field(requests[i], "opaque"), "op");
    // The response is the one RFC 7616 asks for, with the cnonce the request carries.
    const std::string method = requests[i].substr(0, requests[i].find(' '));
    const std::string uri = Field(requests[i], "uri");
    const std::string ha1 = HUtils::SHA256Hex("admin:cam:secret");
    const std::string ha2 = HUtils::SHA256Hex(method + ":" + uri);
    EXPECT_EQ(Field(requests[i], "response"),
              HUtils::SHA256Hex(ha1 + ":" + expectedNonce[i] + ":" + expectedNc[i] + ":" +
                                Field(requests[i], "cnonce") + ":auth:" + ha2));
  }
  EXPECT_NE(Field(requests[1], "cnonce"), Field(requests[2], "cnonce"));
}

TEST(RTSPDigestExchange, AStaleNonceIsAnsweredOnceAndIsNoRefusal) {
  const std::string first = "Digest realm=\"cam\", nonce=\"n1\"";
  const std::string stale = "Digest realm=\"cam\", nonce=\"n2\", stale=true";
  ScriptedTcpServer server(ScriptedTcpServer::Replies({Refusal(1, first), Refusal(2, stale), Ok(3),
                                                       Refusal(4,
                                                               "Digest realm=\"cam\", "
                                                               "nonce=\"n3\""),
                                                       Refusal(5, "Digest realm=\"cam\", nonce=\"n4\"")}));
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(ParamsFor(server.Port())));
  EXPECT_TRUE(client.ExchangeWithRetry(kRtspDescribe));
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_FALSE(client.CredentialsRefused());
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[2].find("nonce=\"n2\""), std::string::npos) << requests[2];

  // Refused with a fresh nonce, retried once with it, refused again and not stale: a refusal.
  EXPECT_TRUE(client.ExchangeWithRetry(kRtspOptions));
  EXPECT_EQ(client.StatusCode(), 401);
  EXPECT_TRUE(client.CredentialsRefused());
  EXPECT_EQ(server.Requests().size(), 5u);
}

TEST(RTSPDigestExchange, BasicRefusedIsARefusalAndItsReasonIsMasked) {
  // A camera that quotes the refused request in its reason phrase.
  ScriptedTcpServer server(ScriptedTcpServer::Replies(
      {Refusal(1, "Basic realm=\"cam\""),
       "RTSP/1.0 401 Unauthorized for Authorization: Basic YWRtaW46c2VjcmV0\r\nCSeq: 2\r\n"
       "WWW-Authenticate: Basic realm=\"cam\"\r\n\r\n"}));
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(ParamsFor(server.Port())));
  EXPECT_TRUE(client.ExchangeWithRetry(kRtspDescribe));
  EXPECT_TRUE(client.CredentialsRefused());
  EXPECT_EQ(client.FailureText(), "401 Unauthorized for Authorization: ***");
}

}  // namespace
}  // namespace korvalt
