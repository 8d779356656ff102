#include "media/channels/base_rtsp_channel.h"

#include <algorithm>

#include "http/h_utils.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {
constexpr int32_t kStoppingTeardownMs = 250;
constexpr int32_t kStatusOk = 200;
constexpr const char* kStartOrigin = "korvalt::CBaseRTSPChannel::StartSession";
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
    }
    if (Client->IsConnected()) Client->ExchangeWithRetry(kRtspTeardown);
    Client->Disconnect();
    Client.reset();
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
  params.ConnectTimeout = device.NetworkTimeout;
  params.ReceiveTimeout = device.NetworkTimeout;
  params.ClientRtpPort = RtpPort;
  params.ClientRtcpPort = RtcpPort;
  params.Interleaved = OverTcp;
  AdjustConnectionParams(params);
  // The worker resolved the name already; the client need not look it up again.
  Client->UseServerAddress(ResolvedAddress.load());
  if (!Client->Connect(params)) {
    ReportOpeningFailure(
        kStartOrigin,
        HUtils::Format("connect to %s:%u failed: %s", params.ServerAddress.c_str(),
                       static_cast<unsigned>(params.ServerPort), Client->FailureText().c_str()));
    return false;
  }
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
  if (!SendKeepAlive()) KeepAliveFailed();
  RecordKeepAlive();
}

bool CBaseRTSPChannel::SendKeepAlive() {
  if (!Client) return false;
  // A 401 is answered once more with the scheme the camera asks for now (a new Digest nonce).
  return Client->ExchangeWithRetry(kRtspOptions);
}

}  // namespace korvalt
