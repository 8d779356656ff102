// The WinHTTP sender's Digest answers against a scripted camera that checks them: every
// WWW-Authenticate header of a refusal is read, and a nonce is answered again with a counting nc.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "http/h_utils.h"
#include "http/http_sender.h"
#include "support/scripted_tcp_server.h"

namespace Web {
namespace {

using korvalt::HUtils;
using testsupport::ScriptedTcpServer;

constexpr const char* kUser = "admin";
constexpr const char* kPassword = "secret";
constexpr const char* kRealm = "cam";

// A camera that takes Digest answers only, checks each against its current nonce and refuses
// everything else with its list of challenges ("%n" stands for the nonce).
class DigestCamera {
 public:
  explicit DigestCamera(std::vector<std::string> challenges) : Challenges(std::move(challenges)) {}

  ScriptedTcpServer::Handler Handler() {
    return [this](ScriptedTcpServer::Connection& c) {
      while (auto request = c.ReadRequest()) {
        if (!c.Send(Reply(*request))) return;
      }
    };
  }

  // A new nonce; an answer to the old one is refused with "stale=true", as its nonce expired.
  void ChangeNonce(std::string nonce) {
    std::lock_guard<std::mutex> guard(Lock);
    OldNonce = std::exchange(Nonce, std::move(nonce));
  }
  // From now on every refusal comes with a nonce of its own, as many cameras do.
  void NewNonceWithEveryRefusal() {
    std::lock_guard<std::mutex> guard(Lock);
    RotateNonce = true;
  }
  size_t AnswersSeen() {
    std::lock_guard<std::mutex> guard(Lock);
    return Answers;
  }
  // The nc and cnonce of every accepted answer, in order.
  std::vector<std::string> Accepted() {
    std::lock_guard<std::mutex> guard(Lock);
    return AcceptedCounts;
  }

 private:
  std::string Reply(const std::string& request) {
    std::lock_guard<std::mutex> guard(Lock);
    constexpr std::string_view kAnswer = "\r\nAuthorization: Digest ";
    const size_t at = request.find(kAnswer);
    bool stale = false;
    if (at != std::string::npos) {
      ++Answers;
      const size_t begin = at + kAnswer.size();
      const std::string answer = request.substr(begin, request.find("\r\n", begin) - begin);
      if (Valid(answer)) {
        AcceptedCounts.push_back(HUtils::AuthParameter(answer, "nc") + " " +
                                 HUtils::AuthParameter(answer, "cnonce"));
        return "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
      }
      stale = !OldNonce.empty() && HUtils::AuthParameter(answer, "nonce") == OldNonce;
    }
    if (RotateNonce) Nonce = "r" + std::to_string(++Rotations);
    std::string reply = "HTTP/1.1 401 Unauthorized\r\n";
    for (std::string challenge : Challenges) {
      if (const size_t n = challenge.find("%n"); n != std::string::npos) challenge.replace(n, 2, Nonce);
      if (stale && challenge.starts_with("Digest")) challenge += ", stale=true";
      reply += "WWW-Authenticate: " + challenge + "\r\n";
    }
    return reply + "Content-Length: 0\r\n\r\n";
  }

  bool Valid(const std::string& answer) const {
    const auto get = [&answer](const char* name) { return HUtils::AuthParameter(answer, name); };
    const std::string algorithm = get("algorithm");
    const bool sha = algorithm == "SHA-256";
    if (!algorithm.empty() && algorithm != "MD5" && !sha) return false;
    const auto hash = [sha](const std::string& text) {
      return sha ? HUtils::SHA256Hex(text) : HUtils::MD5Hex(text);
    };
    if (get("username") != kUser || get("realm") != kRealm || get("nonce") != Nonce) return false;
    const std::string ha1 = hash(std::string(kUser) + ":" + kRealm + ":" + kPassword);
    const std::string ha2 = hash("GET:" + get("uri"));
    const std::string expected =
        get("qop").empty() ? hash(ha1 + ":" + Nonce + ":" + ha2)
                           : hash(ha1 + ":" + Nonce + ":" + get("nc") + ":" + get("cnonce") + ":auth:" + ha2);
    return get("response") == expected;
  }

  const std::vector<std::string> Challenges;
  std::mutex Lock;  // guards the members below; the connection threads and the test use them
  std::string Nonce = "n1";
  std::string OldNonce;
  bool RotateNonce = false;
  int Rotations = 0;
  size_t Answers = 0;  // Digest answers received, accepted or not
  std::vector<std::string> AcceptedCounts;
};

korvalt::DEVICE_INFO Camera(uint16_t port, const char* password = kPassword) {
  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = port;
  device.NetworkTimeout = 5000;
  device.UserName = kUser;
  device.Password = password;
  return device;
}

struct ChallengeListCase {
  const char* Name;
  std::vector<std::string> Challenges;
};

class DigestChallengeLists : public ::testing::TestWithParam<ChallengeListCase> {};

// Every challenge of the camera's refusal is read: Digest is learnt wherever the camera lists it,
// and the Digest challenge answered is one the module can answer.
TEST_P(DigestChallengeLists, TheAnswerableDigestChallengeIsAnsweredWhereverItStands) {
  DigestCamera camera(GetParam().Challenges);
  ScriptedTcpServer server(camera.Handler());
  CHttpSender sender(Camera(server.Port()));
  ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/config/io.cgi")));
  EXPECT_EQ(sender.GetStatusCode(), 200u);
  EXPECT_EQ(sender.GetRememberedScheme(), CHttpSender::kSchemeDigest);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, DigestChallengeLists,
    ::testing::Values(
        // Basic listed before Digest: the password still goes only as a Digest answer.
        ChallengeListCase{"BasicListedFirst",
                          {"Basic realm=\"cam\"", "Digest realm=\"cam\", nonce=\"%n\", qop=\"auth\""}},
        // Strongest first, as RFC 7616 orders them, led by one the module cannot compute.
        ChallengeListCase{"UnanswerableDigestFirst",
                          {"Digest realm=\"cam\", nonce=\"%n\", qop=\"auth\", algorithm=SHA-512-256",
                           "Digest realm=\"cam\", nonce=\"%n\", qop=\"auth\", algorithm=SHA-256",
                           "Digest realm=\"cam\", nonce=\"%n\", qop=\"auth\", algorithm=MD5"}},
        // A Digest challenge without a nonce first, Basic next, then one that can be answered.
        ChallengeListCase{
            "IncompleteDigestFirst",
            {"Digest realm=\"cam\"", "Basic realm=\"cam\"", "Digest realm=\"cam\", nonce=\"%n\""}}),
    [](const auto& info) { return std::string(info.param.Name); });

// After the first answer every request carries the answer to the same nonce with the next count,
// one round trip each; a nonce the camera calls stale is answered anew within the request.
TEST(DigestNonce, IsAnsweredAgainWithACountingNc) {
  DigestCamera camera({"Digest realm=\"cam\", nonce=\"%n\", qop=\"auth\"", "Basic realm=\"cam\""});
  ScriptedTcpServer server(camera.Handler());
  CHttpSender sender(Camera(server.Port()));
  constexpr size_t kSends = 4;
  for (size_t i = 0; i < kSends; ++i) {
    ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/config/io.cgi"))) << i;
    EXPECT_EQ(sender.GetStatusCode(), 200u) << i;
  }
  // The first Send: asked without credentials, then the answer; then one request each.
  EXPECT_EQ(server.Requests().size(), 2 + (kSends - 1));
  const std::vector<std::string> accepted = camera.Accepted();
  ASSERT_EQ(accepted.size(), kSends);
  const std::string cnonce = accepted[0].substr(accepted[0].find(' '));
  for (size_t i = 0; i < kSends; ++i)
    EXPECT_EQ(accepted[i], HUtils::Format("%08x", static_cast<unsigned>(i + 1)) + cnonce) << "answer " << i;

  camera.ChangeNonce("n2");
  ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/config/io.cgi")));
  EXPECT_EQ(sender.GetStatusCode(), 200u);
  EXPECT_EQ(camera.Accepted().back().substr(0, 8), "00000001");
}

// A wrong password against a camera that hands out a new nonce with every refusal: one refused
// answer per request, never a second one to the refusal's new nonce.
TEST(DigestNonce, AWrongPasswordIsRefusedOncePerRequest) {
  DigestCamera camera({"Digest realm=\"cam\", nonce=\"%n\", qop=\"auth\""});
  camera.NewNonceWithEveryRefusal();
  ScriptedTcpServer server(camera.Handler());
  CHttpSender sender(Camera(server.Port(), "wrong"));
  constexpr size_t kSends = 3;
  for (size_t i = 0; i < kSends; ++i) {
    ASSERT_TRUE(sender.Send(CHttpRequest("GET", "/config/io.cgi"))) << i;
    EXPECT_EQ(sender.GetStatusCode(), 401u) << i;
    EXPECT_EQ(camera.AnswersSeen(), i + 1) << "after request " << i;
  }
}

}  // namespace
}  // namespace Web
