#pragma once

#include <atomic>
#include <vector>

#include "media/channels/common_channel_rtsp.h"
#include "media/parsers/mpeg4_rtp_media_parser.h"
#include "thread/annotated_mutex.h"

namespace korvalt {

// A Quenlark channel whose packets go to its codec's depacketiser.
class CMPEGChannelRTSP : public CCommonChannelRTSP {
 public:
  CMPEGChannelRTSP(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink);
  // The worker and the receive thread use the parser: both end before it goes.
  ~CMPEGChannelRTSP() override;

  void ProcessPacket(const RTP_PACKET_INFO& packet) override;
  uint64_t DroppedPictures() const override { return Parser.DroppedPictures() + HandOverDroppedPictures(); }
  // Hands the configuration headers of the SDP to the parser.
  void AfterDescribe() override;

 private:
  CMpeg4RTPMediaParser Parser;  // receive thread only

  // Configuration from the SDP, handed from the worker to the receive thread, which applies it
  // before its next packet.
  CMutex AnnouncedLock;  // guards AnnouncedConfig
  std::vector<uint8_t> AnnouncedConfig QL_GUARDED_BY(AnnouncedLock);
  std::atomic<bool> HasAnnounced{false};
};

}  // namespace korvalt
