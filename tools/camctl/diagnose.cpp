#include "tools/camctl/diagnose.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "driver/host/debug.h"
#include "http/camera_cgi.h"
#include "tools/camctl/camera_probe.h"
#include "tools/camctl/rtsp_probe.h"
#include "tools/camctl/text_escape.h"

namespace camctl {
namespace {
namespace ipc = korvalt::ipcapture;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The requests the module makes, so that a diagnosis tries exactly those.
using korvalt::cgi::kInfoPath;
using korvalt::cgi::kIoPath;
using korvalt::cgi::kStreamInfoPath;
constexpr const char* kProfilePath = korvalt::cgi::kProfile1Path;
constexpr const char* kStreamPath = "rtpvideo1.sdp";
constexpr uint16_t kDefaultRtspPort = 554;
constexpr long kStatusOk = 200;
constexpr long kStatusUnauthorized = 401;
constexpr long kStatusForbidden = 403;
constexpr long kStatusNotFound = 404;
constexpr long kStatusUnsupportedTransport = 461;  // RTSP
constexpr int kUdpPairTries = 64;
// A stream still sending to a port sends more often than this (5 frames a second at least).
constexpr milliseconds kQuietListen{500};
// Below this much time left a probe could not tell silence from slowness.
constexpr milliseconds kShortestProbe{100};

std::string Seconds(milliseconds duration) {
  char text[32];
  const long long ms = duration.count();
  if (ms % 1000 == 0) {
    std::snprintf(text, sizeof text, "%lld s", ms / 1000);
  } else {
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
  }
  return text;
}

std::string ReachText(const ProbeAnswer& answer) {
  switch (answer.How) {
    case Reach::Answered:
      return answer.Status > 0 ? "status " + std::to_string(answer.Status) : "connected";
    case Reach::NoName:
      return "name does not resolve";
    case Reach::Refused:
      return "connection refused";
    case Reach::ConnectTimeout:
      return "no answer to the connection attempt";
    case Reach::Unreachable:
      return "unreachable (" + answer.Error + ")";
    case Reach::NoAnswer:
      return "connected, no reply";
    case Reach::Closed:
      return "connected, closed without a reply";
    case Reach::Garbled:
      return "a reply in another protocol (" + answer.Error + ")";
    case Reach::Failed:
      break;
  }
  return "failed (" + answer.Error + ")";
}

// Host names and IPv4 addresses only: anything else would change the URL camctl builds.
bool PlausibleHost(const std::string& host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
  });
}

class Investigation {
 public:
  Investigation(const hostkit::DeviceConfig& device, const DiagnoseLimits& limits)
      : Device(device),
        Limits(limits),
        Deadline(Clock::now() + limits.Total),
        Http{device.Address, device.Port, device.UserName, device.Password},
        Where(device.Address + ":" + std::to_string(device.Port)) {}

  Diagnosis Run(FailedJob job) {
    if (!PlausibleHost(Device.Address)) {
      return Found("\"" + Device.Address + "\" is not a host name or IPv4 address: check --address");
    }
    if (!HttpWorks()) return Result;
    bool found = false;
    switch (job) {
      case FailedJob::Query:
        found = !Fetch(kProfilePath) || !Fetch(kStreamInfoPath, "videos");
        break;
      case FailedJob::Inputs:
        found = Device.Inputs > 0 && !Fetch(kIoPath, "in1");
        break;
      case FailedJob::Stream:
        found = !StreamWorks();
        break;
      case FailedJob::Ptz:
        break;
    }
    if (!found && Result.Hint.empty()) Result.Hint = NothingFound(job);
    return Result;
  }

 private:
  std::string NothingFound(FailedJob job) const {
    switch (job) {
      case FailedJob::Ptz:
        return "the camera answers camctl's own requests on " + Where +
               ": it refused the request itself, or the preset is unknown (--verbose shows the module's "
               "lines)";
      case FailedJob::Inputs:
        return "the camera answers camctl's own GET /config/io.cgi on " + Where +
               ": the failure may have passed; try again (--verbose shows the module's lines)";
      default:
        return "camctl's own requests to " + Where + " all succeeded: the failure may have passed; try again";
    }
  }

  Diagnosis& Found(const std::string& hint) {
    Result.Hint = hint;
    Result.CauseFound = true;
    return Result;
  }

  // The time-out of the next probe; zero when the budget is spent.
  milliseconds Step() {
    const auto left = std::chrono::duration_cast<milliseconds>(Deadline - Clock::now());
    if (left < kShortestProbe) {
      if (Result.Hint.empty()) Found("camctl's probes ran out of time before they found a cause");
      return milliseconds(0);
    }
    return std::min(left, Limits.Step);
  }

  void Note(const std::string& what, const ProbeAnswer& answer) {
    std::string text = what + ": " + ReachText(answer);
    if (answer.Status == kStatusUnauthorized && !answer.Challenge.empty())
      text += " (" + ChallengeSummary(answer.Challenge) + ")";
    Result.Steps.push_back(CleanText(text));
  }

  // A connection that never became an exchange; the hint names the port's role.
  void ConnectionHint(const ProbeAnswer& answer, const std::string& role, uint16_t port,
                      milliseconds timeout) {
    const std::string at = Device.Address + ":" + std::to_string(port);
    switch (answer.How) {
      case Reach::NoName:
        Found("cannot resolve \"" + Device.Address + "\": wrong host name, or no name server?");
        return;
      case Reach::Refused:
        Found(role.empty()
                  ? "nothing listens on " + at + ": wrong address or port?"
                  : role + " port " + std::to_string(port) + " accepts no connection: nothing listens on " +
                        at + "; RTSP switched off on the camera?");
        return;
      case Reach::ConnectTimeout:
        Found(role.empty() ? "no answer from " + at + " within " + Seconds(timeout) +
                                 ": camera off or unplugged, wrong address, or a firewall?"
                           : role + " port " + std::to_string(port) + " does not answer within " +
                                 Seconds(timeout) + ": a firewall between recorder and camera?");
        return;
      case Reach::Unreachable:
        Found(at + " is unreachable (" + answer.Error +
              "): wrong address, or the recorder's network settings?");
        return;
      default:
        Found("cannot connect to " + at + " (" + answer.Error + ")");
        return;
    }
  }

  // An exchange that did not come back as a status line.
  void ExchangeHint(const ProbeAnswer& answer, const std::string& request, const std::string& protocol,
                    uint16_t port, milliseconds timeout) {
    const std::string at = Device.Address + ":" + std::to_string(port);
    switch (answer.How) {
      case Reach::NoAnswer:
        Found(at + " accepts connections but did not answer " + request + " within " + Seconds(timeout) +
              ": camera hung or overloaded? restart it");
        return;
      case Reach::Closed:
        Found(at + " closed the connection without answering " + request + ": is " + std::to_string(port) +
              " the camera's " + protocol + " port?");
        return;
      case Reach::Garbled:
        Found(at + " does not answer in " + protocol + ": is " + std::to_string(port) + " the camera's " +
              protocol + " port?");
        return;
      default:
        ConnectionHint(answer, protocol == "RTSP" ? "RTSP" : "", port, timeout);
        return;
    }
  }

  void StatusHint(const ProbeAnswer& answer, const std::string& request, const std::string& protocol) {
    const std::string who = Device.UserName.empty() ? std::string() : " user " + Device.UserName;
    const std::string challenge = answer.Challenge.empty() ? "" : ", " + ChallengeSummary(answer.Challenge);
    const std::string status = protocol + " " + std::to_string(answer.Status);
    if (answer.Status == kStatusUnauthorized) {
      const std::string side = protocol == "RTSP" ? "the camera's RTSP service" : "the camera";
      Found(Device.UserName.empty()
                ? side + " asks for a user name and password: " + status + challenge +
                      "; give --user and --password"
                : side + " refuses" + who + ": " + status + challenge + ": wrong user name or password?");
    } else if (answer.Status == kStatusForbidden) {
      Found("the camera denies" + who + " " + request + ": " + status + "; a user with more rights?");
    } else if (answer.Status == kStatusUnsupportedTransport) {
      Found("the camera refuses RTP over UDP: " + status + " to " + request +
            "; allow UDP streaming in its settings?");
    } else if (answer.Status == kStatusNotFound) {
      Found("the camera does not know " + request + ": " + status +
            "; is this a Quenlark camera, or its firmware too old?");
    } else {
      Found("the camera answers " + request + " with " + status + ": camera fault? restart it and try again");
    }
  }

  // GET path with the credentials, as the module asks. False (with the hint set) when the
  // answer is not a 200 holding key (any non-empty body when key is empty).
  bool Fetch(const std::string& path, const std::string& key = {}) {
    const milliseconds timeout = Step();
    if (timeout.count() == 0) return false;
    const ProbeAnswer answer = ProbeGet(Http, path, !Device.UserName.empty(), timeout);
    Note("GET " + path + (Device.UserName.empty() ? "" : " as " + Device.UserName), answer);
    return Judge(answer, path, key, timeout);
  }

  bool Judge(const ProbeAnswer& answer, const std::string& path, const std::string& key,
             milliseconds timeout) {
    const std::string request = "GET " + path;
    if (answer.How != Reach::Answered) {
      ExchangeHint(answer, request, "HTTP", Device.Port, timeout);
      return false;
    }
    if (answer.Status != kStatusOk) {
      StatusHint(answer, request, "HTTP");
      return false;
    }
    if (answer.Body.empty()) {
      Found("the camera answers " + request + " with an empty reply: camera fault? restart it and try again");
      return false;
    }
    if (!key.empty() && ReplyValue(answer.Body, key).empty()) {
      Found("the camera's answer to " + request + " holds no " + key + ": is this a Quenlark camera?");
      return false;
    }
    return true;
  }

  bool HttpWorks() {
    milliseconds timeout = Step();
    if (timeout.count() == 0) return false;
    const ProbeAnswer connect = ProbeConnect(Http, timeout);
    Note("TCP " + Where, connect);
    if (connect.How != Reach::Answered) {
      ConnectionHint(connect, "", Device.Port, timeout);
      return false;
    }
    // Without credentials first: the challenge tells which scheme and realm the camera wants.
    timeout = Step();
    if (timeout.count() == 0) return false;
    const ProbeAnswer open = ProbeGet(Http, kInfoPath, false, timeout);
    Note(std::string("GET ") + kInfoPath, open);
    if (open.How != Reach::Answered || open.Status != kStatusUnauthorized || Device.UserName.empty()) {
      return Judge(open, kInfoPath, "model", timeout);
    }
    timeout = Step();
    if (timeout.count() == 0) return false;
    ProbeAnswer signedIn = ProbeGet(Http, kInfoPath, true, timeout);
    Note(std::string("GET ") + kInfoPath + " as " + Device.UserName, signedIn);
    if (signedIn.Challenge.empty()) signedIn.Challenge = open.Challenge;
    return Judge(signedIn, kInfoPath, "model", timeout);
  }

  bool StreamWorks() {
    milliseconds timeout = Step();
    if (timeout.count() == 0) return false;
    const ProbeAnswer profile = ProbeGet(Http, kProfilePath, !Device.UserName.empty(), timeout);
    Note(std::string("GET ") + kProfilePath, profile);
    if (!Judge(profile, kProfilePath, "", timeout)) return false;
    const long named = std::strtol(ReplyValue(profile.Body, "port").c_str(), nullptr, 10);
    const uint16_t rtspPort = named > 0 && named <= 65535 ? static_cast<uint16_t>(named) : kDefaultRtspPort;

    ProbeTarget rtsp = Http;
    rtsp.Port = rtspPort;
    const std::string at = Device.Address + ":" + std::to_string(rtspPort);
    timeout = Step();
    if (timeout.count() == 0) return false;
    const ProbeAnswer connect = ProbeConnect(rtsp, timeout);
    Note("TCP " + at + " (RTSP, from profile 1)", connect);
    if (connect.How != Reach::Answered) {
      ConnectionHint(connect, "RTSP", rtspPort, timeout);
      return false;
    }

    RtspProbe session(rtsp, kStreamPath);
    timeout = Step();
    if (timeout.count() == 0) return false;
    const ProbeAnswer describe = session.Describe(timeout);
    Note("RTSP DESCRIBE " + session.Url(), describe);
    if (!RtspAnswered(describe, "DESCRIBE of " + std::string(kStreamPath), rtspPort, timeout)) return false;

    UdpPortPair ports;
    timeout = Step();
    if (timeout.count() == 0) return false;
    if (!ports.Open(Limits.FirstRtpPort, kUdpPairTries, kQuietListen, timeout)) {
      Found("camctl found no free, quiet UDP port pair from " + std::to_string(Limits.FirstRtpPort) +
            " upward for its own RTP test: other streams use them; another recorder running here?");
      return false;
    }
    const std::string pair = std::to_string(ports.RtpPort()) + "-" + std::to_string(ports.RtpPort() + 1);
    timeout = Step();
    if (timeout.count() == 0) return false;
    const ProbeAnswer setup = session.Setup(ports.RtpPort(), timeout);
    Note("RTSP SETUP, client ports " + pair, setup);
    if (!RtspAnswered(setup, "SETUP", rtspPort, timeout)) return false;
    timeout = Step();
    if (timeout.count() == 0) return false;
    const ProbeAnswer play = session.Play(timeout);
    Note("RTSP PLAY", play);
    if (!RtspAnswered(play, "PLAY", rtspPort, timeout)) return false;

    timeout = Step();
    if (timeout.count() == 0) return false;
    const bool arrived = ports.WaitForRtp(timeout, session.PeerAddress());
    Result.Steps.push_back("RTP on UDP " + std::to_string(ports.RtpPort()) + ": " +
                           (arrived ? "arrived" : "nothing within " + Seconds(timeout)));
    if (!arrived) {
      Found("PLAY answered but no RTP arrived on UDP " + pair + ": a firewall between recorder and camera?");
      return false;
    }
    Result.Hint = "camctl's own RTSP session received RTP on UDP " + std::to_string(ports.RtpPort()) +
                  ": camera and network work; --verbose shows the module's lines";
    return true;
  }

  bool RtspAnswered(const ProbeAnswer& answer, const std::string& request, uint16_t port,
                    milliseconds timeout) {
    if (answer.How != Reach::Answered) {
      ExchangeHint(answer, request, "RTSP", port, timeout);
      return false;
    }
    if (answer.Status != kStatusOk) {
      StatusHint(answer, request, "RTSP");
      return false;
    }
    return true;
  }

  const hostkit::DeviceConfig& Device;
  const DiagnoseLimits Limits;
  const Clock::time_point Deadline;
  const ProbeTarget Http;
  const std::string Where;  // "address:port" of the HTTP side
  Diagnosis Result;
};

}  // namespace

Diagnosis Diagnose(const hostkit::DeviceConfig& device, FailedJob job, const DiagnoseLimits& limits) {
  Diagnosis diagnosis = Investigation(device, limits).Run(job);
  diagnosis.Hint = CleanText(diagnosis.Hint);
  return diagnosis;
}

bool ShowsLevel(uint8_t level, bool verbose) {
  return verbose || level == ipc::kDebugLevelError || level == ipc::kDebugLevelInformation;
}

}  // namespace camctl
