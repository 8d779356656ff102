#pragma once
// camctl's own short requests to a camera, made with libcurl and never through the module, to
// find out why a command failed. Every call is bounded by the time-out it is given.

#include <chrono>
#include <cstdint>
#include <string>

namespace camctl {

// How far an exchange got.
enum class Reach {
  Answered,        // a status line came back
  NoName,          // the host name does not resolve
  Refused,         // nothing listens on the port
  ConnectTimeout,  // no answer to the connection attempt
  Unreachable,     // no route, network down
  NoAnswer,        // connected, but no reply within the time-out
  Closed,          // connected, the peer closed without a reply
  Garbled,         // a reply that is not of the protocol asked
  Failed,          // anything else (see Error)
};

struct ProbeAnswer {
  Reach How = Reach::Failed;
  long Status = 0;        // HTTP or RTSP status when answered
  std::string Challenge;  // WWW-Authenticate of a 401, e.g. Digest realm="Quenlark", nonce=...
  std::string Headers;    // the reply's header block
  std::string Body;       // at most kMaxProbeBody bytes
  std::string Error;      // libcurl's text when not answered
};

inline constexpr size_t kMaxProbeBody = 64 * 1024;

struct ProbeTarget {
  std::string Host;
  uint16_t Port = 80;
  std::string User;  // empty: no credentials
  std::string Password;
};

// A TCP connection to the target's port, closed at once.
ProbeAnswer ProbeConnect(const ProbeTarget& target, std::chrono::milliseconds timeout);
// GET path (with its query) over HTTP; Basic or Digest as the camera asks when withCredentials.
ProbeAnswer ProbeGet(const ProbeTarget& target, const std::string& path, bool withCredentials,
                     std::chrono::milliseconds timeout);

// "Digest realm \"Quenlark\"" out of a challenge; the scheme alone when it has no realm.
std::string ChallengeSummary(const std::string& challenge);
// The value of a header (case-insensitive name) in a header block; empty when absent.
std::string HeaderValue(const std::string& headers, const std::string& name);
// The value of "key=value" in a camera's CR LF text reply; empty when absent.
std::string ReplyValue(const std::string& body, const std::string& key);

}  // namespace camctl
