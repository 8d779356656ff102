// CBaseRTSPClient's transport side: the Transport header of SETUP, RTP and RTCP over the RTSP
// connection, and watching the connection between exchanges.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "http/h_utils.h"
#include "platform/clock.h"
#include "transport/base_rtsp_client.h"
#include "transport/rtsp_framing.h"

namespace korvalt {
namespace {

constexpr std::string_view kInterleavedParameter = "interleaved=";
// A frame from the reader's thread waits no longer than this for room in the socket.
constexpr int kFrameSendMs = 200;
constexpr size_t kWatchChunk = 4096;

}  // namespace

std::string CBaseRTSPClient::TransportLine() const {
  if (Params.Interleaved) return "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
  return HUtils::Format("Transport: RTP/AVP/UDP;unicast;client_port=%u-%u\r\n",
                        static_cast<unsigned>(Params.ClientRtpPort),
                        static_cast<unsigned>(Params.ClientRtcpPort));
}

void CBaseRTSPClient::NoteSetupTransport(const std::string& response) {
  InterleavedTaken = false;
  InterleavedRtpChannel = 0;
  InterleavedRtcpChannel = 1;
  if (!Params.Interleaved) return;
  const size_t headerEnd = response.find("\r\n\r\n");
  const auto value = CRTSPFraming::HeaderValue(std::string_view(response).substr(0, headerEnd), "transport");
  // A server that answers with another transport than the one asked for did not take it.
  if (!value || HUtils::ToLower(std::string(*value)).find("rtp/avp/tcp") == std::string::npos) return;
  const size_t at = value->find(kInterleavedParameter);
  InterleavedTaken = true;
  if (at == std::string_view::npos) return;
  // "interleaved=N" or "interleaved=N-M": the server may choose other channels than 0-1.
  unsigned rtp = 0;
  unsigned rtcp = 0;
  const std::string numbers(value->substr(at + kInterleavedParameter.size()));
  const int scanned = std::sscanf(numbers.c_str(), "%u-%u", &rtp, &rtcp);
  if (scanned >= 1 && rtp <= 0xFF) {
    InterleavedRtpChannel = static_cast<uint8_t>(rtp);
    InterleavedRtcpChannel = static_cast<uint8_t>(scanned == 2 && rtcp <= 0xFF ? rtcp : (rtp + 1) & 0xFF);
  }
}

bool CBaseRTSPClient::StartReader() {
  if (!Connected || Reader) return false;
  Reader = std::make_unique<CInterleavedReader>(Socket, Sink, Received);
  if (Reader->Start()) return true;
  Reader.reset();
  return false;
}

void CBaseRTSPClient::StopReader() {
  if (!Reader) return;
  Reader->Stop();
  Reader.reset();
}

bool CBaseRTSPClient::SendInterleaved(uint8_t channel, std::span<const uint8_t> data) {
  if (Socket < 0 || data.size() > 0xFFFF) return false;
  // A request being sent holds the socket; this frame (a receiver report) is then left out.
  if (!SendLock.try_lock()) return false;
  const bool sent = SendFrameLocked(channel, data);
  SendLock.unlock();
  return sent;
}

bool CBaseRTSPClient::SendFrameLocked(uint8_t channel, std::span<const uint8_t> data) {
  const std::array<uint8_t, CRTSPFraming::kFrameHeaderSize> header = {
      '$', channel, static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())};
  const int64_t deadline = platform::MonotonicMs() + kFrameSendMs;
  size_t sent = 0;
  const size_t total = header.size() + data.size();
  while (sent < total) {
    const uint8_t* from = sent < header.size() ? header.data() + sent : data.data() + (sent - header.size());
    const size_t length = sent < header.size() ? header.size() - sent : total - sent;
    const ssize_t n = ::send(Socket, from, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int64_t left = deadline - platform::MonotonicMs();
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && left > 0) {
      pollfd p{Socket, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(left));
      continue;
    }
    // Half a frame would shift every byte after it: the connection is of no use any more.
    if (sent > 0) ::shutdown(Socket, SHUT_RDWR);
    return false;
  }
  return true;
}

bool CBaseRTSPClient::ReadAvailable() {
  char chunk[kWatchChunk];
  for (;;) {
    const size_t room = std::min(sizeof chunk, Received.Room());
    if (room == 0) Received.Clear();
    const ssize_t n = ::recv(Socket, chunk, std::min(sizeof chunk, std::max<size_t>(room, 1)), MSG_DONTWAIT);
    if (n > 0) {
      Received.Append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

CBaseRTSPClient::Activity CBaseRTSPClient::WatchConnection(int ms) {
  platform::Event& stop = StopEvent != nullptr ? *StopEvent : NeverSet;
  if (!Connected) return Activity::kClosed;
  if (Reader) {
    switch (Reader->WaitEnded(ms, stop)) {
      case CInterleavedReader::Wait::kStopped:
        return Activity::kStopped;
      case CInterleavedReader::Wait::kEnded:
        return Activity::kClosed;
      default:
        return Activity::kQuiet;
    }
  }
  const int64_t deadline = platform::MonotonicMs() + std::max(0, ms);
  for (;;) {
    const int64_t left = std::max<int64_t>(0, deadline - platform::MonotonicMs());
    switch (platform::WaitEventOrSocket(stop, Socket, POLLIN, static_cast<int>(left))) {
      case platform::WaitResult::kEvent:
        stop.Set();
        return Activity::kStopped;
      case platform::WaitResult::kTimeout:
        return Activity::kQuiet;
      case platform::WaitResult::kError:
        return Activity::kClosed;
      case platform::WaitResult::kSocket:
        // The camera speaks between exchanges only to close (an empty read) or reset.
        if (!ReadAvailable()) return Activity::kClosed;
        if (left == 0) return Activity::kQuiet;
        break;
    }
  }
}

}  // namespace korvalt
