#include "media/channels/mjpeg_channel_rtsp.h"

namespace korvalt {

CMJPEGChannelRTSP::CMJPEGChannelRTSP(uint32_t channelNumber, IDriver* driver,
                                     ipcapture::IFrameSink* frameSink)
    : CCommonChannelRTSP(channelNumber, driver, frameSink, kCodecMJPEG), Parser("QuenlarkIPCapture", driver) {
  Parser.SetClient(this);
}

CMJPEGChannelRTSP::~CMJPEGChannelRTSP() {
  Stop();
  CloseReceiver();
  CloseSession();
}

void CMJPEGChannelRTSP::ProcessPacket(const RTP_PACKET_INFO& packet) {
  Parser.ProcessPacket(packet);
}

}  // namespace korvalt
