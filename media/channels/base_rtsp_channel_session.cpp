// What the camera's answers say about the session: the codec it offers, and a keep-alive it no
// longer answers.
#include <algorithm>
#include <string>

#include "http/h_utils.h"
#include "media/channels/base_rtsp_channel.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {
constexpr int32_t kStatusSessionNotFound = 454;
constexpr int64_t kMsPerSecond = 1000;
constexpr const char* kKeepAliveOrigin = "korvalt::CBaseRTSPChannel::KeepAliveTick";
constexpr const char* kOfferOrigin = "korvalt::CBaseRTSPChannel::StartSession";
}  // namespace

int64_t CBaseRTSPChannel::KeepAlivePeriodMs(int32_t sessionTimeoutSeconds) {
  // Half the time-out: the loop sends at its first pass after that, a second later at most, so
  // the keep-alive arrives well before the smallest time-out the session announced.
  return std::max<int64_t>(sessionTimeoutSeconds, 1) * kMsPerSecond / 2;
}

bool CBaseRTSPChannel::VideoOfferUsable() {
  const char* needed = RtpEncodingName();
  const std::vector<std::string>& offered = Client->VideoEncodings();
  if (needed == nullptr || offered.empty()) return true;
  std::string names;
  for (const std::string& encoding : offered) {
    const std::string name = encoding.substr(0, encoding.find('/'));
    if (HUtils::EqualsIgnoringCase(name, needed)) return true;
    names += (names.empty() ? "" : ", ") + encoding;
  }
  // The camera plays the track, but its pictures would only be dropped: say which setting it
  // needs, and ask again no more often than after refused credentials.
  NoteUnusableStream(kOfferOrigin, names, needed);
  return false;
}

void CBaseRTSPChannel::ExpectStreamSource() {
  // Inside the RTSP connection there is no source port, and nobody else can send.
  const uint16_t port = OverTcp ? 0 : Client->ServerRtpPort();
  const std::optional<uint32_t> ssrc = Client->TransportSsrc();
  SourceFilter.Expect(htons(port), ssrc ? std::optional<uint32_t>(htonl(*ssrc)) : std::nullopt,
                      platform::MonotonicMs());
}

void CBaseRTSPChannel::KeepAliveFailed() {
  using Failure = CBaseRTSPClient::Failure;
  const Failure failure = Client->LastFailure();
  const bool sessionGone = failure == Failure::kStatus && Client->StatusCode() == kStatusSessionNotFound;
  const bool silent = failure == Failure::kAnswerTimeout || failure == Failure::kClosed ||
                      failure == Failure::kSendFailed || failure == Failure::kNotConnected;
  if ((!sessionGone && !silent) || StopRequested()) return;
  // Over UDP a connection the camera closed says nothing of the stream: while pictures arrive,
  // the next keep-alive goes over a new connection.
  if (!sessionGone && !OverTcp && failure != Failure::kAnswerTimeout &&
      MillisecondsSinceData() <= static_cast<uint32_t>(2 * Intervals.LoopWaitMs)) {
    Client->Disconnect();
    return;
  }
  if (HUtils::ShouldLog(Driver)) {
    const DEVICE_INFO device = Driver->GetDeviceInfo();
    const std::string text = HUtils::MaskCredentials(Client->FailureText(), device.UserName, device.Password);
    Driver->DebugMessage(ipcapture::kDebugLevelError, "%s: camera %s: keep-alive %s failed: %s; reconnecting",
                         kKeepAliveOrigin, device.Address.c_str(), RtspMethodName(kRtspOptions),
                         text.c_str());
  }
  SetState(kStateStopped);
}

}  // namespace korvalt
