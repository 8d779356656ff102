// camsim over TLS as the driver's HTTPS tests see it: the key it says it serves, plain HTTP turned off
// or redirected, and the log's count of how clients sent their credentials.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace {

constexpr int kReadyTimeoutMs = 20000;
constexpr auto kTermWait = std::chrono::seconds(3);
constexpr auto kPoll = std::chrono::milliseconds(5);
constexpr size_t kFingerprintDigits = 64;
constexpr size_t kMaxRtspReply = 64 * 1024;
constexpr timeval kRtspReadTimeout{10, 0};

// One camsim started with the given flags (and --no-rtsp unless they have --rtsps); its ready line's
// name=value words in Ready.
class TlsCamsim {
 public:
  explicit TlsCamsim(std::vector<std::string> flags) {
    std::vector<std::string> args = {QUENLARK_CAMSIM_PATH};
    // No encoder unless the test streams.
    if (std::find(flags.begin(), flags.end(), "--rtsps") == flags.end()) args.push_back("--no-rtsp");
    args.insert(args.end(), flags.begin(), flags.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The simulator is a fixture, not the code under test: sanitizer reports stay with the test.
    std::vector<std::string> envText;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view text(*entry);
      if (text.starts_with("TSAN_OPTIONS=") || text.starts_with("ASAN_OPTIONS=")) continue;
      envText.emplace_back(text);
    }
    envText.emplace_back("TSAN_OPTIONS=report_bugs=0:exitcode=0");
    envText.emplace_back("ASAN_OPTIONS=detect_leaks=0");
    std::vector<char*> envp;
    for (auto& entry : envText) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    const pid_t parent = getpid();
    Pid = fork();
    if (Pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      dup2(out[1], STDOUT_FILENO);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(out[1]);
    std::string line;
    if (Pid > 0 && ReadLine(out[0], line)) {
      std::istringstream words(line);
      for (std::string word; words >> word;)
        if (const size_t eq = word.find('='); eq != std::string::npos)
          Ready[word.substr(0, eq)] = word.substr(eq + 1);
    }
    close(out[0]);
  }

  ~TlsCamsim() {
    if (Pid <= 0) return;
    kill(Pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kTermWait;
    while (waitpid(Pid, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(kPoll);
    }
  }
  TlsCamsim(const TlsCamsim&) = delete;
  TlsCamsim& operator=(const TlsCamsim&) = delete;

  int Port(const std::string& name) const {
    const auto found = Ready.find(name);
    return found != Ready.end() ? std::stoi(found->second) : -1;
  }
  std::string KeySha256() const { return Ready.count("key-sha256") ? Ready.at("key-sha256") : ""; }

  std::map<std::string, std::string> Ready;

 private:
  static bool ReadLine(int fd, std::string& line) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyTimeoutMs);
    while (true) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char c = 0;
      if (read(fd, &c, 1) <= 0) return false;
      if (c == '\n') return true;
      line.push_back(c);
    }
  }

  pid_t Pid = -1;
};

struct Reply {
  CURLcode Code = CURLE_OK;
  long Status = 0;
  std::string Body;
  std::string Location;
};

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

size_t CollectLocation(char* data, size_t size, size_t count, void* out) {
  std::string line(data, size * count);
  const std::string name = "Location: ";
  if (line.compare(0, name.size(), name) == 0) {
    line = line.substr(name.size());
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    *static_cast<std::string*>(out) = line;
  }
  return size * count;
}

// curl's pin form of a key fingerprint: "sha256//" and the digest in base64.
std::string CurlPin(const std::string& hex) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  std::string out = "sha256//";
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t left = bytes.size() - i;
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (left > 1) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (left > 2) group |= bytes[i + 2];
    for (size_t k = 0; k < 4; ++k) out.push_back(k <= left ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
  }
  return out;
}

// pin: curl's pin of the key the server must serve (empty: any); host: a Host header in place of curl's.
Reply Get(const std::string& url, const std::string& pin = "", long auth = CURLAUTH_NONE,
          const std::string& host = "") {
  Reply reply;
  CURL* handle = curl_easy_init();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 10000L);
  // The certificate is self-signed: the pin is what identifies the camera.
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
  if (!pin.empty()) curl_easy_setopt(handle, CURLOPT_PINNEDPUBLICKEY, pin.c_str());
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply.Body);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, CollectLocation);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &reply.Location);
  if (auth != CURLAUTH_NONE) {
    curl_easy_setopt(handle, CURLOPT_HTTPAUTH, auth);
    curl_easy_setopt(handle, CURLOPT_USERNAME, "admin");
    curl_easy_setopt(handle, CURLOPT_PASSWORD, "secret");
  }
  curl_slist* headers = nullptr;
  if (!host.empty()) {
    headers = curl_slist_append(headers, ("Host: " + host).c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  }
  reply.Code = curl_easy_perform(handle);
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply.Status);
  curl_easy_cleanup(handle);
  curl_slist_free_all(headers);
  return reply;
}

std::string Url(const char* scheme, int port, const std::string& path) {
  return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + path;
}

std::map<std::string, std::string> Lines(const std::string& body) {
  std::map<std::string, std::string> values;
  std::istringstream in(body);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (const size_t eq = line.find('='); eq != std::string::npos)
      values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

TEST(CamsimTlsTest, ServedKeyIsTheOneTheReadyLinePrintsAndSurvivesARestartWithItsFiles) {
  testsupport::TempDir dir("camsim-tls");
  const std::string cert = dir.Path() + "/cert.pem", key = dir.Path() + "/key.pem";
  std::string first;
  struct Case {
    const char* Name;
    std::vector<std::string> Flags;
    bool SameKeyAsFirst;
  };
  const Case cases[] = {
      {"generated and saved", {"--https", "--save-cert", cert, "--save-key", key}, true},
      {"loaded from the saved files", {"--https", "0", "--cert", cert, "--key", key}, true},
      {"generated again", {"--https"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TlsCamsim cam(c.Flags);
    const std::string sha = cam.KeySha256();
    ASSERT_EQ(sha.size(), kFingerprintDigits);
    EXPECT_EQ(sha.find_first_not_of("0123456789abcdef"), std::string::npos) << sha;
    if (first.empty()) first = sha;
    EXPECT_EQ(sha == first, c.SameKeyAsFirst);
    ASSERT_GT(cam.Port("https"), 0);
    EXPECT_GT(cam.Port("http"), 0);

    const Reply pinned = Get(Url("https", cam.Port("https"), "/common/info.cgi"), CurlPin(sha));
    EXPECT_EQ(pinned.Code, CURLE_OK) << curl_easy_strerror(pinned.Code);
    EXPECT_EQ(pinned.Status, 200);
    EXPECT_EQ(Lines(pinned.Body)["model"], "QL-3110");
    std::string other = sha;
    other[0] = other[0] == '0' ? '1' : '0';
    EXPECT_EQ(Get(Url("https", cam.Port("https"), "/common/info.cgi"), CurlPin(other)).Code,
              CURLE_SSL_PINNEDPUBKEYNOTMATCH);
  }
}

TEST(CamsimTlsTest, PlainHttpIsServedTurnedOffOrRedirected) {
  struct Case {
    const char* Name;
    std::vector<std::string> Flags;
    long PlainStatus;  // of a camera request on the plain port; 0: no plain port at all
    const char* Host;  // Host header of that request; empty: curl's
    const char* LocationHost;
  };
  const Case cases[] = {
      {"served", {"--https"}, 200, "", ""},
      {"off", {"--https", "--http", "off"}, 0, "", ""},
      {"redirected", {"--https", "--http-redirect-to-https"}, 301, "", "127.0.0.1"},
      {"redirected to the asked host",
       {"--https", "--http-redirect-to-https"},
       301,
       "localhost:8080",
       "localhost"},
  };
  const std::string path = "/config/io.cgi?out1=on";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TlsCamsim cam(c.Flags);
    const int https = cam.Port("https");
    ASSERT_GT(https, 0);
    EXPECT_EQ(Get(Url("https", https, path)).Status, 200);
    if (c.PlainStatus == 0) {
      EXPECT_EQ(cam.Port("http"), 0);
      continue;
    }
    ASSERT_GT(cam.Port("http"), 0);
    const Reply plain = Get(Url("http", cam.Port("http"), path), "", CURLAUTH_NONE, c.Host);
    EXPECT_EQ(plain.Status, c.PlainStatus);
    if (c.PlainStatus == 301) {
      EXPECT_EQ(plain.Location,
                "https://" + std::string(c.LocationHost) + ":" + std::to_string(https) + path);
    }
    // The simulator's controls stay on the plain port, redirect or not.
    EXPECT_EQ(Get(Url("http", cam.Port("http"), "/sim/state")).Status, 200);
  }
}

TEST(CamsimTlsTest, LogCountsLoginsBySchemeAndCredentialsSentBeforeAChallenge) {
  struct Case {
    const char* Name;
    std::vector<std::string> Flags;
    const char* Scheme;  // where the request goes
    long ClientAuth;
    std::map<std::string, std::string> Expected;
  };
  const Case cases[] = {
      {"Digest SHA-256 answers a challenge",
       {"--https", "--auth", "digest", "--digest-algorithm", "SHA-256"},
       "https",
       CURLAUTH_DIGEST,
       {{"logins_digest_sha256", "1"},
        {"logins_basic", "0"},
        {"logins_https", "1"},
        {"logins_http", "0"},
        {"credentials_before_challenge", "0"},
        {"credentials_unchallenged_connection", "0"}}},
      {"Basic is sent unasked",
       {"--https", "--auth", "basic"},
       "https",
       CURLAUTH_BASIC,
       {{"logins_basic", "1"},
        {"logins_digest_md5", "0"},
        {"logins_https", "1"},
        {"credentials_before_challenge", "1"},
        {"credentials_unchallenged_connection", "1"}}},
      {"Basic sent in the clear to the redirecting port",
       {"--https", "--auth", "basic", "--http-redirect-to-https"},
       "http",
       CURLAUTH_BASIC,
       {{"logins_basic", "1"},
        {"logins_http", "1"},
        {"logins_accepted", "0"},
        {"credentials_before_challenge", "1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TlsCamsim cam(c.Flags);
    const int port = cam.Port(c.Scheme);
    ASSERT_GT(port, 0);
    const Reply reply = Get(Url(c.Scheme, port, "/common/info.cgi"), "", c.ClientAuth);
    EXPECT_EQ(reply.Status, std::string(c.Scheme) == "https" ? 200 : 301);
    std::map<std::string, std::string> log = Lines(Get(Url("https", cam.Port("https"), "/sim/log")).Body);
    for (const auto& [name, value] : c.Expected) EXPECT_EQ(log[name], value) << name;
  }
}

// An RTSP client over TLS with OpenSSL, GStreamer's and FFmpeg's TLS aside: one request at a time.
class RtspsConnection {
 public:
  explicit RtspsConnection(int port) {
    Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &kRtspReadTimeout, sizeof kRtspReadTimeout);
    if (Fd < 0 || connect(Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    Context = SSL_CTX_new(TLS_client_method());
    Tls = Context != nullptr ? SSL_new(Context) : nullptr;
    // Self-signed: the key's fingerprint is what identifies the camera.
    Connected = Tls != nullptr && SSL_set_fd(Tls, Fd) == 1 && SSL_connect(Tls) == 1;
  }
  ~RtspsConnection() {
    if (Tls != nullptr) SSL_free(Tls);
    if (Context != nullptr) SSL_CTX_free(Context);
    if (Fd >= 0) close(Fd);
  }
  RtspsConnection(const RtspsConnection&) = delete;
  RtspsConnection& operator=(const RtspsConnection&) = delete;

  bool Ok() const { return Connected; }

  // SHA-256 of the served certificate's SubjectPublicKeyInfo (DER), lowercase hex.
  std::string PeerKeySha256() const {
    X509* cert = SSL_get1_peer_certificate(Tls);
    if (cert == nullptr) return "";
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool hashed =
        length > 0 && EVP_Digest(der, static_cast<size_t>(length), digest, &size, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    X509_free(cert);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; hashed && i < size; ++i) {
      std::snprintf(two, sizeof two, "%02x", digest[i]);
      hex += two;
    }
    return hex;
  }

  // Sends a request and returns the reply with its body ("" when none came).
  std::string Ask(const std::string& request) {
    if (SSL_write(Tls, request.data(), static_cast<int>(request.size())) <= 0) return "";
    std::string reply;
    while (reply.size() < kMaxRtspReply) {
      const size_t end = reply.find("\r\n\r\n");
      if (end != std::string::npos) {
        const size_t at = reply.find("Content-Length: ");
        const size_t body = at != std::string::npos && at < end ? std::stoul(reply.substr(at + 16)) : 0;
        if (reply.size() >= end + 4 + body) return reply;
      }
      char c = 0;
      if (SSL_read(Tls, &c, 1) != 1) return "";
      reply.push_back(c);
    }
    return "";
  }

  // Reads until an interleaved frame ('$', channel) has arrived; false at the byte cap or time-out.
  bool AwaitInterleaved(uint8_t channel) {
    uint8_t previous = 0;
    for (size_t n = 0; n < kMaxRtspReply; ++n) {
      uint8_t c = 0;
      if (SSL_read(Tls, &c, 1) != 1) return false;
      if (previous == '$' && c == channel) return true;
      previous = c;
    }
    return false;
  }

 private:
  int Fd = -1;
  SSL_CTX* Context = nullptr;
  SSL* Tls = nullptr;
  bool Connected = false;
};

std::string HeaderValue(const std::string& reply, const std::string& name) {
  const size_t at = reply.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  const size_t start = at + name.size() + 4;
  return reply.substr(start, reply.find_first_of(";\r", start) - start);
}

TEST(CamsimTlsTest, RtspOverTlsServesTheSameKeyAndCarriesRtpInsideTheConnection) {
  TlsCamsim cam({"--rtsps", "0", "--https", "--auth", "basic"});
  const int port = cam.Port("rtsps");
  ASSERT_GT(port, 0);
  RtspsConnection rtsps(port);
  ASSERT_TRUE(rtsps.Ok());
  EXPECT_EQ(rtsps.PeerKeySha256(), cam.KeySha256());

  const std::string url = "rtsps://127.0.0.1:" + std::to_string(port) + "/rtpvideo1.sdp";
  const std::string basic = "Authorization: Basic YWRtaW46c2VjcmV0\r\n";  // admin:secret
  const std::string describe = rtsps.Ask("DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\n" + basic + "\r\n");
  ASSERT_EQ(describe.rfind("RTSP/1.0 200", 0), 0u) << describe;
  EXPECT_NE(describe.find("m=video"), std::string::npos);
  const std::string setup = rtsps.Ask("SETUP " + url + "/stream=0 RTSP/1.0\r\nCSeq: 2\r\n" + basic +
                                      "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  ASSERT_EQ(setup.rfind("RTSP/1.0 200", 0), 0u) << setup;
  const std::string session = HeaderValue(setup, "Session");
  ASSERT_FALSE(session.empty());
  const std::string play =
      rtsps.Ask("PLAY " + url + " RTSP/1.0\r\nCSeq: 3\r\n" + basic + "Session: " + session + "\r\n\r\n");
  ASSERT_EQ(play.rfind("RTSP/1.0 200", 0), 0u) << play;
  EXPECT_TRUE(rtsps.AwaitInterleaved(0));

  std::map<std::string, std::string> log = Lines(Get(Url("https", cam.Port("https"), "/sim/log")).Body);
  EXPECT_EQ(log["logins_rtsps"], "3");
  EXPECT_EQ(log["logins_basic"], "3");
  EXPECT_EQ(log["logins_rtsp"], "0");
  EXPECT_EQ(log["credentials_before_challenge"], "3");
}

}  // namespace
