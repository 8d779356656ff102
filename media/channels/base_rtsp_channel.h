#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/host/device_params.h"
#include "media/channels/base_rtp_channel.h"
#include "media/channels/stream_transport_memory.h"
#include "transport/base_rtsp_client.h"
#include "transport/packet_hand_over.h"
#include "transport/rtcp_reporter.h"

namespace korvalt {

// The stream operations of the loop as an RTSP session: a local RTP/RTCP port pair,
// DESCRIBE, SETUP, PLAY, OPTIONS as keep-alive, TEARDOWN, and an RTCP reporter. When no RTP
// arrives over UDP after PLAY, the session is set up again with RTP and RTCP inside the RTSP
// connection, and the driver keeps that choice for the camera.
class CBaseRTSPChannel : public CBaseRTPChannel, public IInterleavedSink {
 public:
  static constexpr const char* kDefaultPath = "rtpvideo1.sdp";
  // RTSP over TLS: the registered port, unless custom parameter kRtspsPortParameter names another.
  static constexpr uint16_t kDefaultRtspsPort = 322;
  static constexpr int kRtspsPortParameter = ipcapture::kCustomParameterRtspsPort;

  CBaseRTSPChannel(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink);
  ~CBaseRTSPChannel() override;

  void KeepAliveTick() override;
  bool PrepareSession() override;
  void CloseSession() override;
  bool StartSession() override;
  bool BindLocalPorts() override;
  bool SendKeepAlive() override;

  virtual std::unique_ptr<CBaseRTSPClient> CreateRTSPClient();
  virtual void AdjustConnectionParams(RTSP_CONNECTION_PARAMS& params) { (void)params; }
  virtual void AfterDescribe() {}
  // The RTP encoding name the channel's parser takes ("H264"); null takes whatever comes.
  virtual const char* RtpEncodingName() const { return nullptr; }
  // Pictures dropped whole because the host did not take them in time (the parser counts those
  // it dropped itself). Worker thread.
  uint64_t HandOverDroppedPictures() const;
  // Keep-alives go out at half the session's smallest announced time-out.
  static int64_t KeepAlivePeriodMs(int32_t sessionTimeoutSeconds);

  uint32_t Run() override;
  int WaitForFirstFrame(int ms) override;
  bool WaitBetweenPasses() override;

  // IInterleavedSink: on the worker during the opening, then on the client's reader thread.
  void OnInterleavedFrame(uint8_t channel, const uint8_t* data, size_t length) override;
  void OnInterleavedEnded() override {}

 protected:
  // One request of the opening, with the authentication retry; a failure (the camera's status or
  // what went wrong) is reported.
  bool OpeningStep(int method);
  // One request of the running session, with the authentication retry; over UDP it goes over a
  // new connection when the camera closed the last one.
  bool ExchangeInSession(int method);
  // Reports why the request of method failed; false.
  bool OpeningFailed(int method);
  // SETUP; over TCP a refusal of the interleaved transport is remembered for the camera.
  bool SetupStep();
  // After PLAY over TCP: the client's reader takes over the connection.
  bool StartMediaOverConnection();
  // Chooses this opening's transport; worker thread.
  void ChooseTransport();
  CStreamTransportMemory& TransportMemory();
  // The port of RTSP over TLS for this camera.
  uint16_t RtspsPort();
  // After a failed connect over TLS: true when the failure is said already or needs no line (a
  // refused key, a stop), or when the camera does not answer TLS and plain RTSP follows at the
  // next pass (said once per driver); false when it is an ordinary failure to report.
  bool TlsConnectFailed(uint16_t port);
  // One level-2 line per start, and again when the transport changes.
  void ReportTransport();
  // Says once per driver when the kernel grants the RTP socket less buffer than asked.
  void ReportReceiveBuffer();
  enum class Reported { kNone, kUdp, kTcp, kTls };
  // After DESCRIBE: false (and the slow retry) when the camera offers no encoding the channel takes.
  bool VideoOfferUsable();
  // A keep-alive the camera answered with 454 Session Not Found, or not at all, ends the session at
  // once: the loop opens a new one at its next pass instead of waiting for the signal to be lost.
  void KeepAliveFailed();
  // After SETUP: datagrams are taken only from the source port and SSRC the answer named.
  void ExpectStreamSource();
  // An RTP packet read from the RTSP connection, to the parser and the host.
  void DeliverInterleavedRtp(const RTP_PACKET_INFO& info);

  std::unique_ptr<CBaseRTSPClient> Client;  // worker thread only
  std::unique_ptr<CRTCPReporter> Reporter;  // worker thread only
  uint16_t RtcpPort = 0;
  bool OverTcp = false;   // this opening's transport; set by the worker before the session starts
  bool OverTls = false;   // ... RTSP over TLS, with RTP inside it (OverTcp too)
  std::string TcpReason;  // why the channel streams over TCP; worker thread only
  Reported LastReported = Reported::kNone;  // worker thread only
  CStreamTransportMemory OwnMemory;         // when the driver keeps none
  uint32_t InterleavedSsrc = 0;             // our RTCP identity over TCP; set before the reader runs
  std::vector<uint8_t> InterleavedCname;    // likewise
  std::vector<uint8_t> RtcpAnswer;          // reader thread only
  // How many packets read from the RTSP connection may wait for a slow host; written before Start
  // (tests shorten it).
  CPacketHandOver::Limits HandOverLimit;
  // Made by the worker before the reader starts, ended after the reader ended; pushed to by the
  // reader.
  std::unique_ptr<CPacketHandOver> HandOver;
  uint64_t HandOverDropsClosed = 0;  // pictures dropped by the hand-overs already ended; worker only
};

}  // namespace korvalt
