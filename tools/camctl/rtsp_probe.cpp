#include "tools/camctl/rtsp_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace camctl {
namespace {

using Clock = std::chrono::steady_clock;

// A camera that does not take its TEARDOWN at once times out on its own anyway.
constexpr std::chrono::milliseconds kTeardownTimeout{500};
constexpr size_t kRtpHeaderSize = 12;
constexpr uint8_t kRtpVersionMask = 0xC0;
constexpr uint8_t kRtpVersion2 = 0x80;
constexpr uint32_t kPortLimit = 65535;

int BindUdp(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
  return text;
}

}  // namespace

UdpPortPair::~UdpPortPair() {
  Close();
}

void UdpPortPair::Close() {
  if (RtpFd >= 0) close(RtpFd);
  if (RtcpFd >= 0) close(RtcpFd);
  RtpFd = RtcpFd = -1;
  Rtp = 0;
}

bool UdpPortPair::Open(uint16_t first, int tries, std::chrono::milliseconds quiet,
                       std::chrono::milliseconds budget) {
  Close();
  const auto deadline = Clock::now() + budget;
  for (uint32_t port = first & ~1u; tries > 0 && port + 1 <= kPortLimit; port += 2, --tries) {
    if (Clock::now() + quiet > deadline) return false;
    RtpFd = BindUdp(static_cast<uint16_t>(port));
    if (RtpFd < 0) continue;
    RtcpFd = BindUdp(static_cast<uint16_t>(port + 1));
    if (RtcpFd >= 0) {
      Rtp = static_cast<uint16_t>(port);
      if (!Arrives(quiet, {}, false)) return true;
    }
    Close();
  }
  return false;
}

bool UdpPortPair::WaitForRtp(std::chrono::milliseconds timeout, const std::string& from) {
  return Arrives(timeout, from, true);
}

bool UdpPortPair::Arrives(std::chrono::milliseconds timeout, const std::string& from, bool rtpOnly) {
  if (RtpFd < 0) return false;
  in_addr source{};
  const bool filtered = inet_pton(AF_INET, from.c_str(), &source) == 1;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd ready{RtpFd, POLLIN, 0};
    const int rc = poll(&ready, 1, static_cast<int>(left));
    if (rc < 0 && errno != EINTR) return false;
    if (rc <= 0) continue;
    uint8_t packet[2048];
    sockaddr_in sender{};
    socklen_t senderSize = sizeof sender;
    const ssize_t size =
        recvfrom(RtpFd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&sender), &senderSize);
    if (size < 0) continue;
    if (!rtpOnly) return true;
    if (filtered && sender.sin_addr.s_addr != source.s_addr) continue;
    if (size >= static_cast<ssize_t>(kRtpHeaderSize) && (packet[0] & kRtpVersionMask) == kRtpVersion2)
      return true;
  }
}

std::string StreamControlUrl(const std::string& base, const std::string& sdp) {
  // The first "a=control:" of the first video section, else of the session, else the base.
  std::string sessionControl;
  std::string videoControl;
  bool inVideo = false;
  bool seenMedia = false;
  bool videoDone = false;
  size_t start = 0;
  while (start < sdp.size() && !videoDone) {
    size_t end = sdp.find('\n', start);
    if (end == std::string::npos) end = sdp.size();
    const std::string line = Trimmed(sdp.substr(start, end - start));
    start = end + 1;
    if (line.rfind("m=", 0) == 0) {
      if (inVideo) videoDone = true;
      inVideo = videoControl.empty() && line.rfind("m=video", 0) == 0;
      seenMedia = true;
    } else if (line.rfind("a=control:", 0) == 0) {
      const std::string value = line.substr(10);
      if (!seenMedia && sessionControl.empty()) sessionControl = value;
      if (inVideo && videoControl.empty()) videoControl = value;
    }
  }
  const std::string control = !videoControl.empty() ? videoControl : sessionControl;
  if (control.empty() || control == "*") return base;
  if (control.rfind("rtsp://", 0) == 0) return control;
  return base + (!base.empty() && base.back() == '/' ? "" : "/") + control;
}

RtspProbe::RtspProbe(const ProbeTarget& target, const std::string& path)
    : Authority("rtsp://" + target.Host + ":" + std::to_string(target.Port)),
      BaseUrl(Authority + "/" + path) {
  if (!Exchange.Valid()) return;
  curl_easy_setopt(Exchange.Handle(), CURLOPT_URL, BaseUrl.c_str());
  if (!target.User.empty()) Exchange.SetCredentials(target.User, target.Password);
}

RtspProbe::~RtspProbe() {
  if (SetUp) Request(CURL_RTSPREQ_TEARDOWN, BaseUrl, kTeardownTimeout);
}

std::string RtspProbe::OnOurHost(const std::string& url) const {
  // A camera behind address translation names itself by an address the recorder cannot reach;
  // the path is what counts.
  const size_t path = url.find('/', std::string("rtsp://").size());
  return Authority + (path == std::string::npos ? std::string("/") : url.substr(path));
}

ProbeAnswer RtspProbe::Request(long kind, const std::string& uri, std::chrono::milliseconds timeout) {
  if (!Exchange.Valid()) return {};
  Exchange.Prepare(BaseUrl, timeout);
  curl_easy_setopt(Exchange.Handle(), CURLOPT_RTSP_STREAM_URI, uri.c_str());
  curl_easy_setopt(Exchange.Handle(), CURLOPT_RTSP_REQUEST, kind);
  return Exchange.Perform();
}

std::string RtspProbe::PeerAddress() {
  char* address = nullptr;
  if (!Exchange.Valid() || curl_easy_getinfo(Exchange.Handle(), CURLINFO_PRIMARY_IP, &address) != CURLE_OK ||
      address == nullptr) {
    return {};
  }
  return address;
}

ProbeAnswer RtspProbe::Describe(std::chrono::milliseconds timeout) {
  ProbeAnswer answer = Request(CURL_RTSPREQ_DESCRIBE, BaseUrl, timeout);
  if (answer.How == Reach::Answered && answer.Status == 200) {
    const std::string contentBase = HeaderValue(answer.Headers, "Content-Base");
    if (contentBase.rfind("rtsp://", 0) == 0) BaseUrl = OnOurHost(contentBase);
    ControlUrl = OnOurHost(StreamControlUrl(BaseUrl, answer.Body));
  }
  return answer;
}

ProbeAnswer RtspProbe::Setup(uint16_t rtpPort, std::chrono::milliseconds timeout) {
  const std::string transport = "RTP/AVP;unicast;client_port=" + std::to_string(rtpPort) + "-" +
                                std::to_string(static_cast<uint32_t>(rtpPort) + 1);
  curl_easy_setopt(Exchange.Handle(), CURLOPT_RTSP_TRANSPORT, transport.c_str());
  ProbeAnswer answer = Request(CURL_RTSPREQ_SETUP, ControlUrl.empty() ? BaseUrl : ControlUrl, timeout);
  SetUp = answer.How == Reach::Answered && answer.Status == 200;
  return answer;
}

ProbeAnswer RtspProbe::Play(std::chrono::milliseconds timeout) {
  return Request(CURL_RTSPREQ_PLAY, BaseUrl, timeout);
}

}  // namespace camctl
