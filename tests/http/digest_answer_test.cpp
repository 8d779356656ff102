// The module's own answer to an HTTP Digest challenge (used over WinHTTP).

#include "http/digest_answer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using korvalt::AnswerDigestChallenge;

// RFC 2617, section 3.5: the example exchange, answered with its client nonce.
TEST(DigestAnswer, AnswersTheRfc2617ExampleWithQopAuth) {
  const std::string challenge =
      "Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
      "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"";
  const std::string answer =
      AnswerDigestChallenge(challenge, "GET", "/dir/index.html", "Mufasa", "Circle Of Life", "0a4f113b");
  EXPECT_NE(answer.find("response=\"6629fae49393a05397450978507c4ef1\""), std::string::npos) << answer;
  EXPECT_NE(answer.find("qop=auth, nc=00000001, cnonce=\"0a4f113b\""), std::string::npos) << answer;
  EXPECT_NE(answer.find("opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""), std::string::npos) << answer;
  EXPECT_EQ(answer.rfind("Digest username=\"Mufasa\", realm=\"testrealm@host.com\"", 0), 0U) << answer;
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
      {"Basic realm=\"cam\"", "admin"},                                   // not Digest
      {"Digest nonce=\"abc\"", "admin"},                                  // no realm
      {"Digest realm=\"cam\"", "admin"},                                  // no nonce
      {"Digest realm=\"cam\", nonce=\"n\", algorithm=SHA-256", "admin"},  // another algorithm
      {"Digest realm=\"cam\", nonce=\"n\"", ""},                          // no user
      {"Digest realm=\"unterminated, nonce=\"n\"", "admin"},              // the realm swallows the rest
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
