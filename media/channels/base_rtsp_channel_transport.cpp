// CBaseRTSPChannel's choice of transport (RTP over UDP, or inside the RTSP connection when UDP
// does not arrive), and its watch over the RTSP connection between passes of the loop.
#include <algorithm>
#include <array>
#include <cstring>
#include <random>

#include "http/h_utils.h"
#include "media/channels/base_rtsp_channel.h"
#include "platform/socket.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {

constexpr const char* kSetupOrigin = "korvalt::CBaseRTSPChannel::SetupStep";
constexpr const char* kTransportOrigin = "korvalt::CBaseRTSPChannel::ReportTransport";
constexpr const char* kTlsOrigin = "korvalt::CBaseRTSPChannel::StartSession";
constexpr const char* kWatchOrigin = "korvalt::CBaseRTSPChannel::WaitBetweenPasses";
constexpr int32_t kStatusOk = 200;
constexpr int32_t kStatusUnsupportedTransport = 461;
constexpr size_t kHostNameCapacity = 256;

}  // namespace

CStreamTransportMemory& CBaseRTSPChannel::TransportMemory() {
  CStreamTransportMemory* shared = Driver->GetStreamTransportMemory();
  return shared != nullptr ? *shared : OwnMemory;
}

void CBaseRTSPChannel::ReportReceiveBuffer() {
  const uint32_t asked = Receiver->Port.AskedReceiveBuffer();
  const uint32_t granted = Receiver->Port.GrantedReceiveBuffer();
  if (granted >= asked || !TransportMemory().ClaimReceiveBufferNotice()) return;
  Driver->DebugMessage(
      ipcapture::kDebugLevelInformation,
      "%s: the kernel granted the RTP socket a receive buffer of %u KiB of the %u KiB asked; "
      "key frames may be dropped while the recorder is busy: raise net.core.rmem_max "
      "(sysctl -w net.core.rmem_max=%u)",
      "korvalt::CBaseRTSPChannel::BindLocalPorts", granted / 1024, asked / 1024, asked);
}

uint32_t CBaseRTSPChannel::Run() {
  LastReported = Reported::kNone;
  TcpReason.clear();
  return CBaseRTPChannel::Run();
}

uint16_t CBaseRTSPChannel::RtspsPort() {
  const int32_t named = Driver->GetCustomParameterNumber(kRtspsPortParameter);
  return named > 0 && named <= 0xFFFF ? static_cast<uint16_t>(named) : kDefaultRtspsPort;
}

bool CBaseRTSPChannel::TlsConnectFailed(uint16_t port) {
  using Failure = CBaseRTSPClient::Failure;
  const Failure failure = Client->LastFailure();
  // The key check said its line and started the back-off; a stop needs none.
  if (failure == Failure::kKeyRefused || failure == Failure::kHeldBack || failure == Failure::kStopped)
    return true;
  const std::string address = Driver->GetDeviceInfo().Address;
  // Once TLS worked, it is never given up for plain RTSP: a failure is one like any other.
  if (TransportMemory().TlsFor(address) == CStreamTransportMemory::Tls::kWorks) return false;
  if (failure != Failure::kNoTls && failure != Failure::kTlsTimeout && failure != Failure::kConnectRefused &&
      failure != Failure::kConnectTimeout)
    return false;
  if (TransportMemory().RefuseTls(address) && !StopRequested()) {
    Driver->DebugMessage(
        ipcapture::kDebugLevelInformation,
        "%s: %s does not answer RTSP over TLS on port %u (%s); its video crosses the network "
        "unencrypted, over plain RTSP, for as long as the driver runs",
        kTlsOrigin, CameraName().c_str(), static_cast<unsigned>(port), Client->FailureText().c_str());
  }
  return true;
}

void CBaseRTSPChannel::ChooseTransport() {
  const DEVICE_INFO device = Driver->GetDeviceInfo();
  // A camera whose CGI goes over HTTPS is asked for its video over TLS too, with RTP inside.
  OverTls = device.Login && device.Login->Key().UsesHttps() &&
            TransportMemory().TlsFor(device.Address) != CStreamTransportMemory::Tls::kRefused;
  OverTcp = OverTls || TransportMemory().For(device.Address) == CStreamTransportMemory::Transport::kTcp;
  if (!OverTcp) return;
  if (OverTls) {
    TcpReason.clear();
  } else if (TcpReason.empty()) {
    const std::string earlier = TransportMemory().TcpReason(Driver->GetDeviceInfo().Address);
    TcpReason = "chosen earlier for this camera" + (earlier.empty() ? std::string() : " (" + earlier + ")");
  }
  // Our identity in the receiver reports that go back inside the connection.
  try {
    std::random_device random;
    InterleavedSsrc = static_cast<uint32_t>(random());
  } catch (...) {
    InterleavedSsrc = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)) ^ 0x5A17C0DEu;
  }
  std::array<char, kHostNameCapacity> host{};
  if (::gethostname(host.data(), host.size() - 1) != 0 || host[0] == '\0')
    std::strcpy(host.data(), "default");
  InterleavedCname.assign(host.data(), host.data() + std::strlen(host.data()));
}

bool CBaseRTSPChannel::SetupStep() {
  if (!OverTcp) {
    if (Client->ExchangeWithRetry(kRtspSetup) && Client->StatusCode() == kStatusOk) return true;
    const std::string address = Driver->GetDeviceInfo().Address;
    if (Client->LastFailure() != CBaseRTSPClient::Failure::kStatus ||
        Client->StatusCode() != kStatusUnsupportedTransport || TransportMemory().RefusesTcp(address))
      return OpeningFailed(kRtspSetup);
    // A camera that serves RTP only inside the RTSP connection: the next pass asks for that.
    TcpReason = "the camera refuses RTP over UDP (461 Unsupported Transport)";
    TransportMemory().UseTcp(address, TcpReason);
    return false;
  }
  Client->SetInterleavedSink(this);
  const bool answered = Client->ExchangeWithRetry(kRtspSetup);
  if (answered && Client->StatusCode() == kStatusOk && Client->InterleavedAccepted()) return true;
  if (OverTls) {
    // Over TLS the RTP can only come inside the connection; a camera that will not send it so is
    // one whose TLS is of no use for video.
    if (!answered ||
        (Client->StatusCode() != kStatusOk && Client->StatusCode() != kStatusUnsupportedTransport))
      return OpeningFailed(kRtspSetup);
    const std::string address = Driver->GetDeviceInfo().Address;
    if (TransportMemory().RefuseTls(address) && !StopRequested()) {
      Driver->DebugMessage(
          ipcapture::kDebugLevelInformation,
          "%s: %s refuses RTP inside its RTSP over TLS connection (%s); its video crosses the "
          "network unencrypted, over plain RTSP, for as long as the driver runs",
          kSetupOrigin, CameraName().c_str(),
          Client->StatusCode() == kStatusOk ? "200 without an interleaved transport"
                                            : Client->FailureText().c_str());
    }
    return false;
  }
  // Only 461 Unsupported Transport, or a 200 that names another transport, refuses TCP for good;
  // any other status (a busy camera's 503), a time-out or a refused login is retried at the next
  // pass.
  const bool refused = (Client->LastFailure() == CBaseRTSPClient::Failure::kStatus &&
                        Client->StatusCode() == kStatusUnsupportedTransport) ||
                       (answered && Client->StatusCode() == kStatusOk);
  if (!refused) return OpeningFailed(kRtspSetup);
  const std::string address = Driver->GetDeviceInfo().Address;
  const std::string answer = Client->StatusCode() == kStatusOk
                                 ? std::string("200 without an interleaved transport")
                                 : Client->FailureText();
  TransportMemory().RefuseTcp(address);
  if (!StopRequested()) {
    Driver->DebugMessage(ipcapture::kDebugLevelError,
                         "%s: %s refuses RTP inside the RTSP connection (%s) and %s; the signal stays lost "
                         "until UDP from the camera reaches this recorder (a firewall or NAT between them?)",
                         kSetupOrigin, CameraName().c_str(), answer.c_str(), TcpReason.c_str());
  }
  TcpReason.clear();
  return false;
}

bool CBaseRTSPChannel::StartMediaOverConnection() {
  if (!OverTcp) return true;
  HandOver = std::make_unique<CPacketHandOver>(
      [this](std::span<const uint8_t> packet) {
        RTP_PACKET_INFO info;
        if (ParseRtpHeader(packet.data(), packet.size(), info)) DeliverInterleavedRtp(info);
      },
      HandOverLimit);
  if (!HandOver->Start()) {
    HandOver.reset();
    ReportOpeningFailure(kSetupOrigin, "no thread to hand pictures over");
    return false;
  }
  if (Client->StartReader()) return true;
  ReportOpeningFailure(kSetupOrigin, "no thread to read the RTSP connection");
  return false;
}

int CBaseRTSPChannel::WaitForFirstFrame(int ms) {
  const std::string address = Driver->GetDeviceInfo().Address;
  // Below the signal-loss time-out, so that TCP is tried before the loss is reported.
  const int fallbackMs = std::min(Intervals.TcpFallbackMs, ms / 2);
  int woke = 0;
  if (OverTcp || TransportMemory().RefusesTcp(address)) {
    woke = WaitStopOr(FrameArrived, ms);
  } else {
    woke = WaitStopOr(FrameArrived, fallbackMs);
    if (woke == -1 && PacketsSinceOpen.load() > 0) {
      woke = WaitStopOr(FrameArrived, ms - fallbackMs);
    } else if (woke == -1) {
      // PLAY was answered, yet not one datagram came: UDP does not get through to us.
      TcpReason = HUtils::Format("no RTP arrived over UDP within %d ms after PLAY", fallbackMs);
      TransportMemory().UseTcp(address, TcpReason);
      FrameArrived.Reset();
      if (OpenStream()) {
        woke = WaitStopOr(FrameArrived, ms);
      } else if (!StopRequested() && TransportMemory().RefusesTcp(address) && OpenStream()) {
        // Refused: UDP once more, for the rest of the time.
        woke = WaitStopOr(FrameArrived, ms - fallbackMs);
      } else {
        return StopRequested() ? 0 : -1;
      }
    }
  }
  if (woke == 1) ReportTransport();
  return woke;
}

void CBaseRTSPChannel::ReportTransport() {
  const Reported now = OverTls ? Reported::kTls : OverTcp ? Reported::kTcp : Reported::kUdp;
  if (now == LastReported) return;
  LastReported = now;
  const std::string name = CameraName();
  if (OverTls) {
    Driver->DebugMessage(ipcapture::kDebugLevelInformation,
                         "%s: %s streams over RTSP over TLS (RTP inside the encrypted connection to port %u)",
                         kTransportOrigin, name.c_str(), static_cast<unsigned>(RtspsPort()));
    return;
  }
  if (OverTcp) {
    Driver->DebugMessage(ipcapture::kDebugLevelInformation,
                         "%s: %s streams over TCP (RTP inside the RTSP connection): %s", kTransportOrigin,
                         name.c_str(), TcpReason.c_str());
    return;
  }
  const bool refused = TransportMemory().RefusesTcp(Driver->GetDeviceInfo().Address);
  Driver->DebugMessage(ipcapture::kDebugLevelInformation, "%s: %s streams over UDP (RTP to ports %u-%u): %s",
                       kTransportOrigin, name.c_str(), static_cast<unsigned>(RtpPort),
                       static_cast<unsigned>(RtcpPort),
                       refused ? "the camera refuses RTP inside the RTSP connection" : "datagrams arrive");
}

bool CBaseRTSPChannel::WaitBetweenPasses() {
  if (GetState() != kStateStreaming || !Client || !Client->IsConnected())
    return CBaseRTPChannel::WaitBetweenPasses();
  switch (Client->WatchConnection(Intervals.LoopWaitMs)) {
    case CBaseRTSPClient::Activity::kStopped:
      return true;
    case CBaseRTSPClient::Activity::kQuiet:
      return false;
    case CBaseRTSPClient::Activity::kClosed:
      break;
  }
  if (!OverTcp) {
    // Some cameras close the connection after PLAY and stream on: only one whose pictures stop
    // with it is reconnected.
    FrameArrived.Reset();
    const int woke = WaitStopOr(FrameArrived, Intervals.ClosedGraceMs);
    if (woke == 0) return true;
    if (woke == 1) {
      Client->Disconnect();
      return false;
    }
  }
  if (StopRequested()) return true;
  Driver->DebugMessage(ipcapture::kDebugLevelInformation, "%s: %s closed the RTSP connection; reconnecting",
                       kWatchOrigin, CameraName().c_str());
  // The next pass opens the stream again.
  SetState(kStateStopped);
  return false;
}

void CBaseRTSPChannel::DeliverInterleavedRtp(const RTP_PACKET_INFO& info) {
  // Inside the connection to the camera: nobody else can have sent it.
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = ResolvedAddress.load();
  OnRTPPacket(nullptr, from, info);
}

void CBaseRTSPChannel::OnInterleavedFrame(uint8_t channel, const uint8_t* data, size_t length) {
  if (!Client) return;
  if (channel == Client->RtpChannel()) {
    RTP_PACKET_INFO info;
    if (!ParseRtpHeader(data, length, info)) return;
    // From PLAY on, the reader only queues: a slow host must not keep it from the RTSP answers.
    if (HandOver) {
      HandOver->Push(std::span<const uint8_t>(data, length), info.Marker != 0);
      return;
    }
    DeliverInterleavedRtp(info);
    return;
  }
  if (channel == Client->RtcpChannel() &&
      CRTCPReporter::AnswerPacket(std::span<const uint8_t>(data, length), InterleavedSsrc, 0,
                                  InterleavedCname, RtcpAnswer)) {
    Client->SendInterleaved(channel, RtcpAnswer);
  }
}

}  // namespace korvalt
