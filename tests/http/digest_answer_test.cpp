// The Windows sender's answer to an HTTP Digest challenge: the header value handed to the same
// builder the RTSP client uses.

#include "http/digest_answer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using korvalt::AnswerDigestChallenge;

TEST(DigestAnswer, AnswersTheRfcExamplesFromTheHeaderValue) {
  const struct {
    const char* Challenge;
    const char* Password;
    const char* ClientNonce;
    const char* Response;
  } cases[] = {
      // RFC 2617, section 3.5.
      {"Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
       "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
       "Circle Of Life", "0a4f113b", "6629fae49393a05397450978507c4ef1"},
      // RFC 7616, section 3.9.1, SHA-256 (leading blanks and the scheme in another case).
      {"  DIGEST realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=SHA-256, "
       "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
       "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"",
       "Circle of Life", "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ",
       "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
  };
  for (const auto& c : cases) {
    const std::string answer =
        AnswerDigestChallenge(c.Challenge, "GET", "/dir/index.html", "Mufasa", c.Password, c.ClientNonce);
    EXPECT_NE(answer.find(std::string("response=\"") + c.Response + "\""), std::string::npos) << answer;
    EXPECT_NE(answer.find("nc=00000001"), std::string::npos) << answer;
    EXPECT_EQ(answer.rfind("Digest username=\"Mufasa\"", 0), 0U) << answer;
  }
}

TEST(DigestAnswer, WithoutQopAnswersInTheOlderFormAndDrawsNoClientNonce) {
  const std::string answer = AnswerDigestChallenge("digest nonce=abc, realm=\"cam\"", "GET",
                                                   "/common/info.cgi", "admin", "secret", "unused");
  EXPECT_EQ(answer.find("qop"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("unused"), std::string::npos) << answer;
  EXPECT_NE(answer.find("nonce=\"abc\""), std::string::npos) << answer;
}

TEST(DigestAnswer, RefusesWhatItCannotAnswer) {
  const struct {
    const char* Challenge;
    const char* User;
  } cases[] = {
      {"Basic realm=\"cam\"", "admin"},                                       // not Digest
      {"DigestX realm=\"cam\", nonce=\"n\"", "admin"},                        // another scheme
      {"Digest nonce=\"abc\"", "admin"},                                      // no realm
      {"Digest realm=\"cam\"", "admin"},                                      // no nonce
      {"Digest realm=\"cam\", nonce=\"n\", algorithm=SHA-512-256", "admin"},  // unknown algorithm
      {"Digest realm=\"cam\", nonce=\"n\", qop=\"auth-int\"", "admin"},       // only auth-int
      {"Digest realm=\"cam\", nonce=\"n\"", ""},                              // no user
      {"Digest realm=\"unterminated, nonce=\"n\"", "admin"},                  // the realm swallows the rest
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AnswerDigestChallenge(c.Challenge, "GET", "/", c.User, "pw"), "") << c.Challenge;
  }
}

TEST(DigestAnswer, QuotesWhatWouldEndAQuotedString) {
  const std::string answer =
      AnswerDigestChallenge("Digest realm=\"a\\\"b\", nonce=\"n\"", "GET", "/", "us\"er", "pw");
  EXPECT_NE(answer.find("username=\"us\\\"er\""), std::string::npos) << answer;
  EXPECT_NE(answer.find("realm=\"a\\\"b\""), std::string::npos) << answer;
}

}  // namespace
