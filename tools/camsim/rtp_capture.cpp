#include "rtp_capture.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace camsim {
namespace {

constexpr size_t kRtpHeaderBytes = 12;
constexpr uint8_t kJpegPayloadType = 26;

bool ReadFile(const std::string& path, size_t limit, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.clear();
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    out.append(chunk, static_cast<size_t>(in.gcount()));
    if (out.size() > limit) return false;
  }
  return true;
}

// Only characters a base64 or hex parameter can hold: the value goes into the SDP verbatim.
bool PlainParameter(const std::string& value) {
  for (char c : value) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                    c == '/' || c == '=' || c == ',';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string JsonString(const std::string& json, const std::string& key) {
  const std::string quoted = "\"" + key + "\"";
  size_t at = json.find(quoted);
  if (at == std::string::npos) return {};
  at = json.find_first_not_of(" \t\r\n", at + quoted.size());
  if (at == std::string::npos || json[at] != ':') return {};
  at = json.find_first_not_of(" \t\r\n", at + 1);
  if (at == std::string::npos || json[at] != '"') return {};
  const size_t end = json.find('"', at + 1);
  return end == std::string::npos ? std::string() : json.substr(at + 1, end - at - 1);
}

bool RtpCapture::Load(const std::string& path, std::string& error) {
  std::string data;
  if (!ReadFile(path, kMaxFileBytes, data)) {
    error = "cannot read " + path + " (missing, or larger than 256 MiB)";
    return false;
  }
  Packets.clear();
  for (size_t pos = 0; pos + 2 <= data.size();) {
    const size_t n =
        static_cast<size_t>(static_cast<uint8_t>(data[pos])) << 8 | static_cast<uint8_t>(data[pos + 1]);
    if (pos + 2 + n > data.size()) {
      error = path + ": the last packet is cut short";
      return false;
    }
    const auto* first = reinterpret_cast<const uint8_t*>(data.data() + pos + 2);
    // Anything but an RTP version 2 datagram with its fixed header is left out.
    if (n > kRtpHeaderBytes && (first[0] >> 6) == 2) Packets.emplace_back(first, first + n);
    pos += 2 + n;
  }
  if (Packets.empty()) {
    error = path + ": no RTP packet";
    return false;
  }
  PayloadType = Packets.front()[1] & 0x7F;
  const auto* s = Packets.front().data() + 8;
  Ssrc = uint32_t{s[0]} << 24 | uint32_t{s[1]} << 16 | uint32_t{s[2]} << 8 | s[3];

  std::string side;
  const size_t dot = path.rfind('.');
  const std::string sidePath = (dot == std::string::npos ? path : path.substr(0, dot)) + ".json";
  if (ReadFile(sidePath, kMaxSideFileBytes, side)) {
    Codec = JsonString(side, "codec");
    SpropParameterSets = JsonString(side, "sprop_parameter_sets");
    Mpeg4Config = JsonString(side, "sdp_config");
  }
  if (Codec.empty()) Codec = PayloadType == kJpegPayloadType ? "jpeg" : "h264";
  if (Codec != "h264" && Codec != "jpeg" && Codec != "mpeg4") {
    error = sidePath + ": unknown codec '" + Codec + "'";
    return false;
  }
  if (!PlainParameter(SpropParameterSets) || !PlainParameter(Mpeg4Config)) {
    error = sidePath + ": parameter sets or configuration hold unexpected characters";
    return false;
  }
  return true;
}

std::string RtpCapture::Sdp(const std::string& address) const {
  const std::string pt = std::to_string(PayloadType);
  std::string media = "m=video 0 RTP/AVP " + pt + "\r\n";
  if (Codec == "jpeg") {
    if (PayloadType != kJpegPayloadType) media += "a=rtpmap:" + pt + " JPEG/90000\r\n";
  } else if (Codec == "mpeg4") {
    media += "a=rtpmap:" + pt + " MP4V-ES/90000\r\n";
    media += "a=fmtp:" + pt + " profile-level-id=1" + (Mpeg4Config.empty() ? "" : ";config=" + Mpeg4Config) +
             "\r\n";
  } else {
    media += "a=rtpmap:" + pt + " H264/90000\r\n";
    media += "a=fmtp:" + pt + " packetization-mode=1" +
             (SpropParameterSets.empty() ? "" : ";sprop-parameter-sets=" + SpropParameterSets) + "\r\n";
  }
  return "v=0\r\no=- 1 1 IN IP4 " + address + "\r\ns=camsim replay\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n" +
         "a=control:*\r\n" + media + "a=control:stream=0\r\n";
}

}  // namespace camsim
