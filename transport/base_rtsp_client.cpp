#include "transport/base_rtsp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string_view>

#include "http/h_utils.h"
#include "platform/clock.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {

constexpr int kStatusUnauthorized = 401;
constexpr size_t kReadChunk = 4096;

// Content-Length of a header block, 0 when absent or unreadable (the parser judges the rest).
size_t ContentLengthOf(std::string_view headers) {
  static constexpr std::string_view kName = "content-length";
  size_t lineStart = 0;
  while (lineStart < headers.size()) {
    size_t lineEnd = headers.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = headers.size();
    std::string_view line = headers.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    if (line.size() <= kName.size()) continue;
    bool match = true;
    for (size_t i = 0; i < kName.size() && match; ++i) {
      match = std::tolower(static_cast<unsigned char>(line[i])) == kName[i];
    }
    if (!match) continue;
    line.remove_prefix(kName.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty() || line.front() != ':') continue;
    line.remove_prefix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    size_t value = 0;
    for (const char c : line) {
      if (c < '0' || c > '9') break;
      value = value * 10 + static_cast<size_t>(c - '0');
      if (value > CBaseRTSPClient::kMaxResponseSize) return value;  // refused by the caller
    }
    return value;
  }
  return 0;
}

// End of the header block (just past its empty line), or npos while it is incomplete. The search
// starts at from: the caller has looked at the text before it already.
size_t HeaderBlockEnd(std::string_view text, size_t from) {
  const size_t crlf = text.find("\r\n\r\n", from);
  const size_t lf = text.find("\n\n", from);
  size_t end = std::string_view::npos;
  if (crlf != std::string_view::npos) end = crlf + 4;
  if (lf != std::string_view::npos) end = std::min(end, lf + 2);
  return end;
}

}  // namespace

CBaseRTSPClient::CBaseRTSPClient(platform::Event* stopEvent) : StopEvent(stopEvent) {}

CBaseRTSPClient::~CBaseRTSPClient() {
  Disconnect();
}

void CBaseRTSPClient::Disconnect() {
  if (Socket >= 0) ::close(Socket);
  Socket = -1;
  Connected = false;
  Received.clear();
}

platform::WaitResult CBaseRTSPClient::WaitSocket(short events, int64_t deadlineMs) {
  const int64_t left = std::max<int64_t>(0, deadlineMs - platform::MonotonicMs());
  platform::Event& stop = StopEvent != nullptr ? *StopEvent : NeverSet;
  const platform::WaitResult result =
      platform::WaitEventOrSocket(stop, Socket, events, static_cast<int>(left));
  // The wait may have consumed an auto-reset stop event; leave it set for the owner's other waits.
  if (result == platform::WaitResult::kEvent) stop.Set();
  return result;
}

bool CBaseRTSPClient::Connect(const RTSP_CONNECTION_PARAMS& params) {
  if (Connected) return true;
  Disconnect();
  Params = params;

  Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (Socket < 0) return false;
  const int bufferSize = Params.ReceiveBufferSize;
  const int receiveMs = std::max(0, Params.ReceiveTimeout);
  const timeval receiveTimeout{receiveMs / 1000, (receiveMs % 1000) * 1000};
  const uint32_t address = HUtils::ResolveHost(Params.ServerAddress);
  if (::setsockopt(Socket, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize) != 0 ||
      ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout) != 0 ||
      address == 0) {
    Disconnect();
    return false;
  }

  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = address;
  server.sin_port = htons(Params.ServerPort);
  if (::connect(Socket, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    if (errno != EINPROGRESS) {
      Disconnect();
      return false;
    }
    const int64_t deadline = platform::MonotonicMs() + std::max(0, Params.ConnectTimeout);
    if (WaitSocket(POLLOUT, deadline) != platform::WaitResult::kSocket) {
      Disconnect();
      return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(Socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      Disconnect();
      return false;
    }
  }
  // The socket stays non-blocking: every later wait is a poll with the owner's stop event.
  Connected = true;
  return true;
}

std::string CBaseRTSPClient::PresentationUrl() const {
  return HUtils::Format("rtsp://%s:%d/%s", Params.ServerAddress.c_str(), static_cast<int>(Params.ServerPort),
                        Params.UrlPath.c_str());
}

std::string CBaseRTSPClient::BuildRequest(int method) {
  const std::string name = RtspMethodName(method);
  if (name.empty()) return {};
  const std::string presentation = PresentationUrl();
  std::string control;
  switch (Params.RequestUrlSelector) {
    case 0:
      control = Parser.VideoControl;
      break;
    case 1:
      control = Parser.AudioControl;
      break;
    case 2:
      control = Parser.MetadataControl;
      break;
    default:
      break;
  }
  const std::string track = Params.UrlPath.empty() ? presentation + control : presentation + "/" + control;

  std::string authorization;
  if (Params.AuthScheme == kAuthBasic) {
    std::string credentials;
    if (!HUtils::EncodeCredentials(Params.UserName, Params.Password, credentials)) return {};
    authorization = "Authorization: Basic " + credentials + "\r\n";
  } else if (Params.AuthScheme == kAuthDigest) {
    authorization = MakeDigestAuthorization(presentation, method);
  }

  Parser.SequenceNumber += 1;
  const std::string version = "RTSP/1.0\r\n";
  const std::string cseq = HUtils::Format("CSeq: %u\r\n", Parser.SequenceNumber);
  const std::string accept = "Accept: application/sdp\r\n";
  const std::string userAgent = "User-Agent: Korvalt\r\n";
  // The identifier goes back exactly as the camera sent it.
  const std::string session = "Session: " + Parser.Session + "\r\n";
  const std::string range = "Range: npt=0.000-\r\n";
  const std::string transport = HUtils::Format("Transport: RTP/AVP/UDP;unicast;client_port=%u-%u\r\n",
                                               static_cast<unsigned>(Params.ClientRtpPort),
                                               static_cast<unsigned>(Params.ClientRtcpPort));
  switch (method) {
    case kRtspDescribe:
      return name + " " + presentation + " " + version + cseq + accept + authorization + userAgent + "\r\n";
    case kRtspSetup:
      return name + " " + track + " " + version + cseq + transport + authorization + userAgent + "\r\n";
    case kRtspPlay:
    case kRtspPause:
      return name + " " + presentation + " " + version + cseq + session + range + authorization + userAgent +
             "\r\n";
    default:  // TEARDOWN, OPTIONS
      return name + " " + presentation + " " + version + cseq + session + authorization + userAgent + "\r\n";
  }
}

bool CBaseRTSPClient::SendAll(const std::string& request) {
  const int64_t deadline = platform::MonotonicMs() + std::max(0, Params.ReceiveTimeout);
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(Socket, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitSocket(POLLOUT, deadline) != platform::WaitResult::kSocket) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool CBaseRTSPClient::ReadResponse(std::string& response) {
  // A response is its header block up to the empty line, then exactly Content-Length bytes; a
  // camera may split it across segments or send it in one piece of any size.
  const int64_t deadline = platform::MonotonicMs() + std::max(0, Params.ReceiveTimeout);
  char chunk[kReadChunk];
  // What was searched already is not searched again, so a response that trickles in byte by byte
  // costs time in proportion to its length.
  constexpr size_t kLongestBlankLine = 4;  // "\r\n\r\n"
  size_t searchFrom = 0;
  size_t headerEnd = std::string::npos;
  size_t bodyLength = 0;
  for (;;) {
    if (headerEnd == std::string::npos) {
      headerEnd = HeaderBlockEnd(Received, searchFrom);
      if (headerEnd != std::string::npos) {
        bodyLength = ContentLengthOf(std::string_view(Received).substr(0, headerEnd));
        if (bodyLength > kMaxResponseSize || headerEnd + bodyLength > kMaxResponseSize) return false;
      } else if (Received.size() >= kMaxResponseSize) {
        return false;
      } else {
        searchFrom = Received.size() - std::min(Received.size(), kLongestBlankLine - 1);
      }
    }
    if (headerEnd != std::string::npos && Received.size() >= headerEnd + bodyLength) {
      response = Received.substr(0, headerEnd + bodyLength);
      Received.erase(0, headerEnd + bodyLength);
      return true;
    }

    if (WaitSocket(POLLIN, deadline) != platform::WaitResult::kSocket) return false;
    const size_t room =
        std::min(sizeof chunk, kMaxResponseSize - std::min(Received.size(), kMaxResponseSize));
    const ssize_t n = ::recv(Socket, chunk, std::max<size_t>(room, 1), 0);
    if (n > 0) {
      Received.append(chunk, static_cast<size_t>(n));
    } else if (n == 0) {
      return false;  // the camera closed the connection before the response was complete
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return false;
    }
  }
}

bool CBaseRTSPClient::Exchange(int method) {
  if (!Connected) return false;
  const std::string request = BuildRequest(method);
  if (request.empty()) return false;
  if (!SendAll(request)) return false;
  std::string response;
  if (!ReadResponse(response) || response.empty()) return false;
  response.resize(std::min(response.size(), response.find('\0')));
  return Parser.Parse(response, method);
}

bool CBaseRTSPClient::ExchangeWithRetry(int method) {
  const bool result = Exchange(method);
  if (!result || Parser.StatusCode != kStatusUnauthorized) return result;
  const int32_t scheme = Parser.AuthScheme;
  if (scheme != Params.AuthScheme) {
    Params.AuthScheme = scheme;
    return Exchange(method);
  }
  // Digest may come back with a fresh nonce.
  if (scheme == kAuthDigest) return Exchange(method);
  return result;
}

}  // namespace korvalt
