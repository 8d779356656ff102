#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "http/refusal_backoff.h"
#include "media/channels/base_camera_channel.h"
#include "media/channels/supervision_intervals.h"
#include "media/parsers/rtp_media_parser.h"
#include "platform/clock.h"
#include "transport/host_resolver.h"
#include "transport/rtp_loss_counter.h"
#include "transport/rtp_receiver.h"
#include "transport/rtp_reorder_buffer.h"
#include "transport/rtp_source_filter.h"

namespace korvalt {

// The supervised streaming loop of a channel: open a stream, wait for the first frame, keep
// the session alive, detect a lost signal, reconnect, tear down on stop. RTP packets arrive on
// the receiver's thread, go to the codec parser, and finished frames come back for the host.
class CBaseRTPChannel : public CBaseCameraChannel, public IRTPReceiverUser, public IMediaParserClient {
 public:
  static constexpr uint16_t kFirstRtpPort = 3556;
  static constexpr uint16_t kPortLimit = 4556;  // ports stay below

  CBaseRTPChannel(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink);
  ~CBaseRTPChannel() override;

  uint32_t Run() override;

  virtual void KeepAliveTick();
  virtual bool PrepareSession() { return true; }
  virtual void CloseSession() {}
  virtual bool StartSession() { return true; }
  virtual bool BindLocalPorts();
  virtual bool ConfigureCamera() = 0;
  virtual bool SendKeepAlive() = 0;
  virtual void ProcessPacket(const RTP_PACKET_INFO& packet) = 0;
  // Pictures the codec parser dropped since the channel was made.
  virtual uint64_t DroppedPictures() const { return 0; }
  // After an opening: waits up to ms for the first frame; 0 stopped, 1 frame, -1 none.
  virtual int WaitForFirstFrame(int ms) { return WaitStopOr(FrameArrived, ms); }
  // Between two passes of the loop; true when the channel is being stopped.
  // After refused credentials the next opening waits its turn; the stop still ends the wait.
  virtual bool WaitBetweenPasses();

  // IRTPReceiverUser, on the receive thread.
  void OnRTPPacket(CRTPReceiver* receiver, const sockaddr_in& from, const RTP_PACKET_INFO& info) override;
  void OnRTPTimeout() override;
  void OnRTPClosed(CRTPReceiver*) override {}

  // IMediaParserClient, on the receive thread.
  bool DeliverFrame(ipcapture::IFrameSample* sample) override;
  std::pair<uint32_t, uint32_t> GetPictureSize() override;

 protected:
  void WakeWorker() override { FrameArrived.Set(); }
  bool OpenStream();
  void CloseReceiver();
  // Waits for the stop event or ev for at most ms: 0 stop, 1 ev, -1 time-out.
  int WaitStopOr(platform::Event& ev, int ms);
  // Resolves the camera's name when it could not be resolved before; 0 while it cannot.
  uint32_t CameraAddress();
  // IPv4 address of the device record's name, network order; 0 when it does not resolve within
  // the network time-out or the channel is stopped meanwhile. Worker thread only.
  virtual uint32_t ResolveCameraAddress();
  // Logs at level 1 why an opening failed, thinned like repeated request failures; nothing while
  // the channel is being stopped.
  void ReportOpeningFailure(const char* origin, const std::string& what);
  // The camera refused the credentials of request (after the authenticated retry): the next
  // openings wait ever longer, and the first refusal of a series is logged at level 1.
  void NoteCredentialsRefused(const char* origin, const std::string& request);
  // The camera streams nothing this channel can hand over (what offered names): the next openings
  // wait as after refused credentials, and the first of a series is logged at level 1 with the
  // setting the camera needs.
  void NoteUnusableStream(const char* origin, const std::string& offered, const std::string& needed);
  uint32_t MillisecondsSinceKeepAlive() const;
  // "Camera ADDRESS", or "Video-server ADDRESS (channel N)" on a device of several channels.
  std::string CameraName();
  // Once per loss-report interval, a level-2 line with what was lost in it, if anything was;
  // finally, what was lost since the last one, when the channel stops.
  void ReportLossIfDue(bool final = false);
  void RecordKeepAlive();

  uint16_t RtpPort = 0;
  // Written before Start (tests shorten them), read by the worker.
  SupervisionIntervals Intervals = SupervisionIntervals::ForModule();
  std::atomic<bool> Probing{false};        // set by the worker while a port is probed
  std::unique_ptr<CRTPReceiver> Receiver;  // worker thread only
  CHostResolver Resolver;                  // worker thread only
  uint32_t KeepAliveIntervalMs = 0;
  int64_t LastKeepAliveMs = 0;  // monotonic; worker thread only
  platform::Event PacketArrived{platform::Event::ResetMode::kManual};
  platform::Event FrameArrived{platform::Event::ResetMode::kManual};
  // Logins: the camera's series, shared with the driver's other parts (a private one without it).
  CRefusalBackoff Backoff;
  CRefusalBackoff StreamBackoff;  // a camera whose stream the channel cannot use; this channel's own
  CRtpSourceFilter SourceFilter;  // set by the worker per session, applied on the receive thread
  // A level-2 line with the datagrams of other streams the last session left out, if any.
  void ReportForeignDatagrams();
  // Resolved by the worker at the first opening, never on a host thread; read by the receive thread.
  std::atomic<uint32_t> ResolvedAddress{0};  // network order
  // Packets from the camera since the last opening; written by the receive thread.
  std::atomic<uint64_t> PacketsSinceOpen{0};
  CRtpLossCounter Loss;  // fed by the receive thread, read by the worker
  // Pictures not handed to the host because it had stopped or restarted the channel.
  std::atomic<uint64_t> WithheldPictures{0};
  // Hands the reorder stage's packets, in sequence, to the loss count and the parser.
  void OnOrderedPacket(const RTP_PACKET_INFO& packet);
  // The receive path's clock (the filter's silence and the reorder stage's time bound); tests
  // drive it.
  virtual int64_t ReceiveNowMs() { return platform::MonotonicMs(); }
  // Once per session, a level-2 line when the camera sends from another port than SETUP named.
  void ReportPortMismatch();

 private:
  // What the last loss report had counted; worker thread only.
  struct LossFigures {
    uint64_t Received = 0;
    uint64_t Lost = 0;
    uint64_t Pictures = 0;
    uint64_t Kernel = 0;
    uint64_t Late = 0;
    uint64_t Duplicates = 0;
  };
  LossFigures LossNow();
  struct ToParser : CRtpReorderBuffer::ISink {
    explicit ToParser(CBaseRTPChannel& channel) : Channel(channel) {}
    void OnOrderedPacket(const RTP_PACKET_INFO& packet) override { Channel.OnOrderedPacket(packet); }
    CBaseRTPChannel& Channel;
  };
  ToParser OrderedSink{*this};
  // Between the source filter and the parser, on the receive thread (or the RTSP connection's
  // reader); restarted by the worker for every opening.
  CRtpReorderBuffer Reorder{OrderedSink};
  LossFigures LossReported;
  int64_t LossReportedMs = 0;      // monotonic; 0 before the first pass
  uint64_t KernelDropsClosed = 0;  // of the ports closed so far
};

}  // namespace korvalt
