// Windows programs cannot start the Linux camsim themselves: scripts/test-windows-suites.sh starts
// one camsim per authentication scheme (RTSP on, every other option at its default) and names its
// ports in QUENLARK_CAMSIM_<SCHEME> ("http,rtsp"; the HTTPS camera's RTSP over TLS port in
// QUENLARK_CAMSIM_HTTPS_RTSPS). A test asking for anything else, or to stop or
// restart the camera, gets a camsim that is not Ok.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/camsim_fixture.h"

namespace testsupport {
namespace {

bool DefaultsBesidesScheme(const CamsimOptions& options) {
  const CamsimOptions defaults;
  return options.User == defaults.User && options.Password == defaults.Password &&
         options.Inputs == defaults.Inputs && options.Outputs == defaults.Outputs &&
         options.Ptz == defaults.Ptz && options.Model == defaults.Model &&
         options.Standard == defaults.Standard && options.HttpPort == 0 && options.RtspPort == 0 &&
         options.ExtraArgs.empty() && !options.RedirectToHttps &&
         // The HTTPS camera: Digest, TLS only, RTSP over TLS too.
         (options.Https ? !options.PlainHttp && options.Auth == "digest"
                        : options.PlainHttp && !options.Rtsps);
}

}  // namespace

Camsim::Camsim(CamsimOptions options) : Options(std::move(options)) {
  Start();
}

Camsim::~Camsim() {
  Terminate();
}

bool Camsim::CanStart(const CamsimOptions& options) {
  return DefaultsBesidesScheme(options);
}

bool Camsim::Start() {
  if (!DefaultsBesidesScheme(Options)) return false;
  std::string name = "QUENLARK_CAMSIM_" + std::string(Options.Https ? "https" : Options.Auth);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const char* ports = std::getenv(name.c_str());
  unsigned http = 0, rtsp = 0;
  if (ports == nullptr || std::sscanf(ports, "%u,%u", &http, &rtsp) != 2) return false;
  if (Options.Https) {
    // "0,RTSP,HTTPS,KEY": no plain port.
    unsigned https = 0;
    char key[65] = {};
    if (std::sscanf(ports, "%u,%u,%u,%64s", &http, &rtsp, &https, key) != 4) return false;
    HttpsPortNumber = static_cast<uint16_t>(https);
    Key = key;
    const char* rtsps = std::getenv("QUENLARK_CAMSIM_HTTPS_RTSPS");
    unsigned rtspsPort = 0;
    if (rtsps != nullptr && std::sscanf(rtsps, "%u", &rtspsPort) == 1)
      RtspsPortNumber = static_cast<uint16_t>(rtspsPort);
  }
  Http = static_cast<uint16_t>(http);
  Rtsp = static_cast<uint16_t>(rtsp);
  // The camera is shared by the tests: each starts with an empty log.
  int status = 0;
  SimGet("/sim/clear", status);
  if (status != 200) return false;
  Pid = 1;  // attached, not started: nothing to stop
  return true;
}

void Camsim::Terminate() {
  Pid = -1;
}

void Camsim::Kill() {
  Terminate();
}

bool Camsim::Restart() {
  return false;
}

}  // namespace testsupport
