#include "driver/quenlark_camera_properties.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "driver/host/device_params.h"
#include "http/camera_cgi.h"
#include "http/h_utils.h"
#include "transport/base_rtsp_client.h"

namespace korvalt {
namespace ipc = ipcapture;

namespace {

constexpr const char* kVendor = "Quenlark";
using cgi::kInfoPath;
using cgi::kRs485Path;
using cgi::kSeparator;
using cgi::kStreamInfoPath;
using cgi::kTerminators;
constexpr const char* kProfilePath = cgi::kProfile1Path;
constexpr const char* kListDelimiter = ",";
// This model has its PTZ built in and does not report it over RS-485.
constexpr const char* kBuiltInPtzModel = "6250";

constexpr int32_t kStandardNtsc = 1;
constexpr int32_t kStandardPal = 0;
// Shape classes: trunc(width / height + 0.625). 704x480 and 352x240 (NTSC) are class 2;
// 704x576, 640x480 and the other 4:3-like sizes are class 1.
constexpr int kShapeSquare = 1;
constexpr int kShapeWide = 2;
constexpr double kShapeRounding = 0.625;
constexpr int32_t kMaxPalFrameRate = 25;
constexpr int32_t kMaxFrameRate = 2000;  // the fastest rate whose interval rounds to 1 ms
constexpr uint32_t kMsPerSecond = 1000;
constexpr unsigned kMaxDimension = 0xFFFF;  // resolution entries hold 16-bit sizes
constexpr size_t kMaxDigits = 9;

constexpr int32_t kFrameIntervalList = 1;  // the only list the host is asked for
constexpr const char* kNoValue = "(none)";

// atoi without its undefined overflow: leading blanks, sign, digits, rest ignored; clamped.
int32_t ToInt(const std::string& text) {
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// Reads the leading decimal number of text at pos (blanks and one '+' allowed before it).
bool ReadNumber(const std::string& text, size_t& pos, unsigned& out) {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  if (pos < text.size() && text[pos] == '+') ++pos;
  const size_t begin = pos;
  unsigned long long value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    if (pos - begin >= kMaxDigits) return false;
    value = value * 10 + static_cast<unsigned>(text[pos] - '0');
    ++pos;
  }
  if (pos == begin) return false;
  out = static_cast<unsigned>(value);
  return true;
}

// "WxH" with two non-zero sizes that fit a resolution entry; text after H is ignored.
bool ParseResolution(const std::string& text, unsigned& width, unsigned& height) {
  size_t pos = 0;
  if (!ReadNumber(text, pos, width) || pos >= text.size() || text[pos] != 'x') return false;
  ++pos;
  if (!ReadNumber(text, pos, height)) return false;
  return width != 0 && height != 0 && width <= kMaxDimension && height <= kMaxDimension;
}

int ShapeClass(unsigned width, unsigned height) {
  return static_cast<int>(static_cast<double>(width) / static_cast<double>(height) + kShapeRounding);
}

// 1000 / rate rounded to the nearest millisecond, halves upwards.
int32_t IntervalOf(int32_t rate) {
  const int64_t r = rate;
  return static_cast<int32_t>((2 * int64_t{kMsPerSecond} + r) / (2 * r));
}

}  // namespace

CQuenlarkCameraProperties::CQuenlarkCameraProperties(const DEVICE_INFO& device)
    : CCameraPropertiesEx(device), Sender(DeviceInfo) {}

void CQuenlarkCameraProperties::CancelRequest() {
  Sender.Abort();
  Cancelled.Set();
}

bool CQuenlarkCameraProperties::Get(const char* path, std::string& text) {
  std::vector<uint8_t> body;
  text.clear();
  // No message sink: a camera that cannot be asked is the query's answer, not a log line.
  if (!HUtils::Query(body, Sender, nullptr, path)) return false;
  const char* data = reinterpret_cast<const char*>(body.data());
  text.assign(data, strnlen(data, body.size()));
  return !text.empty();
}

bool CQuenlarkCameraProperties::QueryDeviceInformation() {
  std::string reply;
  return Get(kInfoPath, reply) && ParseDeviceInformation(reply);
}

bool CQuenlarkCameraProperties::ParseDeviceInformation(const std::string& reply) {
  const auto value = [&reply](const char* key) {
    return HUtils::GetValue(key, kSeparator, reply, kTerminators);
  };
  Model = value("model");
  if (Model.empty()) return false;
  Vendor = kVendor;
  FullName = std::string(kVendor) + " " + Model;
  if (const std::string inputs = value("inputs"); !inputs.empty()) InputCount = ToInt(inputs);
  if (const std::string outputs = value("outputs"); !outputs.empty()) OutputCount = ToInt(outputs);
  FirmwareVersion = value("version");
  MacAddress = HUtils::RemoveChars(value("macaddr"), ":");
  PtzText = value("ptz");
  return true;
}

void CQuenlarkCameraProperties::QueryVideoProfile() {
  std::string reply;
  if (Get(kProfilePath, reply)) ParseVideoProfile(reply);
}

void CQuenlarkCameraProperties::ParseVideoProfile(const std::string& reply) {
  unsigned width = 0;
  unsigned height = 0;
  if (!ParseResolution(HUtils::GetValue("resolution", kSeparator, reply, kTerminators), width, height))
    return;
  VideoStandard = ShapeClass(width, height) == kShapeWide ? kStandardNtsc : kStandardPal;
}

bool CQuenlarkCameraProperties::QueryStreamInformation() {
  std::string reply;
  return Get(kStreamInfoPath, reply) && ParseStreamInformation(reply);
}

bool CQuenlarkCameraProperties::ParseStreamInformation(const std::string& reply) {
  const std::string videos = HUtils::ToLower(HUtils::GetValue("videos", kSeparator, reply, kTerminators));
  if (videos.empty()) return false;
  if (videos.find("mjpeg") != std::string::npos) Codecs.push_back(kCodecMJPEG);
  if (videos.find("mpeg4") != std::string::npos) Codecs.push_back(kCodecMPEG4);
  if (videos.find("h264") != std::string::npos) Codecs.push_back(kCodecH264);

  for (const std::string& item :
       HUtils::GetValueList("framerates", kSeparator, reply, kListDelimiter, kTerminators)) {
    const int32_t rate = ToInt(item);
    // A rate below 1 would turn into a negative or endless frame interval, one above 2000 fps
    // into an interval of 0 ms.
    if (rate > 0 && rate <= kMaxFrameRate && (VideoStandard == kStandardNtsc || rate <= kMaxPalFrameRate))
      FrameRates.insert(rate);
  }
  if (FrameRates.empty()) return false;

  const auto fastest = static_cast<uint32_t>(*FrameRates.rbegin());
  const uint32_t shortest = kMsPerSecond / fastest;
  // Sizes listed before: a set, so that a reply listing many sizes costs no quadratic time.
  std::set<std::pair<unsigned, unsigned>> known;
  for (const std::string& item :
       HUtils::GetValueList("resolutions", kSeparator, reply, kListDelimiter, kTerminators)) {
    unsigned width = 0;
    unsigned height = 0;
    if (!ParseResolution(item, width, height)) continue;
    const int shape = ShapeClass(width, height);
    if ((VideoStandard == kStandardNtsc && shape == kShapeSquare) ||
        (VideoStandard == kStandardPal && shape == kShapeWide))
      continue;
    if (!known.emplace(width, height).second) continue;
    Resolution entry;
    entry.Width = static_cast<uint16_t>(width);
    entry.Height = static_cast<uint16_t>(height);
    // Above 31 fps the whole-millisecond interval no longer tells the rate apart; none is given.
    if (shortest >= fastest) entry.FrameIntervals.push_back(shortest);
    Resolutions.push_back(std::move(entry));
  }
  if (Resolutions.empty()) return false;

  if (!HUtils::GetValue("audios", kSeparator, reply, kTerminators).empty()) Audio = true;
  return true;
}

void CQuenlarkCameraProperties::QueryPTZ() {
  if (Model.find(kBuiltInPtzModel) != std::string::npos) {
    PTZ = true;
    return;
  }
  std::string reply;
  if (Get(kRs485Path, reply)) ParseRs485(reply);
}

void CQuenlarkCameraProperties::ParseRs485(const std::string& reply) {
  if (HUtils::GetValue("enable", kSeparator, reply, kTerminators).find("yes") != std::string::npos)
    PTZ = true;
}

bool CQuenlarkCameraProperties::QueryProperties(int32_t* errorCode) {
  bool result = QueryDeviceInformation();
  if (result && !IsAborted()) QueryVideoProfile();
  if (result && !IsAborted()) result = QueryStreamInformation();
  if (result && !IsAborted()) QueryPTZ();
  if (result && !IsAborted()) QueryVideoPortKey();
  Queried = 1;
  if (!result && errorCode != nullptr) *errorCode = ipc::kCapabilityQueryError;
  return result;
}

std::string CQuenlarkCameraProperties::KeySha256() const {
  const auto& login = Sender.GetDeviceInfo().Login;
  return login && login->Key().UsesHttps() ? login->Key().Accepted() : std::string();
}

void CQuenlarkCameraProperties::QueryVideoPortKey() {
  const auto& login = Sender.GetDeviceInfo().Login;
  if (!login || !login->Key().UsesHttps()) return;
  // Only the handshake: any key is taken (no login to judge it), no request and no credentials go.
  RTSP_CONNECTION_PARAMS params;
  params.ServerAddress = DeviceInfo.Address;
  params.ServerPort = RtspsPort;
  params.ConnectTimeout = DeviceInfo.NetworkTimeout;
  params.ReceiveTimeout = DeviceInfo.NetworkTimeout;
  params.Tls = true;
  CBaseRTSPClient client;
  client.SetStopEvent(&Cancelled);
  client.Connect(params);
  VideoPortKey = client.PresentedKey();
  client.Disconnect();
}

std::string CQuenlarkCameraProperties::VideoKeySha256() const {
  return VideoPortKey == KeySha256() ? std::string() : VideoPortKey;
}

bool CQuenlarkCameraProperties::SaveProperties(ipc::ICapabilityResults* results) {
  // The base refuses a null result object too, but the frame intervals come first.
  if (results == nullptr) return false;

  if (ipc::IFrameIntervalList* intervals = results->GetFrameIntervalList(kFrameIntervalList)) {
    for (const int32_t rate : FrameRates) intervals->AddInterval(IntervalOf(rate));
    if (!FrameRates.empty()) intervals->SetDefaultInterval(IntervalOf(*FrameRates.rbegin()));
  }
  results->SetProperty(ipc::kCapabilityFlag11, 0);
  results->SetProperty(ipc::kCapabilityFlag12, 0);

  if (!CCameraPropertiesEx::SaveProperties(results)) return false;

  struct Parameter {
    int32_t Index;
    const char* Name;
    int32_t Type;
    std::string Value;
  };
  const Parameter parameters[] = {
      {ipc::kCustomParameterVideoStandard, "Video standard", ipc::kCustomParameterNumber,
       VideoStandard == kStandardNtsc ? "1" : "0"},
      {ipc::kCustomParameterFirmware, "Firmware", ipc::kCustomParameterText, FirmwareVersion},
      {ipc::kCustomParameterMacAddress, "MAC Address", ipc::kCustomParameterText, MacAddress},
      // The key the query's HTTPS connection accepted, for the host to hand back as the pin.
      {ipc::kCustomParameterKeySha256, "TLS key SHA-256", ipc::kCustomParameterText, KeySha256()},
      // The video port's own key, for a camera whose RTSP over TLS presents another key.
      {ipc::kCustomParameterRtspsKeySha256, "RTSP over TLS key SHA-256", ipc::kCustomParameterText,
       VideoKeySha256()},
  };
  for (const Parameter& p : parameters) {
    ipc::ICustomParameterInfo* info = results->GetCustomParameter(p.Index);
    if (info == nullptr) continue;
    info->SetName(p.Name);
    info->SetAttribute(0);
    info->SetType(p.Type);
    info->SetValue(p.Value.empty() ? kNoValue : p.Value.c_str());
  }
  return true;
}

}  // namespace korvalt
