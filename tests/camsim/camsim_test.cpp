// The camera simulator as the driver's tests see it: CGI replies, authentication, simulator controls,
// faults and the RTSP stream.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/camsim_fixture.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/decoder.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace {

using testsupport::Camsim;
using testsupport::CamsimOptions;

struct HttpResult {
  CURLcode Code = CURLE_OK;
  long Status = 0;
  std::string Body;
  std::string Challenge;  // WWW-Authenticate
};

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

size_t CollectChallenge(char* data, size_t size, size_t count, void* out) {
  const std::string line(data, size * count);
  const std::string name = "WWW-Authenticate: ";
  if (line.compare(0, name.size(), name) == 0) *static_cast<std::string*>(out) = line.substr(name.size());
  return size * count;
}

// One GET with libcurl, an HTTP client independent of camsim. handle may be reused for keep-alive.
HttpResult Get(CURL* handle, uint16_t port, const std::string& path, long auth = CURLAUTH_NONE,
               const std::string& user = "", const std::string& password = "", long timeoutMs = 5000) {
  HttpResult result;
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &result.Body);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, CollectChallenge);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &result.Challenge);
  curl_easy_setopt(handle, CURLOPT_HTTPAUTH, auth);
  curl_easy_setopt(handle, CURLOPT_USERNAME, auth == CURLAUTH_NONE ? nullptr : user.c_str());
  curl_easy_setopt(handle, CURLOPT_PASSWORD, auth == CURLAUTH_NONE ? nullptr : password.c_str());
  result.Code = curl_easy_perform(handle);
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result.Status);
  return result;
}

HttpResult Get(uint16_t port, const std::string& path, long auth = CURLAUTH_NONE,
               const std::string& user = "", const std::string& password = "", long timeoutMs = 5000) {
  CURL* handle = curl_easy_init();
  HttpResult result = Get(handle, port, path, auth, user, password, timeoutMs);
  curl_easy_cleanup(handle);
  return result;
}

// name=value lines ended by CR LF, as the camera answers.
std::map<std::string, std::string> Lines(const std::string& body) {
  std::map<std::string, std::string> values;
  size_t start = 0;
  while (start < body.size()) {
    const size_t end = body.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "line without CR LF in: " << body;
      break;
    }
    const std::string line = body.substr(start, end - start);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    start = end + 2;
  }
  return values;
}

// The driver's rule: width / height + 0.625, truncated, is 2 for the 525-line sizes.
bool IsNtscSize(const std::string& resolution) {
  unsigned w = 0, h = 0;
  if (std::sscanf(resolution.c_str(), "%ux%u", &w, &h) != 2 || h == 0) return false;
  return static_cast<int>(static_cast<double>(w) / h + 0.625) == 2;
}

TEST(CamsimTest, StartsAndReportsItsPorts) {
  Camsim cam;
  ASSERT_TRUE(cam.Ok());
  EXPECT_NE(cam.HttpPort(), 0);
  EXPECT_EQ(cam.RtspPort(), 554);  // no RTSP server: profile 1 names the default port
  EXPECT_EQ(Get(cam.HttpPort(), "/common/info.cgi").Status, 200);
}

TEST(CamsimTest, CgiRepliesCarryTheirKeys) {
  CamsimOptions options;
  options.Inputs = 2;
  options.Outputs = 2;
  options.Ptz = true;
  options.ExtraArgs = {"--mac", "00:11:22:33:44:55", "--audio", "yes"};
  Camsim cam(options);
  ASSERT_TRUE(cam.Ok());
  const struct {
    std::string Path;
    std::map<std::string, std::string> Expected;  // empty value: only present
  } cases[] = {
      {"/common/info.cgi",
       {{"model", "QL-3110"},
        {"version", ""},
        {"macaddr", "00:11:22:33:44:55"},
        {"inputs", "2"},
        {"outputs", "2"},
        {"ptz", ""}}},
      {"/config/stream_info.cgi",
       {{"videos", "MJPEG,MPEG4,H264"}, {"framerates", "30,15,5"}, {"resolutions", ""}, {"audios", ""}}},
      {"/config/rs485.cgi", {{"enable", "yes"}}},
      {"/config/video.cgi?profileid=1",
       {{"profileid", "1"},
        {"resolution", ""},
        {"codec", "H264"},
        {"bitrate", ""},
        {"framerate", ""},
        {"goplength", ""},
        {"format", "RTP"},
        {"port", "554"},
        {"quality", ""},
        {"vbr", ""},
        {"multicast", "off"},
        {"multicast_addr", "228.0.0.1"},
        {"multicast_port", "10000"}}},
      {"/config/video.cgi?profileid=2", {{"profileid", "2"}, {"codec", ""}, {"port", ""}}},
      {"/config/io.cgi", {{"in1", "off"}, {"in2", "off"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path);
    const HttpResult r = Get(cam.HttpPort(), c.Path);
    ASSERT_EQ(r.Status, 200);
    const auto values = Lines(r.Body);
    for (const auto& [key, value] : c.Expected) {
      ASSERT_TRUE(values.count(key)) << key;
      EXPECT_FALSE(values.at(key).empty()) << key;
      if (!value.empty()) {
        EXPECT_EQ(values.at(key), value) << key;
      }
    }
  }
  EXPECT_EQ(Get(cam.HttpPort(), "/config/nothing.cgi").Status, 404);
  EXPECT_EQ(Get(cam.HttpPort(), "/config/video.cgi?profileid=3").Status, 404);
}

TEST(CamsimTest, StreamInformationFollowsTheVideoStandard) {
  for (const std::string standard : {"ntsc", "pal"}) {
    SCOPED_TRACE(standard);
    CamsimOptions options;
    options.Standard = standard;
    Camsim cam(options);
    ASSERT_TRUE(cam.Ok());
    const auto profile = Lines(Get(cam.HttpPort(), "/config/video.cgi?profileid=1").Body);
    const auto info = Lines(Get(cam.HttpPort(), "/config/stream_info.cgi").Body);
    const bool ntsc = standard == "ntsc";
    // The driver derives the standard from profile 1's size.
    EXPECT_EQ(IsNtscSize(profile.at("resolution")), ntsc);
    EXPECT_EQ(info.at("framerates"), ntsc ? "30,15,5" : "25,12,5");
    EXPECT_NE(info.at("resolutions").find(ntsc ? "704x480" : "704x576"), std::string::npos);
    EXPECT_NE(info.at("resolutions").find("640x480"), std::string::npos);  // dropped by the 525-line filter
    EXPECT_TRUE(info.at("audios").empty());
  }
}

TEST(CamsimTest, AuthenticationAcceptsTheUserAndRefusesOthers) {
  const struct {
    std::string Scheme;
    std::vector<std::string> Extra;
    long CurlAuth;
    std::string ChallengeStart;
    bool Qop;
  } cases[] = {
      {"basic", {}, CURLAUTH_BASIC, "Basic realm=", false},
      {"digest", {}, CURLAUTH_DIGEST, "Digest realm=", true},
      {"digest", {"--digest-qop", "no"}, CURLAUTH_DIGEST, "Digest realm=", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Scheme + (c.Extra.empty() ? "" : " without qop"));
    CamsimOptions options;
    options.Auth = c.Scheme;
    options.ExtraArgs = c.Extra;
    Camsim cam(options);
    ASSERT_TRUE(cam.Ok());
    const uint16_t port = cam.HttpPort();
    EXPECT_EQ(Get(port, "/config/io.cgi", c.CurlAuth, "admin", "secret").Status, 200);
    EXPECT_EQ(Get(port, "/config/video.cgi?profileid=1&bitrate=500", c.CurlAuth, "admin", "secret").Status,
              200);
    EXPECT_EQ(Get(port, "/config/io.cgi", c.CurlAuth, "admin", "wrong").Status, 401);
    EXPECT_EQ(Get(port, "/config/io.cgi", c.CurlAuth, "intruder", "secret").Status, 401);
    const HttpResult missing = Get(port, "/common/info.cgi");
    EXPECT_EQ(missing.Status, 401);
    EXPECT_EQ(missing.Challenge.rfind(c.ChallengeStart, 0), 0u) << missing.Challenge;
    EXPECT_EQ(missing.Challenge.find("qop=\"auth\"") != std::string::npos, c.Qop) << missing.Challenge;
    // The other scheme is refused even with the right password.
    const long other = c.CurlAuth == CURLAUTH_BASIC ? CURLAUTH_DIGEST : CURLAUTH_BASIC;
    EXPECT_EQ(Get(port, "/config/io.cgi", other, "admin", "secret").Status, 401);
    EXPECT_EQ(Get(port, "/sim/state").Status, 200);  // controls need no credentials
  }
}

TEST(CamsimTest, DigestAnswerWithForeignNonceIsRefused) {
  CamsimOptions options;
  options.Auth = "digest";
  Camsim cam(options);
  ASSERT_TRUE(cam.Ok());
  // A well-formed answer to a nonce this camera never issued (one from before a restart).
  const std::string header =
      "Digest username=\"admin\", realm=\"Quenlark\", "
      "nonce=\"0000000000000001ffffffffffffffffffffffffffffffff\", "
      "uri=\"/config/io.cgi\", response=\"00000000000000000000000000000000\", qop=auth, nc=00000001, "
      "cnonce=\"abc\"";
  CURL* handle = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, ("Authorization: " + header).c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  EXPECT_EQ(Get(handle, cam.HttpPort(), "/config/io.cgi").Status, 401);
  curl_slist_free_all(headers);
  curl_easy_cleanup(handle);
}

TEST(CamsimTest, ProfileSetRequestUpdatesTheProfile) {
  Camsim cam;
  ASSERT_TRUE(cam.Ok());
  const std::string set =
      "/config/video.cgi?profileid=1&resolution=176x120&bitrate=750&codec=MJPEG&framerate=25&goplength=1"
      "&format=RTP&multicast=off&multicast_addr=228.0.0.1&multicast_port=10000&port=8554&quality=4";
  const HttpResult reply = Get(cam.HttpPort(), set);
  ASSERT_EQ(reply.Status, 200);
  const auto after = Lines(Get(cam.HttpPort(), "/config/video.cgi?profileid=1").Body);
  EXPECT_EQ(Lines(reply.Body), after);  // the set request answers with the updated profile
  const std::map<std::string, std::string> expected = {
      {"resolution", "176x120"}, {"bitrate", "750"}, {"codec", "MJPEG"}, {"framerate", "25"},
      {"goplength", "1"},        {"port", "8554"},   {"quality", "4"}};
  for (const auto& [key, value] : expected) EXPECT_EQ(after.at(key), value) << key;
  EXPECT_NE(Lines(Get(cam.HttpPort(), "/config/video.cgi?profileid=2").Body).at("resolution"), "176x120");

  // A refused value changes nothing, not even the valid parameters beside it.
  for (const std::string bad : {"&resolution=abc", "&resolution=353x240", "&codec=H265", "&framerate=0",
                                "&quality=6", "&port=70000", "&vbr=x"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Get(cam.HttpPort(), "/config/video.cgi?profileid=1&bitrate=64" + bad).Status, 400);
  }
  EXPECT_EQ(Lines(Get(cam.HttpPort(), "/config/video.cgi?profileid=1").Body), after);
}

TEST(CamsimTest, LogRecordsRequestLinesAndConnections) {
  Camsim cam;
  ASSERT_TRUE(cam.Ok());
  cam.ClearLog();
  CURL* handle = curl_easy_init();
  for (const char* path : {"/common/info.cgi", "/config/io.cgi", "/config/video.cgi?profileid=2"})
    EXPECT_EQ(Get(handle, cam.HttpPort(), path).Status, 200);
  curl_easy_cleanup(handle);
  const std::vector<std::string> expected = {"GET /common/info.cgi HTTP/1.1", "GET /config/io.cgi HTTP/1.1",
                                             "GET /config/video.cgi?profileid=2 HTTP/1.1"};
  EXPECT_EQ(cam.RequestLog(), expected);  // /sim/ requests stay out of the log
  EXPECT_EQ(cam.ConnectionCount(), 1);    // one kept-alive connection
  EXPECT_EQ(Get(cam.HttpPort(), "/config/rs485.cgi").Status, 200);
  EXPECT_EQ(cam.ConnectionCount(), 2);
  cam.ClearLog();
  EXPECT_TRUE(cam.RequestLog().empty());
  EXPECT_EQ(cam.ConnectionCount(), 0);
}

TEST(CamsimTest, InjectedFaultsHitTheNextRequestsOnly) {
  Camsim cam;
  ASSERT_TRUE(cam.Ok());
  const uint16_t port = cam.HttpPort();

  ASSERT_TRUE(cam.InjectFault("status", 2, 503));
  EXPECT_EQ(Get(port, "/config/io.cgi").Status, 503);
  EXPECT_EQ(Get(port, "/config/io.cgi").Status, 503);
  EXPECT_EQ(Get(port, "/config/io.cgi").Status, 200);

  ASSERT_TRUE(cam.InjectFault("empty"));
  HttpResult empty = Get(port, "/common/info.cgi");
  EXPECT_EQ(empty.Status, 200);
  EXPECT_TRUE(empty.Body.empty());

  ASSERT_TRUE(cam.InjectFault("close"));
  EXPECT_EQ(Get(port, "/common/info.cgi").Code, CURLE_GOT_NOTHING);

  ASSERT_TRUE(cam.InjectFault("stall", 1, 10000));
  EXPECT_EQ(Get(port, "/common/info.cgi", CURLAUTH_NONE, "", "", 200).Code, CURLE_OPERATION_TIMEDOUT);
  ASSERT_TRUE(cam.InjectFault("stall", 1, 20));
  EXPECT_EQ(Get(port, "/common/info.cgi").Status, 200);  // a short stall still answers

  ASSERT_TRUE(cam.InjectFault("status", 5, 500));
  ASSERT_TRUE(cam.InjectFault("none"));
  EXPECT_EQ(Get(port, "/common/info.cgi").Status, 200);
  EXPECT_FALSE(cam.InjectFault("explode"));

  // Every faulted request still went to the log.
  EXPECT_EQ(cam.RequestLog().size(), 8u);
}

TEST(CamsimTest, InputsAndOutputsSwitch) {
  CamsimOptions options;
  options.Inputs = 2;
  options.Outputs = 1;
  Camsim cam(options);
  ASSERT_TRUE(cam.Ok());
  ASSERT_TRUE(cam.SetInput(2, true));
  auto io = Lines(Get(cam.HttpPort(), "/config/io.cgi").Body);
  EXPECT_EQ(io.at("in1"), "off");
  EXPECT_EQ(io.at("in2"), "on");
  EXPECT_FALSE(cam.SetInput(3, true));

  EXPECT_EQ(Get(cam.HttpPort(), "/config/io.cgi?out1=on").Status, 200);
  EXPECT_EQ(Lines(cam.SimGet("/sim/state")).at("out1"), "on");
  EXPECT_EQ(Get(cam.HttpPort(), "/config/io.cgi?out2=on").Status, 400);
  EXPECT_EQ(Get(cam.HttpPort(), "/config/io.cgi?out1=maybe").Status, 400);
  EXPECT_EQ(Get(cam.HttpPort(), "/config/io.cgi?out1=off").Status, 200);
  EXPECT_EQ(Lines(cam.SimGet("/sim/state")).at("out1"), "off");
}

TEST(CamsimTest, PtzRequestsAndPresets) {
  CamsimOptions options;
  options.Ptz = true;
  Camsim cam(options);
  ASSERT_TRUE(cam.Ok());
  const uint16_t port = cam.HttpPort();
  const struct {
    std::string Path;
    long Status;
  } steps[] = {
      {"/config/ptz_preset.cgi?name=3&act=go", 404},    {"/config/ptz_preset.cgi?name=3&act=del", 404},
      {"/config/ptz_preset.cgi?name=3&act=add", 200},   {"/config/ptz_preset.cgi?name=3&act=go", 200},
      {"/config/ptz_preset.cgi?name=3&act=del", 200},   {"/config/ptz_preset.cgi?name=3&act=go", 404},
      {"/config/ptz_preset.cgi?name=256&act=add", 400}, {"/config/ptz_preset.cgi?name=1&act=jump", 400},
      {"/config/ptz_preset.cgi?name=255&act=add", 200}, {"/config/ptz_move_cont.cgi?p=-6&t=6&z=0", 200},
      {"/config/ptz_move_cont.cgi?p=x&t=0&z=0", 400},   {"/config/focus_cont.cgi?f=4294967295", 200},
  };
  for (const auto& s : steps) EXPECT_EQ(Get(port, s.Path).Status, s.Status) << s.Path;
  const auto state = Lines(cam.SimGet("/sim/state"));
  EXPECT_EQ(state.at("presets"), "255");
  EXPECT_EQ(state.at("pan"), "-6");
  EXPECT_EQ(state.at("tilt"), "6");
  EXPECT_EQ(state.at("focus"), "-1");  // the unsigned form of -1
}

TEST(CamsimTest, KillAndRestartKeepThePorts) {
  Camsim cam;
  ASSERT_TRUE(cam.Ok());
  const uint16_t port = cam.HttpPort();
  cam.Kill();
  EXPECT_FALSE(cam.Ok());
  EXPECT_EQ(Get(port, "/common/info.cgi").Code, CURLE_COULDNT_CONNECT);
  ASSERT_TRUE(cam.Restart());
  EXPECT_EQ(cam.HttpPort(), port);
  EXPECT_EQ(Get(port, "/common/info.cgi").Status, 200);
}

TEST(CamsimTest, PresetStoreKeepsPresetsAcrossAKillAsFlashDoes) {
  const std::string store = ::testing::TempDir() + "camsim-presets-" + std::to_string(::getpid());
  std::remove(store.c_str());
  for (const bool kept : {false, true}) {
    SCOPED_TRACE(kept ? "with a store" : "without");
    CamsimOptions options;
    options.Ptz = true;
    if (kept) options.ExtraArgs = {"--preset-store", store};
    Camsim cam(options);
    ASSERT_TRUE(cam.Ok());
    for (const char* path : {"/config/ptz_preset.cgi?name=3&act=add", "/config/ptz_preset.cgi?name=7&act=add",
                             "/config/ptz_preset.cgi?name=3&act=del"})
      ASSERT_EQ(Get(cam.HttpPort(), path).Status, 200) << path;
    cam.Kill();
    ASSERT_TRUE(cam.Restart());
    EXPECT_EQ(Lines(cam.SimGet("/sim/state")).at("presets"), kept ? "7" : "");
    EXPECT_EQ(Get(cam.HttpPort(), "/config/ptz_preset.cgi?name=7&act=go").Status, kept ? 200 : 404);
  }
  std::remove(store.c_str());
}

// ---- RTSP --------------------------------------------------------------------------------------

class RtspConnection {
 public:
  explicit RtspConnection(uint16_t port) {
    Fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Connected = connect(Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RtspConnection() { close(Fd); }

  // Sends one request and reads the reply (headers plus Content-Length bytes of body).
  std::string Exchange(const std::string& request) {
    if (!Connected || send(Fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) return {};
    std::string reply;
    char chunk[2048];
    pollfd p{Fd, POLLIN, 0};
    while (poll(&p, 1, 10000) > 0) {
      const ssize_t n = recv(Fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      reply.append(chunk, static_cast<size_t>(n));
      const size_t end = reply.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      size_t length = 0;
      const size_t field = reply.find("Content-Length: ");
      if (field != std::string::npos && field < end) length = std::stoul(reply.substr(field + 16));
      if (reply.size() >= end + 4 + length) break;
    }
    return reply;
  }

  bool Connected = false;

 private:
  int Fd = -1;
};

std::string Header(const std::string& reply, const std::string& name) {
  const size_t at = reply.find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  const size_t start = at + name.size() + 4;
  return reply.substr(start, reply.find("\r\n", start) - start);
}

std::string Describe(uint16_t port, int cseq = 1) {
  RtspConnection rtsp(port);
  return rtsp.Exchange("DESCRIBE rtsp://127.0.0.1:" + std::to_string(port) +
                       "/rtpvideo1.sdp RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
                       "\r\nAccept: application/sdp\r\n\r\n");
}

TEST(CamsimRtspTest, DescribeFollowsProfileOneCodec) {
  CamsimOptions options;
  options.Rtsp = true;
  Camsim cam(options);
  ASSERT_TRUE(cam.Ok());
  EXPECT_EQ(Lines(Get(cam.HttpPort(), "/config/video.cgi?profileid=1").Body).at("port"),
            std::to_string(cam.RtspPort()));
  const struct {
    std::string Codec;
    std::string Expected;
  } cases[] = {{"H264", "H264/90000"}, {"MJPEG", "JPEG/90000"}, {"MPEG4", "MP4V-ES/90000"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Codec);
    ASSERT_EQ(Get(cam.HttpPort(), "/config/video.cgi?profileid=1&resolution=176x120&codec=" + c.Codec).Status,
              200);
    const std::string reply = Describe(cam.RtspPort());
    EXPECT_EQ(reply.rfind("RTSP/1.0 200 OK", 0), 0u) << reply;
    EXPECT_NE(reply.find(c.Expected), std::string::npos) << reply;
    const std::string configuration = c.Codec == "H264" ? "sprop-parameter-sets=" : "config=";
    if (c.Codec != "MJPEG") {
      EXPECT_NE(reply.find(configuration), std::string::npos) << reply;
    }
  }
}

// A bound local UDP socket for RTP; its port follows in Port.
struct RtpSocket {
  RtpSocket() {
    Fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int size = 4 << 20;  // a 1080p key frame arrives as one burst
    setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    Bound = bind(Fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    socklen_t length = sizeof local;
    getsockname(Fd, reinterpret_cast<sockaddr*>(&local), &length);
    Port = ntohs(local.sin_port);
  }
  ~RtpSocket() { close(Fd); }
  int Fd = -1;
  unsigned Port = 0;
  bool Bound = false;
};

// DESCRIBE, SETUP of the video track to rtpPort, PLAY; the SDP in sdp. Returns the PLAY reply.
std::string Play(RtspConnection& rtsp, uint16_t rtspPort, unsigned rtpPort, std::string* sdp = nullptr) {
  const std::string base = "rtsp://127.0.0.1:" + std::to_string(rtspPort) + "/rtpvideo1.sdp";
  const std::string described = rtsp.Exchange("DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  if (sdp) *sdp = described;
  const size_t control = described.find("a=control:stream");
  if (control == std::string::npos) return "no track in: " + described;
  const std::string track = described.substr(control + 10, described.find("\r\n", control) - control - 10);
  const std::string setup =
      rtsp.Exchange("SETUP " + base + "/" + track + " RTSP/1.0\r\nCSeq: 2\r\n" +
                    "Transport: RTP/AVP/UDP;unicast;client_port=" + std::to_string(rtpPort) + "-" +
                    std::to_string(rtpPort + 1) + "\r\n\r\n");
  if (setup.rfind("RTSP/1.0 200 OK", 0) != 0) return setup;
  std::string session = Header(setup, "Session");
  session = session.substr(0, session.find(';'));
  return rtsp.Exchange("PLAY " + base + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + session +
                       "\r\nRange: npt=0.000-\r\n\r\n");
}

TEST(CamsimRtspTest, RtpArrivesOnClientPortsAfterPlay) {
  CamsimOptions options;
  options.Rtsp = true;
  Camsim cam(options);
  ASSERT_TRUE(cam.Ok());
  ASSERT_EQ(Get(cam.HttpPort(), "/config/video.cgi?profileid=1&resolution=176x120&framerate=15").Status, 200);

  RtpSocket receiver;
  ASSERT_TRUE(receiver.Bound);
  const int rtp = receiver.Fd;
  RtspConnection rtsp(cam.RtspPort());
  const std::string play = Play(rtsp, cam.RtspPort(), receiver.Port);
  ASSERT_EQ(play.rfind("RTSP/1.0 200 OK", 0), 0u) << play;

  uint8_t datagram[2048];
  pollfd p{rtp, POLLIN, 0};
  ASSERT_GT(poll(&p, 1, 10000), 0) << "no RTP within 10 s";
  const ssize_t n = recv(rtp, datagram, sizeof datagram, 0);
  ASSERT_GE(n, 12);
  EXPECT_EQ(datagram[0] >> 6, 2);     // RTP version 2
  EXPECT_EQ(datagram[1] & 0x7F, 96);  // the dynamic payload type of H.264

  // frames_sent counts the pictures a client gets (benchmarks compute losses from it): one per
  // marker packet, whether the payloader pushed single buffers or lists. Pictures sent around the
  // reads of the counter may fall on either side, hence the small tolerance.
  const auto framesSent = [&] {
    return std::stoll(Lines(Get(cam.HttpPort(), "/sim/state").Body).at("frames_sent"));
  };
  const long long sentBefore = framesSent();
  int markers = 0;
  while (markers < 20 && poll(&p, 1, 5000) > 0) {
    if (recv(rtp, datagram, sizeof datagram, 0) >= 12 && (datagram[1] & 0x80) != 0) ++markers;
  }
  ASSERT_EQ(markers, 20);
  const long long sentAfter = framesSent();
  EXPECT_NEAR(static_cast<double>(sentAfter - sentBefore), 20.0, 3.0);
}

// The RTP timestamps a client receives within wait (ms); stops early after a quiet second.
std::vector<uint32_t> RtpTimestamps(int fd, int waitMs) {
  std::vector<uint32_t> stamps;
  uint8_t datagram[2048];
  pollfd p{fd, POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (std::chrono::steady_clock::now() < end && poll(&p, 1, 1000) > 0) {
    if (recv(fd, datagram, sizeof datagram, 0) >= 12)
      stamps.push_back(uint32_t{datagram[4]} << 24 | uint32_t{datagram[5]} << 16 |
                       uint32_t{datagram[6]} << 8 | datagram[7]);
  }
  return stamps;
}

// A live camera cannot seek: a later client's PLAY with "Range: npt=0.000-" leaves the shared stream
// running. Once it flushed and restarted the encoder under every client (time stamps went back), and
// the RTSP server could abort on the stream the flush had emptied.
TEST(CamsimRtspTest, LaterClientsPlayDoesNotRestartTheSharedStream) {
  CamsimOptions options;
  options.Rtsp = true;
  Camsim cam(options);
  ASSERT_TRUE(cam.Ok());
  ASSERT_EQ(
      Get(cam.HttpPort(), "/config/video.cgi?profileid=1&resolution=176x120&codec=MJPEG&framerate=15").Status,
      200);
  RtpSocket first;
  RtspConnection firstRtsp(cam.RtspPort());
  ASSERT_EQ(Play(firstRtsp, cam.RtspPort(), first.Port).rfind("RTSP/1.0 200 OK", 0), 0u);
  const std::vector<uint32_t> before = RtpTimestamps(first.Fd, 700);
  ASSERT_FALSE(before.empty()) << "no RTP for the first client";

  RtpSocket second;
  RtspConnection secondRtsp(cam.RtspPort());
  const std::string play = Play(secondRtsp, cam.RtspPort(), second.Port);
  EXPECT_EQ(play.rfind("RTSP/1.0 200 OK", 0), 0u) << play;
  const std::vector<uint32_t> after = RtpTimestamps(first.Fd, 700);
  ASSERT_FALSE(after.empty()) << "the first client's stream stopped";
  uint32_t last = before.back();
  for (const uint32_t stamp : after) {
    EXPECT_GE(static_cast<int32_t>(stamp - last), 0) << "the first client's time stamps went back";
    last = stamp;
  }
  EXPECT_EQ(Get(cam.HttpPort(), "/sim/state").Status, 200);
}

TEST(CamsimRtspTest, RtspAuthenticationFollowsTheHttpScheme) {
  for (const std::string scheme : {"basic", "digest"}) {
    SCOPED_TRACE(scheme);
    CamsimOptions options;
    options.Rtsp = true;
    options.Auth = scheme;
    Camsim cam(options);
    ASSERT_TRUE(cam.Ok());
    const std::string unauthorized = Describe(cam.RtspPort());
    EXPECT_EQ(unauthorized.rfind("RTSP/1.0 401", 0), 0u) << unauthorized;
    EXPECT_EQ(Header(unauthorized, "WWW-Authenticate").rfind(scheme == "basic" ? "Basic" : "Digest", 0), 0u);

    for (const std::string password : {"secret", "wrong"}) {
      CURL* handle = curl_easy_init();
      const std::string url = "rtsp://127.0.0.1:" + std::to_string(cam.RtspPort()) + "/rtpvideo1.sdp";
      std::string body;
      curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
      curl_easy_setopt(handle, CURLOPT_RTSP_STREAM_URI, url.c_str());
      curl_easy_setopt(handle, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_DESCRIBE));
      curl_easy_setopt(handle, CURLOPT_HTTPAUTH, scheme == "basic" ? CURLAUTH_BASIC : CURLAUTH_DIGEST);
      curl_easy_setopt(handle, CURLOPT_USERNAME, "admin");
      curl_easy_setopt(handle, CURLOPT_PASSWORD, password.c_str());
      curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Collect);
      curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
      curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 10000L);
      curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
      curl_easy_perform(handle);
      long status = 0;
      curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
      curl_easy_cleanup(handle);
      EXPECT_EQ(status, password == "secret" ? 200 : 401) << password;
    }
  }
}

// ---- Replay of a capture (--replay) --------------------------------------------------------------

// The datagrams of a capture of tests/data/rtp (RFC 4571 framing).
std::vector<std::vector<uint8_t>> CapturePackets(const std::string& name) {
  std::ifstream in(std::string(QUENLARK_TEST_DATA) + "/rtp/" + name + ".rtp", std::ios::binary);
  const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<std::vector<uint8_t>> packets;
  for (size_t pos = 0; pos + 2 <= data.size();) {
    const size_t n = size_t{data[pos]} << 8 | data[pos + 1];
    packets.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(pos + 2),
                         data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), pos + 2 + n)));
    pos += 2 + n;
  }
  return packets;
}

CamsimOptions ReplayOptions(const std::string& capture, const std::string& auth = "none") {
  CamsimOptions options;
  options.Rtsp = true;
  options.Auth = auth;
  options.ExtraArgs = {"--replay", std::string(QUENLARK_TEST_DATA) + "/rtp/" + capture + ".rtp"};
  return options;
}

uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Across loops of the capture, a client gets the recorded packets in order, unchanged
// but for sequence numbers that count on by one and timestamps that step by one picture time at
// each picture, also where a loop begins again.
TEST(CamsimReplayTest, PacketsLoopWithContinuousSequenceAndTimestamps) {
  const struct {
    std::string Capture;
    std::string SdpHas;
    std::string SdpLacks;  // "": nothing to look for
    uint32_t PictureTicks;
    size_t Loops;  // loop starts to see (the 640x360 capture lasts 3 s)
  } cases[] = {
      // Parameter sets in band: no sprop in the SDP. The file carries no timing, so one
      // picture goes out every 3000 ticks (30 per second).
      {"h264_gst_inband_1080p", "a=rtpmap:96 H264/90000", "sprop-parameter-sets", 3000, 3},
      // Parameter sets only out of band: the side file's sprop goes into the SDP. Recorded at 10
      // pictures per second with their timestamps, which pace the replay.
      {"h264_gst_sdp_640x360", "sprop-parameter-sets=Z0LAFtkAoC/5cBagwMDUoAAAAwAgAAADApHixck=,aMuMsg==", "",
       9000, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Capture);
    const auto recorded = CapturePackets(c.Capture);
    ASSERT_FALSE(recorded.empty());
    Camsim cam(ReplayOptions(c.Capture));
    ASSERT_TRUE(cam.Ok());
    RtpSocket receiver;
    ASSERT_TRUE(receiver.Bound);
    RtspConnection rtsp(cam.RtspPort());
    std::string sdp;
    const std::string play = Play(rtsp, cam.RtspPort(), receiver.Port, &sdp);
    ASSERT_EQ(play.rfind("RTSP/1.0 200 OK", 0), 0u) << play;
    EXPECT_NE(sdp.find(c.SdpHas), std::string::npos) << sdp;
    if (!c.SdpLacks.empty()) {
      EXPECT_EQ(sdp.find(c.SdpLacks), std::string::npos) << sdp;
    }

    // Find where in the capture the first datagram stands by its payload, then follow it.
    const size_t wanted = c.Loops * recorded.size() + 10;
    std::vector<std::vector<uint8_t>> got;
    uint8_t buffer[65536];
    pollfd p{receiver.Fd, POLLIN, 0};
    while (got.size() < wanted && poll(&p, 1, 5000) > 0) {
      const ssize_t n = recv(receiver.Fd, buffer, sizeof buffer, 0);
      ASSERT_GE(n, 12);
      got.emplace_back(buffer, buffer + n);
    }
    ASSERT_EQ(got.size(), wanted) << "datagrams stopped coming";
    size_t at = 0;
    while (at < recorded.size() &&
           !std::equal(recorded[at].begin() + 12, recorded[at].end(), got[0].begin() + 12, got[0].end()))
      ++at;
    ASSERT_LT(at, recorded.size()) << "the first datagram is not from the capture";
    int loops = 0;
    for (size_t i = 1; i < got.size(); ++i) {
      SCOPED_TRACE("datagram " + std::to_string(i));
      const auto& before = got[i - 1];
      const auto& now = got[i];
      const auto& original = recorded[(at + i) % recorded.size()];
      if ((at + i) % recorded.size() == 0) ++loops;
      ASSERT_EQ(now.size(), original.size());
      EXPECT_TRUE(std::equal(original.begin() + 12, original.end(), now.begin() + 12)) << "payload changed";
      EXPECT_EQ(now[0], original[0]);
      EXPECT_EQ(now[1], original[1]) << "marker and payload type kept";
      EXPECT_EQ(Be32(&now[8]), Be32(&original[8])) << "SSRC kept";
      EXPECT_EQ(static_cast<uint16_t>(now[2] << 8 | now[3]),
                static_cast<uint16_t>((before[2] << 8 | before[3]) + 1));
      const uint32_t step = Be32(&now[4]) - Be32(&before[4]);
      EXPECT_EQ(step, (before[1] & 0x80) != 0 ? c.PictureTicks : 0u) << "one picture time per picture";
    }
    EXPECT_GE(loops, static_cast<int>(c.Loops));
    EXPECT_GT(std::stoll(Lines(cam.SimGet("/sim/state")).at("frames_sent")), 0);
  }
}

TEST(CamsimReplayTest, RefusesWhatItCannotServe) {
  Camsim cam(ReplayOptions("h264_gst_inband_1080p", "digest"));
  ASSERT_TRUE(cam.Ok());
  EXPECT_EQ(Describe(cam.RtspPort()).rfind("RTSP/1.0 401", 0), 0u) << "authentication as for HTTP";

  Camsim open(ReplayOptions("h264_gst_inband_1080p"));
  ASSERT_TRUE(open.Ok());
  RtspConnection rtsp(open.RtspPort());
  const std::string base = "rtsp://127.0.0.1:" + std::to_string(open.RtspPort());
  const struct {
    std::string Request;
    std::string Status;
  } cases[] = {
      {"DESCRIBE " + base + "/other.sdp RTSP/1.0\r\nCSeq: 1\r\n\r\n", "404"},
      {"SETUP " + base +
           "/rtpvideo1.sdp/stream=0 RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;interleaved=0-1\r\n\r\n",
       "461"},
      {"PLAY " + base + "/rtpvideo1.sdp RTSP/1.0\r\nCSeq: 3\r\nSession: nothing\r\n\r\n", "454"},
      {"RECORD " + base + "/rtpvideo1.sdp RTSP/1.0\r\nCSeq: 4\r\n\r\n", "501"},
  };
  for (const auto& c : cases) {
    const std::string reply = rtsp.Exchange(c.Request);
    EXPECT_EQ(reply.rfind("RTSP/1.0 " + c.Status, 0), 0u) << c.Request << reply;
  }
}

// The module plays the replayed 1080p capture through its exports and every picture it hands over
// decodes, also after the capture loops.
TEST(CamsimReplayTest, ModuleDecodesTheReplayedStream) {
  Camsim cam(ReplayOptions("h264_gst_inband_1080p", "digest"));
  ASSERT_TRUE(cam.Ok());
  hostkit::Module module;
  ASSERT_TRUE(module.Load(QUENLARK_MODULE_PATH)) << module.Error();
  hostkit::DebugSink debug;
  hostkit::SampleAllocator allocator;
  hostkit::DeviceParams params;
  params.Config.Port = cam.HttpPort();
  params.Config.UserName = "admin";
  params.Config.Password = "secret";
  std::mutex lock;
  std::condition_variable changed;
  std::unique_ptr<hostkit::Decoder> decoder;
  size_t frames = 0;
  std::vector<std::pair<int, int>> sizes;
  hostkit::FrameSink sink([&](const hostkit::FrameSample& sample) {
    std::lock_guard<std::mutex> guard(lock);
    if (!decoder) decoder = std::make_unique<hostkit::Decoder>(sample.FourCC);
    decoder->Decode(sample.Data.data(), sample.DataSize);
    sizes.emplace_back(decoder->Width, decoder->Height);
    ++frames;
    changed.notify_all();
    return true;
  });
  auto* driver = module.Create();
  ASSERT_TRUE(driver->Open(&debug, &allocator, &params));
  hostkit::ChannelSettings settings(33, 60, 1920, 1080);
  ASSERT_TRUE(driver->GetVideoCapture()->StartChannel(0, &sink, &settings));
  const size_t picturesPerLoop = 8;
  {
    std::unique_lock<std::mutex> guard(lock);
    EXPECT_TRUE(
        changed.wait_for(guard, std::chrono::seconds(15), [&] { return frames >= 3 * picturesPerLoop; }));
  }
  if (HasFailure()) {
    for (const auto& line : debug.Lines()) ADD_FAILURE() << line.Text;
  }
  EXPECT_TRUE(driver->GetVideoCapture()->StopChannel(0));
  module.Delete(driver);
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_TRUE(decoder);
  EXPECT_EQ(decoder->Errors, 0u);
  EXPECT_GE(decoder->Decoded + 1, frames) << "the decoder may hold one picture back";
  EXPECT_EQ(sizes.back(), std::make_pair(1920, 1080));
  EXPECT_EQ(allocator.Created.load(), allocator.Released.load());
}

}  // namespace
