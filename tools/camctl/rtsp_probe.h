#pragma once
// camctl's own RTSP session with a camera: DESCRIBE, SETUP to a UDP port pair of its own, PLAY,
// and whether any RTP arrives. Each step is bounded by the time-out it is given; the session
// is torn down when the probe ends.

#include <chrono>
#include <cstdint>
#include <string>

#include "tools/camctl/camera_probe.h"
#include "tools/camctl/curl_exchange.h"

namespace camctl {

// An RTP port (even) and its RTCP port (the next one), bound on every address, tried upward
// from a first port. A port where datagrams already arrive (another stream still sends there)
// is passed over, as the module passes it over.
class UdpPortPair {
 public:
  UdpPortPair() = default;
  ~UdpPortPair();
  UdpPortPair(const UdpPortPair&) = delete;
  UdpPortPair& operator=(const UdpPortPair&) = delete;

  // False when no quiet pair within tries pairs and within budget could be bound. Each pair is
  // listened to for quiet before it is taken.
  bool Open(uint16_t first, int tries, std::chrono::milliseconds quiet, std::chrono::milliseconds budget);
  uint16_t RtpPort() const { return Rtp; }
  // Waits for one datagram on the RTP port that looks like RTP (version 2, a whole header) and,
  // when from is a valid IPv4 address, comes from it.
  bool WaitForRtp(std::chrono::milliseconds timeout, const std::string& from);

 private:
  void Close();
  // Whether a datagram (with rtpOnly: RTP from the address from) arrives within timeout.
  bool Arrives(std::chrono::milliseconds timeout, const std::string& from, bool rtpOnly);
  int RtpFd = -1;
  int RtcpFd = -1;
  uint16_t Rtp = 0;
};

class RtspProbe {
 public:
  // target.Port is the RTSP port; path the stream's path, e.g. "rtpvideo1.sdp".
  RtspProbe(const ProbeTarget& target, const std::string& path);
  ~RtspProbe();
  RtspProbe(const RtspProbe&) = delete;
  RtspProbe& operator=(const RtspProbe&) = delete;

  const std::string& Url() const { return BaseUrl; }
  // The address the RTSP connection reached; empty before the first answer.
  std::string PeerAddress();
  ProbeAnswer Describe(std::chrono::milliseconds timeout);
  // To the stream the DESCRIBE named, with the client ports rtpPort and rtpPort + 1.
  ProbeAnswer Setup(uint16_t rtpPort, std::chrono::milliseconds timeout);
  ProbeAnswer Play(std::chrono::milliseconds timeout);

 private:
  ProbeAnswer Request(long kind, const std::string& uri, std::chrono::milliseconds timeout);
  // url with the host and port this probe talks to.
  std::string OnOurHost(const std::string& url) const;

  CurlExchange Exchange;
  std::string Authority;   // "rtsp://host:port"
  std::string BaseUrl;     // the aggregate URL: the DESCRIBE's Content-Base, else the request URL
  std::string ControlUrl;  // of the video stream
  bool SetUp = false;
};

// The control URL of the first video stream in an SDP description, resolved against base.
std::string StreamControlUrl(const std::string& base, const std::string& sdp);

}  // namespace camctl
