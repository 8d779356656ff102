#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct CamsimOptions {
  std::string Auth = "none";  // none, basic or digest
  std::string User = "admin";
  std::string Password = "secret";
  int Inputs = 1;
  int Outputs = 1;
  bool Ptz = false;
  std::string Model = "QL-3110";
  std::string Standard = "ntsc";
  bool Rtsp = false;      // false: --no-rtsp, profile 1 still names RtspPort (554 when 0)
  uint16_t HttpPort = 0;  // 0: any free port
  uint16_t RtspPort = 0;
  bool Https = false;                  // also serves the CGI over TLS (a key of its own per start)
  bool PlainHttp = true;               // false: no plain HTTP port (--http off)
  bool RedirectToHttps = false;        // the plain port answers camera requests with a redirect
  bool Rtsps = false;                  // also serves RTSP over TLS (the HTTPS key; any free port)
  std::vector<std::string> ExtraArgs;  // further camsim flags, e.g. {"--digest-qop", "no"}
};

// One camsim process (a simulated camera) for a test. Starts it in the constructor and waits for its
// ready line; Ok() tells whether that worked.
class Camsim {
 public:
  explicit Camsim(CamsimOptions options = {});
  ~Camsim();  // SIGTERM, bounded wait, then SIGKILL
  Camsim(const Camsim&) = delete;
  Camsim& operator=(const Camsim&) = delete;

  // Whether a camera with these options can be had here (Windows programs attach to the few the
  // test script started).
  static bool CanStart(const CamsimOptions& options);

  bool Ok() const { return Pid > 0; }
  uint16_t HttpPort() const { return Http; }
  uint16_t RtspPort() const { return Rtsp; }
  uint16_t HttpsPort() const { return HttpsPortNumber; }
  uint16_t RtspsPort() const { return RtspsPortNumber; }
  // The SHA-256 of the served TLS key (lower-case hex); empty without Https.
  const std::string& KeySha256() const { return Key; }
  // The key the RTSP over TLS port presents when it has one of its own ("--rtsps-own-key"), else empty.
  const std::string& VideoKeySha256() const { return VideoKey; }

  void Kill();     // stop the process now (a camera that dies)
  bool Restart();  // start again on the same ports

  // Camera requests received so far ("GET /config/io.cgi HTTP/1.1"), in order.
  std::vector<std::string> RequestLog();
  // The targets of those requests ("/config/io.cgi?out1=on"), only those that start with one of
  // the prefixes when any are given.
  std::vector<std::string> RequestPaths(const std::vector<std::string>& prefixes = {});
  // TCP connections that carried camera requests since the start or the last ClearLog; -1 on failure.
  int ConnectionCount();
  // A count of /sim/log ("logins_rtsps", "credentials_before_challenge"); -1 on failure.
  int LogCount(const std::string& name);
  void ClearLog();
  bool SetInput(int number /*1-based*/, bool on);
  // kind: status (value = HTTP status, 0 = 500), empty, close, stall (value = ms); for the next count
  // requests.
  bool InjectFault(const std::string& kind, int count = 1, int value = 0);
  // Raw GET on camsim's HTTP port; the reply body, or "" on failure.
  std::string SimGet(const std::string& pathAndQuery);
  // Same, with the status code (0 when no reply came).
  std::string SimGet(const std::string& pathAndQuery, int& status);

 private:
  bool Start();
  void Terminate();
  void ReadTlsFields(const std::string& readyLine);

  CamsimOptions Options;
  pid_t Pid = -1;
  uint16_t Http = 0;
  uint16_t Rtsp = 0;
  uint16_t HttpsPortNumber = 0;  // kept over a restart; the key is not
  uint16_t RtspsPortNumber = 0;  // likewise
  std::string Key;
  std::string VideoKey;
};

// A Digest camera serving its CGI over HTTPS only and its video over RTSP over TLS (any free ports).
CamsimOptions TlsCameraOptions();

}  // namespace testsupport
