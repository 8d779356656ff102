#include "media/channels/h264_channel_rtsp.h"

namespace korvalt {

CH264ChannelRTSP::CH264ChannelRTSP(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink)
    : CCommonChannelRTSP(channelNumber, driver, frameSink, kCodecH264), Parser("QuenlarkIPCapture", driver) {
  Parser.SetClient(this);
}

CH264ChannelRTSP::~CH264ChannelRTSP() {
  Stop();
  CloseReceiver();
  CloseSession();
}

void CH264ChannelRTSP::ProcessPacket(const RTP_PACKET_INFO& packet) {
  if (HasAnnounced.load(std::memory_order_acquire) && HasAnnounced.exchange(false)) {
    CMutexLock guard(AnnouncedLock);
    Parser.AcceptParameterSets(AnnouncedSps, AnnouncedPps);
  }
  Parser.ProcessPacket(packet);
}

void CH264ChannelRTSP::AfterDescribe() {
  if (!Client) return;
  const auto& sps = Client->Sps();
  const auto& pps = Client->Pps();
  if (sps.empty() || pps.empty()) return;
  CMutexLock guard(AnnouncedLock);
  AnnouncedSps = sps;
  AnnouncedPps = pps;
  HasAnnounced = true;
}

}  // namespace korvalt
