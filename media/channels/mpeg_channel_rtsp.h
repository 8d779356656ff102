#pragma once

#include "media/channels/common_channel_rtsp.h"
#include "media/parsers/mpeg4_rtp_media_parser.h"

namespace korvalt {

// A Quenlark channel whose packets go to its codec's depacketiser.
class CMPEGChannelRTSP : public CCommonChannelRTSP {
 public:
  CMPEGChannelRTSP(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink);
  // The worker and the receive thread use the parser: both end before it goes.
  ~CMPEGChannelRTSP() override;

  void ProcessPacket(const RTP_PACKET_INFO& packet) override;

 private:
  CMpeg4RTPMediaParser Parser;  // receive thread only (parameter sets from the worker before PLAY)
};

}  // namespace korvalt
