#include "media/channels/common_channel_rtsp.h"

#include <algorithm>
#include <array>
#include <vector>

#include "http/h_utils.h"

namespace korvalt {
namespace {

constexpr const char* kProfile1Path = "/config/video.cgi?profileid=1";
constexpr const char* kProfile2Path = "/config/video.cgi?profileid=2";
constexpr const char* kSeparator = "=";
constexpr const char* kTerminators = "\r\n";
constexpr uint32_t kMaxPort = 65535;
constexpr uint32_t kStatusUnauthorized = 401;
constexpr const char* kConfigureOrigin = "korvalt::CCommonChannelRTSP::ConfigureCamera";
constexpr std::array<uint32_t, 11> kBitRates = {64, 128, 256, 384, 500, 750, 1000, 1500, 2000, 3000, 4000};

const char* ProfileCodecName(uint32_t codec) {
  switch (codec) {
    case CCommonChannelRTSP::kCodecMJPEG:
      return "MJPEG";
    case CCommonChannelRTSP::kCodecMPEG4:
      return "MPEG4";
    default:
      return "H264";
  }
}

std::string Value(const std::string& key, const std::string& text) {
  return HUtils::GetValue(key, kSeparator, text, kTerminators);
}

int IntValue(const std::string& key, const std::string& text) {
  return HUtils::GetIntValue(key, kSeparator, text, kTerminators);
}

// The reply as text up to its terminating zero byte.
std::string BodyText(const std::vector<uint8_t>& body) {
  const auto end = std::find(body.begin(), body.end(), uint8_t{0});
  return std::string(body.begin(), end);
}

}  // namespace

CCommonChannelRTSP::CCommonChannelRTSP(uint32_t channelNumber, IDriver* driver,
                                       ipcapture::IFrameSink* frameSink, uint32_t codec)
    : CBaseRTSPChannel(channelNumber, driver, frameSink), Sender(driver->GetDeviceInfo()), Codec(codec) {}

CCommonChannelRTSP::~CCommonChannelRTSP() {
  Stop();
}

void CCommonChannelRTSP::BeforeStop() {
  Sender.Abort();
}

bool CCommonChannelRTSP::ConfigureCamera() {
  // The stopping thread sets the stop event before it aborts, so an abort is never lost here.
  Sender.ClearAbort();
  if (StopRequested()) return false;

  std::vector<uint8_t> body;
  std::string profileText;
  bool found = false;
  if (HUtils::Query(body, Sender, nullptr, kProfile1Path)) {
    profileText = BodyText(body);
    found = ProfileRtspPort(profileText, RtspPort);
  } else if (Sender.GetStatusCode() == kStatusUnauthorized) {
    NoteCredentialsRefused(kConfigureOrigin, HUtils::Format("request \"%s\"", kProfile1Path));
    return false;
  }
  if (profileText.empty()) return false;
  if (!found && !StopRequested() && HUtils::Query(body, Sender, nullptr, kProfile2Path)) {
    // Profile 1 must not share profile 2's port.
    if (static_cast<uint32_t>(IntValue("port", BodyText(body))) == RtspPort)
      RtspPort = RtspPort < kMaxPort ? RtspPort + 1 : RtspPort - 1;
  }
  return SetProfile1(profileText);
}

bool CCommonChannelRTSP::ProfileRtspPort(const std::string& profileText, uint32_t& port) {
  const int value = IntValue("port", profileText);
  // A port no TCP connection can have is no answer: the session would go to a truncated port.
  if (Value("format", profileText).find("RTP") == std::string::npos || value <= 0 ||
      static_cast<uint32_t>(value) > kMaxPort)
    return false;
  port = static_cast<uint32_t>(value);
  return true;
}

std::string CCommonChannelRTSP::BuildProfileRequest(const std::string& profileText) const {
  const StreamSettings settings = Settings();
  const uint32_t quality = std::min<uint32_t>(settings.Quality, 100);
  bool differs = false;
  std::string path = kProfile1Path;

  const std::string resolution = HUtils::Format("%ux%u", settings.Width, settings.Height);
  path += "&resolution=" + resolution;
  differs |= Value("resolution", profileText) != resolution;

  const uint32_t bitRate = kBitRates[std::min<uint32_t>(quality * 11 / 100, 10)];
  path += HUtils::Format("&bitrate=%u", bitRate);
  differs |= static_cast<uint32_t>(IntValue("bitrate", profileText)) != bitRate;

  const std::string codec = ProfileCodecName(Codec);
  path += "&codec=" + codec;
  differs |= Value("codec", profileText) != codec;

  // A zero interval asks for no particular rate: the camera's present rate is kept.
  const uint32_t interval = settings.FrameInterval;
  const uint32_t frameRate = interval == 0 ? static_cast<uint32_t>(IntValue("framerate", profileText))
                                           : (1000 + interval / 2) / interval;
  path += HUtils::Format("&framerate=%u", frameRate);
  differs |= static_cast<uint32_t>(IntValue("framerate", profileText)) != frameRate;

  path += "&goplength=1";
  differs |= IntValue("goplength", profileText) != 1;

  path += "&format=RTP";
  differs |= Value("format", profileText) != "RTP";

  path += "&multicast=off&multicast_addr=228.0.0.1&multicast_port=10000";

  path += HUtils::Format("&port=%u", RtspPort);
  differs |= static_cast<uint32_t>(IntValue("port", profileText)) != RtspPort;

  if (Codec == kCodecMJPEG) {
    const uint32_t jpegQuality = quality / 25 + 1;
    path += HUtils::Format("&quality=%u", jpegQuality);
    differs |= static_cast<uint32_t>(IntValue("quality", profileText)) != jpegQuality;
  } else {
    const int32_t q = static_cast<int32_t>(quality);
    const int32_t vbr =
        Codec == kCodecH264 ? std::max(16, 50 - 34 * q / 100) : std::max(3, 31 - 28 * q / 100);
    path += HUtils::Format("&vbr=%d", vbr);
    differs |= IntValue("vbr", profileText) != vbr;
  }
  return differs ? path : std::string();
}

bool CCommonChannelRTSP::SetProfile1(const std::string& profileText) {
  const std::string path = BuildProfileRequest(profileText);
  if (path.empty()) return true;
  if (StopRequested()) return false;
  std::vector<uint8_t> body;
  CResultDef result;
  HUtils::RequestGetRD(body, Sender, result, path, false);
  if (result.Code == 0) return true;
  // Refused credentials have a line of their own, once per series.
  if (Sender.GetStatusCode() == kStatusUnauthorized) {
    NoteCredentialsRefused(kConfigureOrigin, HUtils::Format("request \"%s\"", path.c_str()));
  } else if (!result.Text.empty() && HUtils::ShouldLog(Driver)) {
    Driver->DebugMessage(result.Level, "%s", result.Text.c_str());
  }
  return false;
}

const char* CCommonChannelRTSP::RtpEncodingName() const {
  switch (Codec) {
    case kCodecMJPEG:
      return "JPEG";
    case kCodecMPEG4:
      return "MP4V-ES";
    default:
      return "H264";
  }
}

void CCommonChannelRTSP::AdjustConnectionParams(RTSP_CONNECTION_PARAMS& params) {
  params.ServerPort = static_cast<uint16_t>(RtspPort != 0 ? RtspPort : kDefaultRtspPort);
  params.UrlPath = kDefaultPath;
}

}  // namespace korvalt
