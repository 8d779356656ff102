#include "media/channels/base_rtsp_channel.h"

#include <algorithm>

#include "http/h_utils.h"
#include "platform/clock.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {
constexpr int32_t kStoppingTeardownMs = 250;
// A TEARDOWN that needs a new connection waits no longer for it, nor for its answer.
constexpr int32_t kTeardownConnectMs = 1000;
constexpr int32_t kStatusOk = 200;
constexpr const char* kStartOrigin = "korvalt::CBaseRTSPChannel::StartSession";
constexpr const char* kKeepAliveOrigin = "korvalt::CBaseRTSPChannel::KeepAliveTick";
}  // namespace

CBaseRTSPChannel::CBaseRTSPChannel(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink)
    : CBaseRTPChannel(channelNumber, driver, frameSink) {}

CBaseRTSPChannel::~CBaseRTSPChannel() {
  Stop();
  CloseReceiver();
  CloseSession();
}

std::unique_ptr<CBaseRTSPClient> CBaseRTSPChannel::CreateRTSPClient() {
  return std::make_unique<CBaseRTSPClient>(StopEvent.Handle());
}

uint64_t CBaseRTSPChannel::HandOverDroppedPictures() const {
  return HandOverDropsClosed + (HandOver ? HandOver->DroppedPictures() : 0);
}

bool CBaseRTSPChannel::PrepareSession() {
  ChooseTransport();
  Client = CreateRTSPClient();
  if (!Client) return false;
  Reporter = std::make_unique<CRTCPReporter>();
  return true;
}

void CBaseRTSPChannel::CloseSession() {
  if (Client) {
    // The TEARDOWN still goes out while stopping, but a silent camera may hold the stop only
    // briefly: the host waits for it.
    if (StopRequested()) {
      Client->SetStopEvent(nullptr);
      Client->LimitReceiveTimeout(kStoppingTeardownMs);
      Client->LimitConnectTimeout(kStoppingTeardownMs);
    }
    // A camera that closed the connection after PLAY streams on over UDP until the session is torn
    // down: that goes over a new connection, which a camera gone silent holds only briefly.
    const bool udpSession = !OverTcp && !Client->Session().empty();
    Client->LimitConnectTimeout(kTeardownConnectMs);
    if (!Client->IsConnected()) Client->LimitReceiveTimeout(kTeardownConnectMs);
    // Without a session there is nothing to tear down, and a camera that refused the credentials
    // would only count one more refused login.
    if (!Client->Session().empty() && (Client->IsConnected() || udpSession)) ExchangeInSession(kRtspTeardown);
    Client->Disconnect();
    Client.reset();
  }
  // The reader has ended: nothing pushes any more.
  if (HandOver) {
    HandOver->Stop();
    HandOverDropsClosed += HandOver->DroppedPictures();
    HandOver.reset();
  }
  if (Reporter) {
    Reporter->Stop();
    Reporter->Join();
    Reporter.reset();
  }
}

bool CBaseRTSPChannel::BindLocalPorts() {
  Receiver->User = this;
  // RTP comes inside the RTSP connection: no port to bind or probe.
  if (OverTcp) {
    RtpPort = 0;
    RtcpPort = 0;
    return true;
  }
  Probing = true;
  for (uint32_t port = kFirstRtpPort; port + 1 < kPortLimit; port += 2) {
    if (StopRequested()) break;
    PacketArrived.Reset();
    if (Receiver->Port.Open(static_cast<uint16_t>(port)) != CUDPPort::kOpened) continue;
    const int woke = WaitStopOr(PacketArrived, Intervals.PortProbeMs);
    if (woke != -1) {
      // Another stream already sends here (or we are stopping).
      Receiver->Port.Close();
      if (woke == 0) break;
      continue;
    }
    Reporter->SetCameraAddress(ResolvedAddress.load());
    if (Reporter->Open(static_cast<uint16_t>(port + 1)) && Reporter->Start()) {
      RtpPort = static_cast<uint16_t>(port);
      RtcpPort = static_cast<uint16_t>(port + 1);
      Probing = false;
      ReportReceiveBuffer();
      return true;
    }
    Receiver->Port.Close();
    Reporter->Stop();
    Reporter->Join();
    Reporter = std::make_unique<CRTCPReporter>();
  }
  Probing = false;
  return false;
}

bool CBaseRTSPChannel::StartSession() {
  if (StopRequested()) return false;
  const DEVICE_INFO device = Driver->GetDeviceInfo();
  RTSP_CONNECTION_PARAMS params;
  params.ServerAddress = device.Address;
  params.UserName = device.UserName;
  params.Password = device.Password;
  params.Login = device.Login;
  params.ConnectTimeout = device.NetworkTimeout;
  params.ReceiveTimeout = device.NetworkTimeout;
  params.ClientRtpPort = RtpPort;
  params.ClientRtcpPort = RtcpPort;
  params.Interleaved = OverTcp;
  AdjustConnectionParams(params);
  if (OverTls) {
    params.Tls = true;
    params.ServerPort = RtspsPort();
  }
  // The worker resolved the name already; the client need not look it up again.
  Client->UseServerAddress(ResolvedAddress.load());
  if (!Client->Connect(params)) {
    if (OverTls && TlsConnectFailed(params.ServerPort)) return false;
    ReportOpeningFailure(
        kStartOrigin,
        HUtils::Format("connect to %s:%u failed: %s", params.ServerAddress.c_str(),
                       static_cast<unsigned>(params.ServerPort), Client->FailureText().c_str()));
    return false;
  }
  if (OverTls) TransportMemory().TlsWorks(device.Address);
  if (StopRequested() || !OpeningStep(kRtspDescribe)) return false;
  if (StopRequested() || !VideoOfferUsable()) return false;
  AfterDescribe();
  if (!SetupStep()) return false;
  ExpectStreamSource();
  if (StopRequested()) return false;
  if (!OpeningStep(kRtspPlay)) return false;
  RecordKeepAlive();
  return StartMediaOverConnection();
}

bool CBaseRTSPChannel::OpeningStep(int method) {
  if (Client->ExchangeWithRetry(method) && Client->StatusCode() == kStatusOk) return true;
  return OpeningFailed(method);
}

bool CBaseRTSPChannel::OpeningFailed(int method) {
  const std::string url = method == kRtspSetup ? Client->TrackUrl() : Client->PresentationUrl();
  if (Client->CredentialsRefused()) {
    NoteCredentialsRefused(kStartOrigin, std::string(RtspMethodName(method)) + " " + url);
    return false;
  }
  ReportOpeningFailure(kStartOrigin, HUtils::Format("%s %s failed: %s", RtspMethodName(method), url.c_str(),
                                                    Client->FailureText().c_str()));
  return false;
}

void CBaseRTSPChannel::KeepAliveTick() {
  if (!Client) return;
  if (MillisecondsSinceKeepAlive() <= KeepAlivePeriodMs(Client->SessionTimeout())) return;
  // After refused credentials the next keep-alive waits its turn, as an opening does: cameras that
  // count failed logins lock the account.
  if (Backoff.RemainingMs(platform::MonotonicMs()) > 0) return;
  if (!SendKeepAlive()) {
    KeepAliveFailed();
  } else if (Client->CredentialsRefused()) {
    NoteCredentialsRefused(kKeepAliveOrigin,
                           std::string(RtspMethodName(kRtspOptions)) + " " + Client->PresentationUrl());
  } else if (Client->StatusCode() == kStatusOk && Client->AuthScheme() != CBaseRTSPClient::kAuthNone) {
    // The credentials went out and were taken.
    Backoff.Succeeded();
  }
  RecordKeepAlive();
}

bool CBaseRTSPChannel::SendKeepAlive() {
  if (!Client) return false;
  // A 401 is answered once more with the scheme the camera asks for now (a new Digest nonce).
  return ExchangeInSession(kRtspOptions);
}

bool CBaseRTSPChannel::ExchangeInSession(int method) {
  using Failure = CBaseRTSPClient::Failure;
  // Over UDP the session outlives the RTSP connection (some cameras close it after PLAY and stream
  // on): a request that finds the connection closed goes over a new one, with the session's
  // identifier.
  const bool udpSession = !OverTcp && !Client->Session().empty();
  if (udpSession && !Client->IsConnected() && !Client->Reconnect()) return false;
  if (Client->ExchangeWithRetry(method)) return true;
  const Failure failure = Client->LastFailure();
  if (!udpSession || (failure != Failure::kClosed && failure != Failure::kSendFailed)) return false;
  return Client->Reconnect() && Client->ExchangeWithRetry(method);
}

}  // namespace korvalt
