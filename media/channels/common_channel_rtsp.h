#pragma once

#include <cstdint>
#include <string>

#include "http/http_sender.h"
#include "media/channels/base_rtsp_channel.h"

namespace korvalt {

// What the Quenlark codec channels share: before every stream opening the camera's stream
// profile 1 is read and rewritten (only when a value differs from what the host asked for),
// and the session is pointed at the profile's RTSP port and "rtpvideo1.sdp".
class CCommonChannelRTSP : public CBaseRTSPChannel {
 public:
  static constexpr uint32_t kCodecMJPEG = 1;
  static constexpr uint32_t kCodecMPEG4 = 2;
  static constexpr uint32_t kCodecH264 = 3;
  static constexpr uint32_t kDefaultRtspPort = 554;

  CCommonChannelRTSP(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink,
                     uint32_t codec);
  ~CCommonChannelRTSP() override;

  bool ConfigureCamera() override;
  void AdjustConnectionParams(RTSP_CONNECTION_PARAMS& params) override;
  const char* RtpEncodingName() const override;
  // An HTTP request in flight must not hold up the stop.
  void BeforeStop() override;

  // The profile 1 request path for the current settings, or empty when the camera already
  // holds every value. profileText is the camera's current profile 1 reply.
  std::string BuildProfileRequest(const std::string& profileText) const;
  // The RTSP port that profile 1 names when it streams over RTP; false (port unchanged) when it
  // names no usable one.
  static bool ProfileRtspPort(const std::string& profileText, uint32_t& port);
  uint32_t GetRtspPort() const { return RtspPort; }

 protected:
  bool SetProfile1(const std::string& profileText);

  Web::CHttpSender Sender;               // worker thread; aborted from the stopping thread
  uint32_t RtspPort = kDefaultRtspPort;  // worker thread only
  const uint32_t Codec;
};

}  // namespace korvalt
