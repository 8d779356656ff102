#include "media/channels/mpeg_channel_rtsp.h"

namespace korvalt {

CMPEGChannelRTSP::CMPEGChannelRTSP(uint32_t channelNumber, IDriver* driver, ipcapture::IFrameSink* frameSink)
    : CCommonChannelRTSP(channelNumber, driver, frameSink, kCodecMPEG4), Parser("QuenlarkIPCapture", driver) {
  Parser.SetClient(this);
}

CMPEGChannelRTSP::~CMPEGChannelRTSP() {
  Stop();
  CloseReceiver();
  CloseSession();
}

void CMPEGChannelRTSP::ProcessPacket(const RTP_PACKET_INFO& packet) {
  if (HasAnnounced.load(std::memory_order_acquire) && HasAnnounced.exchange(false)) {
    CMutexLock guard(AnnouncedLock);
    Parser.AcceptConfiguration(AnnouncedConfig);
  }
  Parser.ProcessPacket(packet);
}

void CMPEGChannelRTSP::AfterDescribe() {
  if (!Client || Client->VideoConfig().empty()) return;
  CMutexLock guard(AnnouncedLock);
  AnnouncedConfig = Client->VideoConfig();
  HasAnnounced = true;
}

}  // namespace korvalt
