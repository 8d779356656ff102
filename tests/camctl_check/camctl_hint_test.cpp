// camctl's failure hints: each failure a new user meets first names its cause and the next step.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "camctl_check/camctl_check_fixture.h"
#include "support/camsim_fixture.h"
#include "support/scripted_tcp_server.h"

namespace camctlcheck {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testsupport::Camsim;
using testsupport::CamsimOptions;
using testsupport::ScriptedTcpServer;

class CamctlHint : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(CamctlPath().c_str(), X_OK) != 0) GTEST_SKIP() << "camctl not built";
  }
};

// camctl stream where no camera sends RTP. Streams of other programs on this host may still send
// to the module's ports (3556 upward), and the module hands what it hears while it probes a port
// to the host as pictures; such a run tells nothing about the hint, so it is repeated.
CamctlRun StreamWithoutCamera(const std::vector<std::string>& arguments) {
  constexpr int kAttempts = 3;
  CamctlRun run;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    run = RunCamctl(arguments);
    if (run.Out.find("frames delivered   0 ") != std::string::npos) break;
  }
  return run;
}

// The value of a header in an RTSP request, or "".
std::string Header(const std::string& request, const std::string& name) {
  const size_t at = request.find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  const size_t start = at + name.size() + 4;
  return request.substr(start, request.find("\r\n", start) - start);
}

// An RTSP server that answers every request as a camera would, PLAY included, and then sends
// no RTP: what a recorder sees when a firewall drops the camera's UDP. With refusedMethod, that
// request gets the refusal instead: a status line's code and text, and any headers.
ScriptedTcpServer::Handler SilentRtspCamera(const std::string& refusedMethod = {},
                                            const std::string& refusal = {}) {
  return [refusedMethod, refusal](ScriptedTcpServer::Connection& connection) {
    while (const auto request = connection.ReadRequest()) {
      const std::string method = request->substr(0, request->find(' '));
      const std::string cseq = "CSeq: " + Header(*request, "CSeq") + "\r\n";
      std::string reply = "RTSP/1.0 200 OK\r\n" + cseq;
      if (method == refusedMethod) {
        reply = "RTSP/1.0 " + refusal + "\r\n" + cseq + "\r\n";
      } else if (method == "DESCRIBE") {
        const std::string sdp =
            "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=camera\r\nt=0 0\r\na=control:*\r\n"
            "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:trackID=1\r\n";
        // A camera behind address translation names an address the recorder cannot reach.
        reply +=
            "Content-Base: rtsp://10.99.99.99:554/rtpvideo1.sdp/\r\nContent-Type: application/sdp\r\n"
            "Content-Length: " +
            std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
      } else if (method == "SETUP") {
        reply += "Session: 5D8A2C41;timeout=60\r\nTransport: " + Header(*request, "Transport") +
                 ";server_port=6970-6971\r\n\r\n";
      } else if (method == "PLAY" || method == "TEARDOWN") {
        reply += "Session: 5D8A2C41\r\n\r\n";
      } else {
        reply += "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN\r\n\r\n";
      }
      if (!connection.Send(reply)) return;
    }
  };
}

TEST_F(CamctlHint, EveryCommandAgainstAClosedPortNamesTheAddress) {
  const std::string port = std::to_string(ClosedPort());
  ASSERT_NE(port, "0");
  TempDir presets;
  const std::string hint = "nothing listens on 127.0.0.1:" + port + ": wrong address or port?\n";
  struct Case {
    std::vector<std::string> Arguments;
    bool OnStderr;
    std::string Expected;
  };
  const Case cases[] = {
      {{"stream", "--seconds", "1"},
       false,
       "error              no frame arrived\nhint               " + hint},
      {{"query"}, false, "hint        " + hint},
      // The module keeps a failed first poll to itself; camctl notices the inputs without a state.
      {{"io", "--inputs", "2"}, false, "hint     " + hint},
      {{"ptz", "preset", "go", "home", "--param", "3=001122AABBCC", "--preset-dir", presets.Path()},
       true,
       "camctl ptz: hint: " + hint},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.Arguments;
    arguments.insert(arguments.end(), {"--port", port});
    const CamctlRun run = c.Arguments[0] == "stream" ? StreamWithoutCamera(arguments) : RunCamctl(arguments);
    EXPECT_EQ(run.Status, 1) << c.Arguments[0];
    EXPECT_THAT(c.OnStderr ? run.Err : run.Out, HasSubstr(c.Expected)) << run.Out << run.Err;
  }
}

TEST_F(CamctlHint, QueryWithAWrongPasswordNamesTheUserAndTheChallenge) {
  CamsimOptions options;
  options.Auth = "digest";
  Camsim camera(options);
  ASSERT_TRUE(camera.Ok());
  const std::string port = std::to_string(camera.HttpPort());

  CamctlRun run = RunCamctl({"query", "--port", port, "--user", "admin", "--password", "wrong"});
  EXPECT_EQ(run.Status, 1);
  EXPECT_THAT(run.Out, HasSubstr("result      FAILED, code 3: Failed to get camera properties\n"));
  EXPECT_THAT(run.Out,
              HasSubstr("hint        the camera refuses user admin: HTTP 401, Digest realm \"Quenlark\": "
                        "wrong user name or password?\n"));

  // No user at all is a different mistake with a different next step.
  run = RunCamctl({"query", "--port", port, "--json"});
  EXPECT_EQ(run.Status, 1);
  EXPECT_THAT(run.Out,
              HasSubstr(",\"hint\":\"the camera asks for a user name and password: HTTP 401, Digest realm "
                        "\\\"Quenlark\\\"; give --user and --password\"}\n"));

  // The right password: no hint.
  run = RunCamctl({"query", "--port", port, "--user", "admin", "--password", "secret"});
  EXPECT_EQ(run.Status, 0);
  EXPECT_THAT(run.Out, Not(HasSubstr("hint")));
}

TEST_F(CamctlHint, CameraFaultsNameWhatTheCameraDid) {
  Camsim camera;
  ASSERT_TRUE(camera.Ok());
  const std::string port = std::to_string(camera.HttpPort());
  const std::string request = "GET /common/info.cgi";
  struct Case {
    std::string Kind;
    int Value;
    std::string Hint;
  };
  const Case cases[] = {
      {"status", 500,
       "the camera answers " + request + " with HTTP 500: camera fault? restart it and try again"},
      {"empty", 0,
       "the camera answers " + request + " with an empty reply: camera fault? restart it and try again"},
      {"close", 0,
       "127.0.0.1:" + port + " closed the connection without answering " + request + ": is " + port +
           " the camera's HTTP port?"},
      // camctl gives up on the module's query after a second, and its own request after two.
      {"stall", 5000,
       "127.0.0.1:" + port + " accepts connections but did not answer " + request +
           " within 2 s: camera hung or overloaded? restart it"},
  };
  for (const Case& c : cases) {
    // Enough for every request of the module's query and of camctl's probes.
    ASSERT_TRUE(camera.InjectFault(c.Kind, 20, c.Value));
    const CamctlRun run = RunCamctl({"query", "--port", port, "--timeout", "1"});
    EXPECT_EQ(run.Status, 1) << c.Kind;
    EXPECT_THAT(run.Out + run.Err,
                HasSubstr("hint" + std::string(c.Kind == "stall" ? ": " : "        ") + c.Hint))
        << c.Kind << "\n"
        << run.Out << run.Err;
    ASSERT_TRUE(camera.InjectFault("none"));
  }
}

TEST_F(CamctlHint, StreamToAnRtspPortWithNothingBehindItNamesThePort) {
  CamsimOptions options;
  options.Rtsp = false;  // profile 1 still names the port
  options.RtspPort = ClosedPort();
  ASSERT_NE(options.RtspPort, 0);
  Camsim camera(options);
  ASSERT_TRUE(camera.Ok());

  const CamctlRun run =
      StreamWithoutCamera({"stream", "--port", std::to_string(camera.HttpPort()), "--seconds", "1"});
  EXPECT_EQ(run.Status, 1);
  EXPECT_THAT(run.Out, HasSubstr("hint               RTSP port " + std::to_string(options.RtspPort) +
                                 " accepts no connection"));
}

TEST_F(CamctlHint, StreamWithoutRtpAfterPlaySuspectsAFirewall) {
  ScriptedTcpServer rtsp(SilentRtspCamera());
  CamsimOptions options;
  options.Rtsp = false;
  options.RtspPort = rtsp.Port();
  Camsim camera(options);
  ASSERT_TRUE(camera.Ok());

  const CamctlRun run = StreamWithoutCamera(
      {"stream", "--port", std::to_string(camera.HttpPort()), "--seconds", "1", "--verbose"});
  EXPECT_EQ(run.Status, 1);
  const std::string hint = LineWith(run.Out, "hint ");
  // "... PLAY answered but no RTP arrived on UDP 3556-3557: a firewall between recorder and camera?"
  const std::string lead = "PLAY answered but no RTP arrived on UDP ";
  const std::string tail = ": a firewall between recorder and camera?";
  const size_t at = hint.find(lead);
  ASSERT_NE(at, std::string::npos) << run.Out;
  ASSERT_GE(hint.size(), tail.size());
  ASSERT_EQ(hint.compare(hint.size() - tail.size(), tail.size(), tail), 0) << run.Out;
  const std::string range = hint.substr(at + lead.size(), hint.size() - tail.size() - at - lead.size());
  int rtp = 0;
  int rtcp = 0;
  char dash = 0;
  ASSERT_EQ(std::sscanf(range.c_str(), "%d%c%d", &rtp, &dash, &rtcp), 3) << range;
  ASSERT_EQ(dash, '-');
  // The module's own range: an RTP port from 3556, even, and its RTCP port next to it.
  EXPECT_GE(rtp, 3556);
  EXPECT_EQ(rtp % 2, 0);
  EXPECT_EQ(rtcp, rtp + 1);
  EXPECT_THAT(run.Out,
              HasSubstr("probe              RTP on UDP " + std::to_string(rtp) + ": nothing within 2 s\n"));

  // camctl's own session asked for those ports, on the address it reached, for the stream the
  // SDP names; and it ended the session.
  std::vector<std::string> lines;
  for (const std::string& request : rtsp.Requests()) lines.push_back(request.substr(0, request.find("\r\n")));
  const std::string base = "rtsp://127.0.0.1:" + std::to_string(rtsp.Port()) + "/rtpvideo1.sdp";
  EXPECT_THAT(lines, ::testing::IsSupersetOf(
                         {"DESCRIBE " + base + " RTSP/1.0", "SETUP " + base + "/trackID=1 RTSP/1.0",
                          "PLAY " + base + "/ RTSP/1.0", "TEARDOWN " + base + "/ RTSP/1.0"}));
  bool askedForThePorts = false;
  for (const std::string& request : rtsp.Requests()) {
    askedForThePorts = askedForThePorts || Header(request, "Transport")
                                                   .find("client_port=" + std::to_string(rtp) + "-" +
                                                         std::to_string(rtcp)) != std::string::npos;
  }
  EXPECT_TRUE(askedForThePorts);
}

TEST_F(CamctlHint, RtspRefusalsNameTheRequestAndTheNextStep) {
  struct Case {
    std::string Method;
    std::string Refusal;
    std::string Hint;
  };
  const Case cases[] = {
      // RTSP may ask for credentials where HTTP did not.
      {"DESCRIBE", "401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"QL cam\"",
       "the camera's RTSP service asks for a user name and password: RTSP 401, Basic realm \"QL cam\"; give "
       "--user and --password"},
      {"DESCRIBE", "404 Not Found",
       "the camera does not know DESCRIBE of rtpvideo1.sdp: RTSP 404; is this a Quenlark camera, or its "
       "firmware too old?"},
      {"SETUP", "461 Unsupported Transport",
       "the camera refuses RTP over UDP: RTSP 461 to SETUP; allow UDP streaming in its settings?"},
  };
  for (const Case& c : cases) {
    ScriptedTcpServer rtsp(SilentRtspCamera(c.Method, c.Refusal));
    CamsimOptions options;
    options.Rtsp = false;
    options.RtspPort = rtsp.Port();
    Camsim camera(options);
    ASSERT_TRUE(camera.Ok());
    const CamctlRun run =
        StreamWithoutCamera({"stream", "--port", std::to_string(camera.HttpPort()), "--seconds", "1"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_THAT(run.Out, HasSubstr("hint               " + c.Hint + "\n")) << run.Out;
  }
}

TEST_F(CamctlHint, ModuleLinesOfLevelThreeOnlyWithVerbose) {
  // A movement to a camera that is not there: the module's PTZ thread reports the request it could
  // not send at level 3, before the 300 ms camctl waits after a movement.
  TempDir presets;
  const std::vector<std::string> move = {"ptz",          "move",
                                         "left",         "8",
                                         "--for",        "0",
                                         "--port",       std::to_string(ClosedPort()),
                                         "--param",      "3=001122AABBCC",
                                         "--preset-dir", presets.Path()};
  CamctlRun run = RunCamctl(move);
  EXPECT_THAT(run.Err, HasSubstr(" [2] OPEN DRIVER"));
  EXPECT_THAT(run.Err, Not(HasSubstr(" [3] ")));

  std::vector<std::string> verbose = move;
  verbose.push_back("--verbose");
  run = RunCamctl(verbose);
  EXPECT_THAT(run.Err, HasSubstr(" [2] OPEN DRIVER"));
  EXPECT_THAT(run.Err, HasSubstr(" [3] "));
  EXPECT_THAT(LineWith(run.Err, " [3] "), HasSubstr("cannot send request"));
}

}  // namespace
}  // namespace camctlcheck
