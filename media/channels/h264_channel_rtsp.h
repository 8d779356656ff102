#pragma once

#include <atomic>
#include <vector>

#include "media/channels/common_channel_rtsp.h"
#include "media/parsers/h264_rtp_media_parser.h"
#include "thread/annotated_mutex.h"

namespace korvalt {

// A Quenlark channel whose packets go to its codec's depacketiser.
class CH264ChannelRTSP : public CCommonChannelRTSP {
 public:
  CH264ChannelRTSP(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink);
  // The worker and the receive thread use the parser: both end before it goes.
  ~CH264ChannelRTSP() override;

  void ProcessPacket(const RTP_PACKET_INFO& packet) override;
  uint64_t DroppedPictures() const override { return Parser.DroppedPictures() + HandOverDroppedPictures(); }
  // Hands the parameter sets of the SDP to the parser.
  void AfterDescribe() override;

 private:
  CH264RTPMediaParser Parser;  // receive thread only

  // Parameter sets from the SDP, handed from the worker to the receive thread, which applies
  // them before its next packet.
  CMutex AnnouncedLock;  // guards AnnouncedSps and AnnouncedPps
  std::vector<uint8_t> AnnouncedSps QL_GUARDED_BY(AnnouncedLock);
  std::vector<uint8_t> AnnouncedPps QL_GUARDED_BY(AnnouncedLock);
  std::atomic<bool> HasAnnounced{false};
};

}  // namespace korvalt
