#include "media/channels/base_rtp_channel.h"

#include <algorithm>

#include "http/h_utils.h"
#include "media/channels/channel_thread_mark.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace korvalt {

// The camera's name is looked up by the worker, not here: construction runs on a host thread
// and a name service may take seconds to answer.
CBaseRTPChannel::CBaseRTPChannel(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink)
    : CBaseCameraChannel(channelNumber, driver, frameSink) {}

uint32_t CBaseRTPChannel::ResolveCameraAddress() {
  const DEVICE_INFO device = Driver->GetDeviceInfo();
  return Resolver.Resolve(device.Address, StopEvent.Handle(), device.NetworkTimeout);
}

void CBaseRTPChannel::ReportOpeningFailure(const char* origin, const std::string& what) {
  if (StopRequested() || !HUtils::ShouldLog(Driver)) return;
  const DEVICE_INFO device = Driver->GetDeviceInfo();
  const std::string text = HUtils::MaskCredentials(what, device.UserName, device.Password);
  Driver->DebugMessage(ipcapture::kDebugLevelError, "%s: %s", origin, text.c_str());
}

void CBaseRTPChannel::NoteCredentialsRefused(const char* origin, const std::string& request) {
  bool firstOfSeries = false;
  const int64_t delayMs = Backoff.Refused(platform::MonotonicMs(), firstOfSeries);
  if (!firstOfSeries || StopRequested() || !HUtils::ShouldLog(Driver)) return;
  const DEVICE_INFO device = Driver->GetDeviceInfo();
  const std::string text = HUtils::MaskCredentials(request, device.UserName, device.Password);
  Driver->DebugMessage(ipcapture::kDebugLevelError,
                       "%s: camera %s refused the credentials of user \"%s\" (%s); next try in %.1f s, "
                       "then ever less often (at most 4 logins in any 10 minutes, so that the camera does "
                       "not lock the account) until they are accepted; restarting the channel or "
                       "opening the device with new credentials tries at once",
                       origin, device.Address.c_str(), device.UserName.c_str(), text.c_str(),
                       static_cast<double>(delayMs) / 1000.0);
}

CBaseRTPChannel::~CBaseRTPChannel() {
  Stop();
  CloseReceiver();
}

void CBaseRTPChannel::NoteUnusableStream(const char* origin, const std::string& offered,
                                         const std::string& needed) {
  bool firstOfSeries = false;
  const int64_t delayMs = StreamBackoff.Refused(platform::MonotonicMs(), firstOfSeries);
  if (!firstOfSeries || StopRequested() || !HUtils::ShouldLog(Driver)) return;
  Driver->DebugMessage(
      ipcapture::kDebugLevelError,
      "%s: camera %s offers only %s, the channel needs %s: set the camera's stream to %s; next "
      "try in %.1f s, then ever less often, at most once a minute",
      origin, Driver->GetDeviceInfo().Address.c_str(), offered.c_str(), needed.c_str(),
      needed == "H264"      ? "H.264"
      : needed == "MP4V-ES" ? "MPEG-4"
                            : "Motion JPEG",
      static_cast<double>(delayMs) / 1000.0);
}

uint32_t CBaseRTPChannel::CameraAddress() {
  uint32_t address = ResolvedAddress.load();
  if (address == 0) {
    // A name that did not resolve when the channel was made may resolve now.
    address = ResolveCameraAddress();
    ResolvedAddress = address;
  }
  return address;
}

int CBaseRTPChannel::WaitStopOr(platform::Event& ev, int ms) {
  platform::Event* stop = StopEvent.Handle();
  if (stop == nullptr) return ev.Wait(ms) ? 1 : -1;
  return platform::WaitAny(*stop, ev, ms);
}

uint32_t CBaseRTPChannel::Run() {
  RecordDataTime();
  // A channel the host stops and starts again offers its credentials at once.
  // Logins wait for the camera's turn, whichever part of the driver was refused; a channel the
  // host starts or restarts tries at once, within the camera's cap.
  Backoff.Share(Driver->GetDeviceInfo().Login);
  Backoff.Reset();
  StreamBackoff.Reset();
  LossReportedMs = platform::MonotonicMs();
  LossReported = LossNow();
  for (;;) {
    const int64_t signalLossMs = Driver->GetDeviceInfo().SignalLossTimeout;
    if (GetState() != kStateStreaming) {
      FrameArrived.Reset();
      if (OpenStream()) {
        Backoff.Succeeded();
        StreamBackoff.Succeeded();
        const int woke = WaitForFirstFrame(static_cast<int>(signalLossMs));
        if (RestartPending.load()) {
          // Restarted meanwhile from one of our callbacks: the next pass opens the stream anew.
        } else if (woke == 1) {
          SetState(kStateStreaming);
        } else if (woke == -1) {
          ReportOpeningFailure(
              "korvalt::CBaseRTPChannel::Run",
              HUtils::Format("no picture from camera %s within %lld ms after the stream was opened",
                             Driver->GetDeviceInfo().Address.c_str(), static_cast<long long>(signalLossMs)));
        }
      }
    }
    if (GetState() == kStateStreaming) KeepAliveTick();
    const bool stopping = RestartPending.load() ? StopRequested() : WaitBetweenPasses();
    if (stopping) break;
    ReportLossIfDue();
    const int64_t sinceData = MillisecondsSinceData();
    if (sinceData <= signalLossMs) continue;
    SetState(kStateSignalLost);
    if (sinceData <= 2 * signalLossMs) continue;
    {
      // The host may stop or restart us from inside this call.
      const CCallbackGate::CPass pass(HostCalls);
      if (pass.Admitted()) {
        try {
          FrameSink->SignalLost();
        } catch (...) {
        }
      }
    }
    SetCameraState(false);
  }
  SetState(kStateStopped);
  CloseReceiver();
  CloseSession();
  ReportForeignDatagrams();
  ReportLossIfDue(true);
  LossReportedMs = 0;
  SetCameraState(false);
  return 0;
}

void CBaseRTPChannel::ReportForeignDatagrams() {
  const uint64_t dropped = SourceFilter.Dropped();
  SourceFilter.Reset();
  if (dropped == 0 || !HUtils::ShouldLog(Driver)) return;
  Driver->DebugMessage(
      ipcapture::kDebugLevelInformation,
      "korvalt::CBaseRTPChannel::OnRTPPacket: camera %s: dropped %llu datagrams of other streams "
      "from the camera's address (another SSRC)",
      Driver->GetDeviceInfo().Address.c_str(), static_cast<unsigned long long>(dropped));
}

bool CBaseRTPChannel::WaitBetweenPasses() {
  const int64_t waitMs =
      std::max({int64_t{Intervals.LoopWaitMs}, Backoff.RemainingMs(platform::MonotonicMs()),
                StreamBackoff.RemainingMs(platform::MonotonicMs())});
  return StopEvent.Wait(static_cast<int>(waitMs));
}

bool CBaseRTPChannel::OpenStream() {
  SetState(kStateStopped);
  CloseReceiver();
  CloseSession();
  ReportForeignDatagrams();
  PacketsSinceOpen = 0;
  Loss.Restart();
  Reorder.Restart();
  // A restart made from one of our callbacks takes effect here: the old session is gone.
  if (RestartPending.exchange(false)) HostCalls.Resume();
  const bool resolved = CameraAddress() != 0;
  if (!resolved) {
    ReportOpeningFailure(
        "korvalt::CBaseRTPChannel::OpenStream",
        HUtils::Format("host name %s not resolved", Driver->GetDeviceInfo().Address.c_str()));
  }
  bool opened = resolved && ConfigureCamera();
  if (opened) {
    Receiver = std::make_unique<CRTPReceiver>();
    opened = PrepareSession() && BindLocalPorts() && StartSession();
  }
  if (!opened) {
    SetState(kStateStopped);
    CloseReceiver();
    CloseSession();
  }
  return opened;
}

void CBaseRTPChannel::CloseReceiver() {
  if (!Receiver) return;
  // No packet may reach the channel once the port is closed.
  Receiver->User = nullptr;
  Receiver->Port.Close();
  KernelDropsClosed += Receiver->Port.KernelDrops();
  Receiver.reset();
}

bool CBaseRTPChannel::BindLocalPorts() {
  Receiver->User = this;
  Probing = true;
  for (uint32_t port = kFirstRtpPort; port < kPortLimit; ++port) {
    if (StopRequested()) break;
    PacketArrived.Reset();
    if (Receiver->Port.Open(static_cast<uint16_t>(port)) != CUDPPort::kOpened) continue;
    const int woke = WaitStopOr(PacketArrived, Intervals.PortProbeMs);
    if (woke == -1) {
      RtpPort = static_cast<uint16_t>(port);
      Probing = false;
      return true;
    }
    Receiver->Port.Close();
    if (woke == 0) break;
  }
  Probing = false;
  return false;
}

void CBaseRTPChannel::KeepAliveTick() {
  if (MillisecondsSinceKeepAlive() <= KeepAliveIntervalMs) return;
  SendKeepAlive();
  RecordKeepAlive();
}

uint32_t CBaseRTPChannel::MillisecondsSinceKeepAlive() const {
  const int64_t elapsed = platform::MonotonicMs() - LastKeepAliveMs;
  if (LastKeepAliveMs == 0 || elapsed >= int64_t{UINT32_MAX}) return UINT32_MAX;
  return elapsed < 0 ? 0 : static_cast<uint32_t>(elapsed);
}

void CBaseRTPChannel::RecordKeepAlive() {
  LastKeepAliveMs = platform::MonotonicMs();
}

void CBaseRTPChannel::OnRTPPacket(CRTPReceiver*, const sockaddr_in& from, const RTP_PACKET_INFO& info) {
  if (from.sin_addr.s_addr != ResolvedAddress.load()) return;
  // Packets heard while a port is probed belong to another stream: they only mark the port as
  // taken, and reach neither the parser nor the host. Only the probe waits for the event, so it is
  // not set (a system call) for every packet of the stream.
  if (Probing.load()) {
    PacketArrived.Set();
    return;
  }
  // Whichever stream it belongs to, a datagram from the camera proves that UDP gets through.
  PacketsSinceOpen.fetch_add(1, std::memory_order_relaxed);
  const int64_t now = ReceiveNowMs();
  try {
    switch (SourceFilter.Accept(from.sin_port, info.Ssrc, now)) {
      case CRtpSourceFilter::Verdict::kDropped:
        return;
      case CRtpSourceFilter::Verdict::kNewStream:
        // What the silent stream left held goes on first; then sequence and loss begin afresh.
        Reorder.Tick(now);
        Reorder.Restart();
        Loss.Restart();
        break;
      case CRtpSourceFilter::Verdict::kTaken:
        break;
    }
    Reorder.Push(info, now);
  } catch (...) {
  }
}

void CBaseRTPChannel::OnOrderedPacket(const RTP_PACKET_INFO& packet) {
  Loss.Add(packet.SequenceNumber);
  try {
    ProcessPacket(packet);
  } catch (...) {
  }
}

void CBaseRTPChannel::OnRTPTimeout() {
  // A packet held behind a gap goes on when nothing follows it.
  try {
    Reorder.Tick(ReceiveNowMs());
  } catch (...) {
  }
}

bool CBaseRTPChannel::DeliverFrame(ipcapture::IFrameSample* sample) {
  const CChannelThreadMark mark(this);
  // Nothing reaches the host once it stopped the channel, or restarted it, until the next stream.
  const CCallbackGate::CPass pass(HostCalls);
  if (!pass.Admitted()) {
    // The host stopped or restarted the channel: this picture is withheld, not lost.
    WithheldPictures.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  FrameArrived.Set();
  bool accepted = false;
  try {
    accepted = FrameSink->Deliver(sample);
  } catch (...) {
    accepted = false;  // a throwing sink refused the frame
  }
  if (!accepted) return false;
  RecordDataTime();
  SetCameraState(true);
  return true;
}

std::pair<uint32_t, uint32_t> CBaseRTPChannel::GetPictureSize() {
  const StreamSettings settings = Settings();
  return {settings.Width, settings.Height};
}

std::string CBaseRTPChannel::CameraName() {
  const std::string address = Driver->GetDeviceInfo().Address;
  if (Driver->GetChannelCount() > 1)
    return "Video-server " + address + " (channel " + std::to_string(ChannelNumber) + ")";
  return "Camera " + address;
}

CBaseRTPChannel::LossFigures CBaseRTPChannel::LossNow() {
  LossFigures now;
  now.Received = Loss.Received();
  now.Lost = Loss.Lost();
  // The parser counts a picture the channel withheld from the host as dropped.
  const uint64_t dropped = DroppedPictures();
  now.Pictures = dropped - std::min(dropped, WithheldPictures.load(std::memory_order_relaxed));
  now.Kernel = KernelDropsClosed + (Receiver ? Receiver->Port.KernelDrops() : 0);
  now.Late = Reorder.Late();
  now.Duplicates = Reorder.Duplicates();
  return now;
}

void CBaseRTPChannel::ReportPortMismatch() {
  const auto mismatch = SourceFilter.TakePortMismatch();
  if (!mismatch || StopRequested()) return;
  Driver->DebugMessage(ipcapture::kDebugLevelInformation,
                       "korvalt::CBaseRTPChannel::OnRTPPacket: %s sends RTP from port %u, not from port %u "
                       "that its SETUP answer named (a NAT that translates ports?); its datagrams are "
                       "taken by the camera's address and SSRC",
                       CameraName().c_str(), static_cast<unsigned>(mismatch->first),
                       static_cast<unsigned>(mismatch->second));
}

void CBaseRTPChannel::ReportLossIfDue(bool final) {
  ReportPortMismatch();
  const int64_t now = platform::MonotonicMs();
  if (LossReportedMs == 0 && final) return;
  if (LossReportedMs == 0) {
    LossReportedMs = now;
    LossReported = LossNow();
    return;
  }
  if (!final && now - LossReportedMs < Intervals.LossReportMs) return;
  const LossFigures figures = LossNow();
  const uint64_t received = figures.Received - LossReported.Received;
  // The reorder stage declares a gap lost when its bound passes; a packet of it that comes later
  // arrived after all, and is counted as late instead.
  const uint64_t declared = figures.Lost - LossReported.Lost;
  const uint64_t late = figures.Late - LossReported.Late;
  const uint64_t duplicates = figures.Duplicates - LossReported.Duplicates;
  const uint64_t lost = declared > late ? declared - late : 0;
  const uint64_t pictures = figures.Pictures - LossReported.Pictures;
  // A new socket counts from 0 again; its count is then the window's.
  const uint64_t kernel =
      figures.Kernel >= LossReported.Kernel ? figures.Kernel - LossReported.Kernel : figures.Kernel;
  const int64_t windowMs = now - LossReportedMs;
  LossReported = figures;
  LossReportedMs = now;
  if (lost == 0 && pictures == 0 && kernel == 0 && late == 0 && duplicates == 0) return;
  const uint64_t expected = received + declared;
  const double share = expected > 0 ? 100.0 * static_cast<double>(lost) / static_cast<double>(expected) : 0.0;
  Driver->DebugMessage(
      ipcapture::kDebugLevelInformation,
      "%s: %s: lost %llu of %llu RTP packets (%.1f %%), dropped %llu pictures, kernel dropped "
      "%llu datagrams in the last %lld s; dropped %llu late and %llu duplicate RTP packets",
      "korvalt::CBaseRTPChannel::ReportLoss", CameraName().c_str(), static_cast<unsigned long long>(lost),
      static_cast<unsigned long long>(expected), share, static_cast<unsigned long long>(pictures),
      static_cast<unsigned long long>(kernel), static_cast<long long>((windowMs + 500) / 1000),
      static_cast<unsigned long long>(late), static_cast<unsigned long long>(duplicates));
}

}  // namespace korvalt
