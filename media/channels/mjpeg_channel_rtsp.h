#pragma once

#include "media/channels/common_channel_rtsp.h"
#include "media/parsers/jpeg_rtp_media_parser.h"

namespace korvalt {

// A Quenlark channel whose packets go to its codec's depacketiser.
class CMJPEGChannelRTSP : public CCommonChannelRTSP {
 public:
  CMJPEGChannelRTSP(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink);
  // The worker and the receive thread use the parser: both end before it goes.
  ~CMJPEGChannelRTSP() override;

  void ProcessPacket(const RTP_PACKET_INFO& packet) override;
  uint64_t DroppedPictures() const override { return Parser.DroppedPictures() + HandOverDroppedPictures(); }

 private:
  CJpegRTPMediaParser Parser;  // receive thread only (parameter sets from the worker before PLAY)
};

}  // namespace korvalt
