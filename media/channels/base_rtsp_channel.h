#pragma once

#include <memory>

#include "media/channels/base_rtp_channel.h"
#include "transport/base_rtsp_client.h"
#include "transport/rtcp_reporter.h"

namespace korvalt {

// The stream operations of the loop as an RTSP session: a local RTP/RTCP port pair,
// DESCRIBE, SETUP, PLAY, OPTIONS as keep-alive, TEARDOWN, and an RTCP reporter.
class CBaseRTSPChannel : public CBaseRTPChannel {
 public:
  static constexpr const char* kDefaultPath = "rtpvideo1.sdp";

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
  // Keep-alives go out at half the session's smallest announced time-out.
  static int64_t KeepAlivePeriodMs(int32_t sessionTimeoutSeconds);

 protected:
  // One request of the opening, with the authentication retry; a failure (the camera's status or
  // what went wrong) is reported.
  bool OpeningStep(int method);
  // After DESCRIBE: false (and the slow retry) when the camera offers no encoding the channel takes.
  bool VideoOfferUsable();
  // A keep-alive the camera answered with 454 Session Not Found, or not at all, ends the session at
  // once: the loop opens a new one at its next pass instead of waiting for the signal to be lost.
  void KeepAliveFailed();
  // After SETUP: datagrams are taken only from the source port and SSRC the answer named.
  void ExpectStreamSource();

  std::unique_ptr<CBaseRTSPClient> Client;  // worker thread only
  std::unique_ptr<CRTCPReporter> Reporter;  // worker thread only
  uint16_t RtcpPort = 0;
};

}  // namespace korvalt
