#include <gtest/gtest.h>

#include <string>

#include "http/h_utils.h"
#include "transport/base_rtsp_client.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {

RTSP_CONNECTION_PARAMS DigestParams() {
  RTSP_CONNECTION_PARAMS params;
  params.ServerAddress = "192.0.2.10";
  params.UrlPath = "rtpvideo1.sdp";
  params.UserName = "Mufasa";
  params.Password = "Circle Of Life";
  params.AuthScheme = CBaseRTSPClient::kAuthDigest;
  return params;
}

// A camera's 401; realm and nonce as they stand in the header (quoted, escapes allowed).
std::string Challenge(const std::string& parameters) {
  return "RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\nWWW-Authenticate: Digest " + parameters + "\r\n\r\n";
}

constexpr const char* kRfcChallenge =
    "realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\"";

// A client that read the SDP and then the camera's challenge, without any connection.
class DigestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Client.SetConnection(DigestParams());
    const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=1\r\n";
    ASSERT_TRUE(
        Client.TakeResponse("RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Type: application/sdp\r\n"
                            "Content-Length: " +
                                std::to_string(sdp.size()) + "\r\n\r\n" + sdp,
                            kRtspDescribe));
    ASSERT_TRUE(Client.TakeResponse(Challenge(kRfcChallenge), kRtspSetup));
  }

  // Responses computed independently (Python hashlib) from the RFC 2069 rules.
  static std::string Expected(const std::string& response,
                              const std::string& uri = "rtsp://192.0.2.10:554/rtpvideo1.sdp") {
    return "Authorization: Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
           "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"" +
           uri + "\", response=\"" + response + "\"\r\n";
  }

  CBaseRTSPClient Client;
};

TEST_F(DigestTest, SetupAnswersForTheTrackUrlItRequests) {
  const std::string request = Client.BuildRequest(kRtspSetup);
  EXPECT_NE(request.find("SETUP rtsp://192.0.2.10:554/rtpvideo1.sdp/trackID=1 RTSP/1.0\r\n"),
            std::string::npos);
  EXPECT_NE(request.find(Expected("dce9768ebce86069eaf6e920ac279a46",
                                  "rtsp://192.0.2.10:554/rtpvideo1.sdp/trackID=1")),
            std::string::npos)
      << request;
}

TEST_F(DigestTest, RequestsForThePresentationKeepTheirBytes) {
  // The presentation's requests send what they always sent: a camera that checks nothing sees the
  // same bytes, one that checks sees its request's URI.
  const std::string describe = Client.BuildRequest(kRtspDescribe);
  EXPECT_NE(describe.find(Expected("daf5208de2be9183068573cd77b519d9")), std::string::npos) << describe;
  for (const int method : {kRtspPlay, kRtspOptions, kRtspTeardown}) {
    const std::string request = Client.BuildRequest(method);
    EXPECT_NE(request.find("uri=\"rtsp://192.0.2.10:554/rtpvideo1.sdp\""), std::string::npos) << request;
    EXPECT_EQ(request.find("qop"), std::string::npos) << request;
  }
}

TEST_F(DigestTest, KnownAnswer) {
  const std::string line =
      Client.MakeDigestAuthorization("rtsp://192.0.2.10:554/rtpvideo1.sdp", kRtspDescribe);
  EXPECT_EQ(line, Expected("daf5208de2be9183068573cd77b519d9"));
}

TEST(Digest, MissingInputsLeaveTheHeaderOut) {
  struct Case {
    const char* Name;
    std::string Challenge;
    std::string User;
    std::string Password;
    bool HasHeader;
  };
  const Case cases[] = {
      {"complete", kRfcChallenge, "Mufasa", "Circle Of Life", true},
      {"no nonce", "realm=\"testrealm@host.com\"", "Mufasa", "Circle Of Life", false},
      {"no realm", "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\"", "Mufasa", "Circle Of Life", false},
      {"no password", kRfcChallenge, "Mufasa", "", false},
      {"no user", kRfcChallenge, "", "Circle Of Life", false},
  };
  for (const Case& c : cases) {
    RTSP_CONNECTION_PARAMS params = DigestParams();
    params.UserName = c.User;
    params.Password = c.Password;
    CBaseRTSPClient client;
    client.SetConnection(params);
    client.TakeResponse(Challenge(c.Challenge), kRtspOptions);
    EXPECT_EQ(client.BuildRequest(kRtspDescribe).find("Authorization") != std::string::npos, c.HasHeader)
        << c.Name;
  }
}

TEST(Digest, QuotesInsideValuesAreEscaped) {
  CBaseRTSPClient client;
  client.SetConnection(DigestParams());
  client.TakeResponse(Challenge("realm=\"a\\\"b\", nonce=\"n\""), kRtspOptions);
  const std::string line = client.MakeDigestAuthorization("rtsp://x/", kRtspDescribe);
  EXPECT_NE(line.find("realm=\"a\\\"b\""), std::string::npos) << line;
}

}  // namespace
}  // namespace korvalt
