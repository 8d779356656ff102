// The channel's reading of an arbitrary stream profile reply: the RTSP port it takes and the
// profile request it builds for every codec and any host settings. The request goes into a URL,
// so nothing from the reply may reach it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_host.h"
#include "media/channels/common_channel_rtsp.h"

namespace {

class ProfileChannel : public korvalt::CCommonChannelRTSP {
 public:
  ProfileChannel(korvalt::IDriver* driver, uint32_t codec) : CCommonChannelRTSP(0, driver, nullptr, codec) {}
  ~ProfileChannel() override { Stop(); }
  void ProcessPacket(const korvalt::RTP_PACKET_INFO&) override {}
  using CBaseCameraChannel::UseSettings;
};

uint32_t Read32(const uint8_t*& data, size_t& size) {
  uint32_t value = 0;
  const size_t n = std::min(size, sizeof value);
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

bool UrlSafe(const std::string& path) {
  for (const char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzhost::Driver driver;
  static ProfileChannel channels[] = {{&driver, korvalt::CCommonChannelRTSP::kCodecMJPEG},
                                      {&driver, korvalt::CCommonChannelRTSP::kCodecMPEG4},
                                      {&driver, korvalt::CCommonChannelRTSP::kCodecH264}};
  // Host settings first (each a 16-bit value widened, as the capture object passes them), then
  // the reply up to its first zero byte.
  korvalt::StreamSettings settings;
  settings.FrameInterval = Read32(data, size) & 0xFFFF;
  settings.Quality = Read32(data, size) & 0xFFFF;
  settings.Width = Read32(data, size) & 0xFFFF;
  settings.Height = Read32(data, size) & 0xFFFF;
  std::string profile(reinterpret_cast<const char*>(data), size);
  profile.resize(std::min(profile.size(), profile.find('\0')));

  uint32_t port = korvalt::CCommonChannelRTSP::kDefaultRtspPort;
  if (korvalt::CCommonChannelRTSP::ProfileRtspPort(profile, port) && (port == 0 || port > 65535))
    __builtin_trap();
  for (ProfileChannel& channel : channels) {
    channel.UseSettings(settings);
    if (!UrlSafe(channel.BuildProfileRequest(profile))) __builtin_trap();
  }
  return 0;
}
