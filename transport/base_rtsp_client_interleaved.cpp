// CBaseRTSPClient's transport side: the Transport header of SETUP, RTP and RTCP over the RTSP
// connection, and watching the connection between exchanges.
#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

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
  Reader = std::make_unique<CInterleavedReader>(*Link, Sink, Received);
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
  if (!Link || data.size() > 0xFFFF) return false;
  // A request being sent holds the socket; this frame (a receiver report) is then left out.
  if (!SendLock.try_lock()) return false;
  const bool sent = SendFrameLocked(channel, data);
  SendLock.unlock();
  return sent;
}

bool CBaseRTSPClient::SendFrameLocked(uint8_t channel, std::span<const uint8_t> data) {
  // One piece, so that a frame is taken whole or not at all where the socket allows.
  std::vector<uint8_t> frame = {'$', channel, static_cast<uint8_t>(data.size() >> 8),
                                static_cast<uint8_t>(data.size())};
  frame.insert(frame.end(), data.begin(), data.end());
  size_t sent = 0;
  const Sent result =
      SendBytes(frame.data(), frame.size(), platform::MonotonicMs() + kFrameSendMs, NeverSet, sent);
  if (result == Sent::kAll) return true;
  // Half a frame would shift every byte after it: the connection is of no use any more.
  if (sent > 0 && sent < frame.size()) platform::ShutdownSocket(Socket);
  return false;
}

bool CBaseRTSPClient::ReadAvailable() {
  char chunk[kWatchChunk];
  for (;;) {
    const size_t room = std::min(sizeof chunk, Received.Room());
    if (room == 0) Received.Clear();
    short again = 0;
    const intptr_t n = Link->Receive(chunk, std::min(sizeof chunk, std::max<size_t>(room, 1)), again);
    if (n > 0) {
      Received.Append(chunk, static_cast<size_t>(n));
      continue;
    }
    return n < 0 && again != 0;
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
    switch (Link->Wait(stop, POLLIN, static_cast<int>(left))) {
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
