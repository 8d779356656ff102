#include <gtest/gtest.h>

#include <string>

#include "http/h_utils.h"
#include "transport/base_rtsp_client.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {

TEST(MD5Hex, MatchesTheRfc1321TestSuite) {
  const std::pair<std::string, std::string> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [text, digest] : suite) EXPECT_EQ(HUtils::MD5Hex(text), digest) << '"' << text << '"';
  // Block-boundary lengths around the 56-byte padding limit.
  EXPECT_EQ(HUtils::MD5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(HUtils::MD5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(HUtils::MD5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST(Base64Encode, PadsAndRefusesWhatDoesNotFit) {
  struct Case {
    std::string User;
    std::string Password;
    bool Ok;
    std::string Encoded;
  };
  const Case cases[] = {
      {"", "", true, "Og=="},
      {"admin", "12345", true, "YWRtaW46MTIzNDU="},             // 11 bytes: one "="
      {"admin", "123456", true, "YWRtaW46MTIzNDU2"},            // 12 bytes: no padding
      {std::string(40, 'u'), std::string(31, 'p'), true, ""},   // 72 bytes: 96 characters
      {std::string(40, 'u'), std::string(32, 'p'), false, ""},  // 73 bytes
  };
  for (const Case& c : cases) {
    std::string encoded;
    EXPECT_EQ(HUtils::EncodeCredentials(c.User, c.Password, encoded), c.Ok)
        << c.User.size() + c.Password.size();
    const size_t expectedSize = c.Ok ? (c.Encoded.empty() ? 96u : c.Encoded.size()) : 0u;
    EXPECT_EQ(encoded.size(), expectedSize);
    EXPECT_TRUE(c.Encoded.empty() || encoded == c.Encoded) << encoded;
  }

  char out[8];
  size_t capacity = sizeof out;
  EXPECT_FALSE(HUtils::Base64Encode(nullptr, 1, out, &capacity));
  EXPECT_FALSE(HUtils::Base64Encode(reinterpret_cast<const uint8_t*>("a"), 1, nullptr, &capacity));
  EXPECT_FALSE(HUtils::Base64Encode(reinterpret_cast<const uint8_t*>("a"), 1, out, nullptr));
  capacity = sizeof out;
  ASSERT_TRUE(HUtils::Base64Encode(reinterpret_cast<const uint8_t*>("ab"), 2, out, &capacity));
  EXPECT_EQ(std::string(out, capacity), "YWI=");
}

// A client whose parser holds a challenge, without any connection.
class DigestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Client.Params.ServerAddress = "192.0.2.10";
    Client.Params.UrlPath = "rtpvideo1.sdp";
    Client.Params.UserName = "Mufasa";
    Client.Params.Password = "Circle Of Life";
    Client.Params.AuthScheme = CBaseRTSPClient::kAuthDigest;
    Client.Parser.Realm = "testrealm@host.com";
    Client.Parser.Nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
    Client.Parser.VideoControl = "trackID=1";
  }

  // Responses computed independently (Python hashlib) from the RFC 2069 rules.
  static std::string Expected(const std::string& response) {
    return "Authorization: Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
           "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"rtsp://192.0.2.10:554/rtpvideo1.sdp\", "
           "response=\"" +
           response + "\"\r\n";
  }

  CBaseRTSPClient Client;
};

TEST_F(DigestTest, SetupUsesThePresentationUrlNotTheTrack) {
  const std::string request = Client.BuildRequest(kRtspSetup);
  EXPECT_NE(request.find("SETUP rtsp://192.0.2.10:554/rtpvideo1.sdp/trackID=1 RTSP/1.0\r\n"),
            std::string::npos);
  EXPECT_NE(request.find(Expected("dc643f1aad74f513b0bd81ddac141736")), std::string::npos) << request;
}

TEST_F(DigestTest, KnownAnswer) {
  const std::string line =
      Client.MakeDigestAuthorization("rtsp://192.0.2.10:554/rtpvideo1.sdp", kRtspDescribe);
  EXPECT_EQ(line, Expected("daf5208de2be9183068573cd77b519d9"));
}

TEST_F(DigestTest, MissingInputsLeaveTheHeaderOut) {
  const auto without = [this](auto change) {
    CBaseRTSPClient client;
    client.Params = Client.Params;
    client.Parser.Realm = Client.Parser.Realm;
    client.Parser.Nonce = Client.Parser.Nonce;
    change(client);
    return client.BuildRequest(kRtspDescribe).find("Authorization") == std::string::npos;
  };
  EXPECT_TRUE(without([](CBaseRTSPClient& c) { c.Parser.Nonce.clear(); }));
  EXPECT_TRUE(without([](CBaseRTSPClient& c) { c.Parser.Realm.clear(); }));
  EXPECT_TRUE(without([](CBaseRTSPClient& c) { c.Params.Password.clear(); }));
  EXPECT_TRUE(without([](CBaseRTSPClient& c) { c.Params.UserName.clear(); }));
  EXPECT_FALSE(without([](CBaseRTSPClient&) {}));
}

TEST_F(DigestTest, QuotesInsideValuesAreEscaped) {
  Client.Parser.Realm = "a\"b";
  const std::string line = Client.MakeDigestAuthorization("rtsp://x/", kRtspDescribe);
  EXPECT_NE(line.find("realm=\"a\\\"b\""), std::string::npos) << line;
}

}  // namespace
}  // namespace korvalt
