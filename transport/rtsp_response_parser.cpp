#include "transport/rtsp_response_parser.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "http/h_utils.h"
#include "transport/rtsp_method.h"

namespace korvalt {
namespace {

constexpr size_t kNone = std::string_view::npos;
constexpr int kStatusOk = 200;
constexpr int kStatusUnauthorized = 401;
constexpr int kDefaultSessionTimeout = 30;
constexpr size_t kParameterSetCapacity = 256;
constexpr size_t kWordCapacity = 256;  // scanned words hold at most 255 characters
// Order of the challenges of one response: any answerable Digest beats Basic.
constexpr int kBasicRank = 1;
constexpr int kDigestRank = 10;
// What a report names of the challenges it cannot answer: each word cut short, the whole too.
constexpr size_t kMaxReportedWord = 32;
constexpr size_t kMaxReportedLength = 200;

// A line runs to the first CR or LF and ends with CR LF or, from some servers, with LF alone.
// Without a line end the line is empty and the position becomes kNone for good.
std::string ReadLine(std::string_view text, size_t& position) {
  if (position == kNone || position > text.size()) {
    position = kNone;
    return {};
  }
  const size_t end = text.find_first_of("\r\n", position);
  if (end == kNone) {
    position = kNone;
    return {};
  }
  std::string line(text.substr(position, end - position));
  const bool crLf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
  position = end + (crLf ? 2 : 1);
  return line;
}

enum class HeaderKind {
  kNone,
  kCSeq,
  kContentBase,
  kContentType,
  kContentLength,
  kSession,
  kAuthenticate,
  kIgnored,
  kTransport,
};

struct HeaderName {
  const char* Name;  // lower case
  HeaderKind Kind;
};

constexpr std::array<HeaderName, 13> kHeaderNames = {{
    {"cseq", HeaderKind::kCSeq},
    {"date", HeaderKind::kIgnored},
    {"content-base", HeaderKind::kContentBase},
    {"content-type", HeaderKind::kContentType},
    {"content-length", HeaderKind::kContentLength},
    {"transport", HeaderKind::kTransport},
    {"session", HeaderKind::kSession},
    {"range", HeaderKind::kIgnored},
    {"rtp-info", HeaderKind::kIgnored},
    {"server", HeaderKind::kIgnored},
    {"accept-ranges", HeaderKind::kIgnored},
    {"rtcp-interval", HeaderKind::kIgnored},
    {"www-authenticate", HeaderKind::kAuthenticate},
}};

// Only the header's own name decides (without case): a value that contains another header's name
// (a realm "Streaming Server", "X-Info: Session expired") does not make its line that header.
HeaderKind Classify(std::string_view name) {
  for (const HeaderName& header : kHeaderNames) {
    if (HUtils::EqualsIgnoringCase(name, header.Name)) return header.Kind;
  }
  return HeaderKind::kNone;
}

// The decimal number at the start of text; false when there is none or it exceeds UINT32_MAX.
bool LeadingUnsigned(std::string_view text, uint32_t& value) {
  uint64_t number = 0;
  size_t digits = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    number = number * 10 + static_cast<uint64_t>(text[digits] - '0');
    if (number > UINT32_MAX) return false;
  }
  value = static_cast<uint32_t>(number);
  return digits != 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of one "name=value" parameter of an fmtp line ("a=fmtp:96 a=1; config=000001B0"),
// the name compared without case; empty when absent.
std::string_view FormatParameter(std::string_view line, std::string_view name) {
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {};
  std::string_view rest = line.substr(blank + 1);
  while (!rest.empty()) {
    const size_t end = std::min(rest.find(';'), rest.size());
    const std::string_view parameter = HUtils::TrimBlanks(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const size_t equals = parameter.find('=');
    if (equals != std::string_view::npos &&
        HUtils::EqualsIgnoringCase(HUtils::TrimBlanks(parameter.substr(0, equals)), name)) {
      return HUtils::TrimBlanks(parameter.substr(equals + 1));
    }
  }
  return {};
}

enum class SdpKind { kNone, kControl, kFormat, kRtpMap, kVideo, kAudio, kMetadata, kOtherMedia };

SdpKind ClassifySdp(const std::string& lower) {
  static constexpr std::array<std::pair<const char*, SdpKind>, 7> kNames = {{
      {"a=control", SdpKind::kControl},
      {"a=fmtp", SdpKind::kFormat},
      {"a=rtpmap", SdpKind::kRtpMap},
      {"m=video", SdpKind::kVideo},
      {"m=audio", SdpKind::kAudio},
      {"m=metadata", SdpKind::kMetadata},
      {"m=", SdpKind::kOtherMedia},
  }};
  for (const auto& [name, kind] : kNames) {
    if (lower.find(name) != std::string::npos) return kind;
  }
  return SdpKind::kNone;
}

int32_t ToInt32(const std::string& text) {
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool CRTSPResponseParser::Parse(const std::string& text, int method) {
  size_t position = 0;
  const std::string statusLine = ReadLine(text, position);
  std::array<char, kWordCapacity> protocol{};
  std::array<char, kWordCapacity> reason{};
  int status = 0;
  StatusLineRead = false;
  CSeq.reset();
  if (std::sscanf(statusLine.c_str(), "%255s %d %255s", protocol.data(), &status, reason.data()) < 3) {
    return false;
  }
  StatusLineRead = true;
  Protocol = protocol.data();
  StatusCode = status;
  Reason = reason.data();
  {
    // The whole phrase after the code, for reports: "Not Found" where Reason holds "Not".
    const std::string_view line = HUtils::TrimBlanks(statusLine);
    const size_t code = line.find_first_not_of(" \t", line.find_first_of(" \t"));
    const size_t phrase = line.find_first_of(" \t", code);
    ReasonPhrase = phrase == std::string_view::npos ? std::string()
                                                    : std::string(HUtils::TrimBlanks(line.substr(phrase)));
  }
  if (StatusCode != kStatusOk && StatusCode != kStatusUnauthorized) return false;

  ChallengeRank = 0;
  UnusableChallenge = false;
  UnansweredChallenges.clear();
  for (;;) {
    const std::string line = ReadLine(text, position);
    if (line.empty()) break;
    if (!ParseHeader(line)) return false;
  }
  if (UnusableChallenge) return false;

  if (ContentLength != 0 && position == kNone) return false;
  std::string_view body;
  if (position != kNone && ContentLength != 0) {
    body = std::string_view(text).substr(position, ContentLength);
  }
  if (method == kRtspDescribe) return ParseSdp(body);
  return true;
}

bool CRTSPResponseParser::ParseHeader(const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return true;  // no header line: skipped
  const std::string_view text(line);
  const std::string_view value = HUtils::TrimBlanks(text.substr(colon + 1));
  switch (Classify(HUtils::TrimBlanks(text.substr(0, colon)))) {
    case HeaderKind::kCSeq: {
      uint32_t number = 0;
      if (!LeadingUnsigned(value, number)) return false;
      CSeq = number;
      return true;
    }
    case HeaderKind::kContentBase:
      ContentBase = std::string(value);
      return true;
    case HeaderKind::kContentType: {
      const std::string_view type = value.substr(0, std::min(value.find_first_of(" \t"), kWordCapacity - 1));
      if (type.empty()) return false;
      ContentType = HUtils::ToLower(std::string(type));
      return true;
    }
    case HeaderKind::kContentLength:
      return LeadingUnsigned(value, ContentLength);
    case HeaderKind::kSession:
      return ParseSession(value);
    case HeaderKind::kAuthenticate:
      return ParseAuthenticate(value);
    case HeaderKind::kTransport:
      ParseTransport(value);
      return true;
    case HeaderKind::kIgnored:
    case HeaderKind::kNone:
      return true;
  }
  return true;
}

bool CRTSPResponseParser::ParseSession(std::string_view value) {
  Session.clear();
  // Cameras compare the identifier exactly: it keeps the case it was sent in.
  const size_t semicolon = value.find(';');
  Session = std::string(HUtils::TrimBlanks(value.substr(0, semicolon)));
  if (semicolon != std::string_view::npos) {
    // A Session header with parameters must name the time-out.
    std::string timeout;
    std::string_view parameters = value.substr(semicolon + 1);
    while (!parameters.empty() && timeout.empty()) {
      const size_t end = std::min(parameters.find(';'), parameters.size());
      const std::string_view parameter = parameters.substr(0, end);
      parameters.remove_prefix(std::min(end + 1, parameters.size()));
      const size_t equals = parameter.find('=');
      if (equals != std::string_view::npos &&
          HUtils::EqualsIgnoringCase(HUtils::TrimBlanks(parameter.substr(0, equals)), "timeout")) {
        timeout = std::string(HUtils::TrimBlanks(parameter.substr(equals + 1)));
      }
    }
    if (timeout.empty()) {
      Session.clear();
    } else {
      int32_t announced = ToInt32(timeout);
      if (announced == 0) announced = kDefaultSessionTimeout;
      // The smallest time-out the session announced holds: a camera that says 60 s on SETUP and
      // 120 s on PLAY drops the session after 60.
      SessionTimeout = SessionTimeout > 0 && announced > 0 ? std::min(SessionTimeout, announced) : announced;
    }
  }
  return !Session.empty();
}

bool CRTSPResponseParser::ParseAuthenticate(std::string_view value) {
  // The scheme is a token compared without case: "Digest", "digest" and "DIGEST" are one. Of
  // several challenges in one response the strongest this client can answer wins, whatever their
  // order: Digest over Basic, SHA-256 over MD5.
  const size_t schemeEnd = std::min(value.find_first_of(" \t"), value.size());
  const std::string_view scheme = value.substr(0, schemeEnd);
  const std::string_view rest = value.substr(schemeEnd);
  int32_t candidate = kRtspAuthNone;
  DIGEST_CHALLENGE digest;
  int rank = 0;
  if (HUtils::EqualsIgnoringCase(scheme, "Digest")) {
    candidate = kRtspAuthDigest;
    if (HUtils::ParseDigestChallenge(rest, digest)) {
      rank = kDigestRank + 2 * static_cast<int>(digest.Algorithm) + (digest.QopAuth ? 1 : 0);
    }
  } else if (HUtils::EqualsIgnoringCase(scheme, "Basic")) {
    candidate = kRtspAuthBasic;
    rank = kBasicRank;
  }
  if (rank == 0) {
    NoteUnanswered(scheme, rest);
    // A Digest challenge without realm or nonce fails the response unless a usable challenge
    // comes with it; a scheme or algorithm we cannot answer is passed over.
    if (ChallengeRank == 0) {
      AuthScheme = kRtspAuthNone;
      if (candidate == kRtspAuthDigest && (digest.Realm.empty() || digest.Nonce.empty())) {
        AuthScheme = kRtspAuthDigest;
        Realm = digest.Realm;
        Nonce = digest.Nonce;
        Digest = digest;
        UnusableChallenge = true;
      }
    }
    return true;
  }
  if (rank <= ChallengeRank) return true;
  ChallengeRank = rank;
  UnusableChallenge = false;
  AuthScheme = candidate;
  Realm = HUtils::AuthParameter(rest, "realm");
  Nonce = HUtils::AuthParameter(rest, "nonce");
  Digest = candidate == kRtspAuthDigest ? digest : DIGEST_CHALLENGE{};
  return true;
}

void CRTSPResponseParser::NoteUnanswered(std::string_view scheme, std::string_view parameters) {
  // Words from the camera, bounded and printable: they go into a diagnostic line.
  const auto word = [](std::string_view text) {
    std::string kept;
    for (const char c : text.substr(0, kMaxReportedWord)) kept += c > ' ' && c < 0x7F ? c : '?';
    return kept;
  };
  if (UnansweredChallenges.size() >= kMaxReportedLength || scheme.empty()) return;
  std::string named = word(scheme);
  std::string details;
  for (const char* name : {"algorithm", "qop"}) {
    const std::string value = HUtils::AuthParameter(parameters, name);
    if (!value.empty()) details += (details.empty() ? "" : ", ") + std::string(name) + " " + word(value);
  }
  if (!details.empty()) named += " (" + details + ")";
  UnansweredChallenges += (UnansweredChallenges.empty() ? "" : ", ") + named;
}

void CRTSPResponseParser::ParseTransport(std::string_view value) {
  // "RTP/AVP;unicast;client_port=3556-3557;server_port=6970-6971;ssrc=1A2B3C4D": where the camera
  // sends from and as whom. Anything unreadable names nothing, and every datagram is taken as before.
  ServerRtpPort = 0;
  TransportSsrc.reset();
  while (!value.empty()) {
    const size_t end = std::min(value.find(';'), value.size());
    const std::string_view parameter = HUtils::TrimBlanks(value.substr(0, end));
    value.remove_prefix(std::min(end + 1, value.size()));
    const size_t equals = parameter.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = HUtils::TrimBlanks(parameter.substr(0, equals));
    const std::string text(HUtils::TrimBlanks(parameter.substr(equals + 1)));
    if (HUtils::EqualsIgnoringCase(name, "server_port")) {
      const std::string first = text.substr(0, text.find('-'));
      int port = 0;
      if (HUtils::ParseInt(first, port) && port > 0 && port <= 65535)
        ServerRtpPort = static_cast<uint16_t>(port);
    } else if (HUtils::EqualsIgnoringCase(name, "ssrc")) {
      // Eight hexadecimal digits at most; odd forms (decimal, "0x", longer) name nothing.
      if (text.empty() || text.size() > 8 ||
          text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        continue;
      TransportSsrc = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
    }
  }
}

void CRTSPResponseParser::ReadVideoEncoding(const std::string& line) {
  // "a=rtpmap:96 H264/90000": the encoding after the payload type, as written.
  const size_t space = line.find_first_of(" \t");
  if (space == std::string::npos || VideoEncodings.size() >= kMaxVideoEncodings) return;
  const size_t start = line.find_first_not_of(" \t", space);
  if (start == std::string::npos) return;
  const size_t end = std::min(line.find_first_of(" \t", start), line.size());
  VideoEncodings.push_back(line.substr(start, end - start));
}

bool CRTSPResponseParser::ParseSdp(std::string_view body) {
  std::string* control = nullptr;  // the current media's control member
  bool video = false;              // the current media is the video media
  size_t position = 0;
  VideoEncodings.clear();
  for (;;) {
    const std::string line = ReadLine(body, position);
    if (line.empty()) return true;
    switch (ClassifySdp(HUtils::ToLower(line))) {
      case SdpKind::kVideo:
        control = &VideoControl;
        video = true;
        break;
      case SdpKind::kAudio:
        control = &AudioControl;
        video = false;
        break;
      case SdpKind::kMetadata:
        control = &MetadataControl;
        video = false;
        break;
      case SdpKind::kOtherMedia:
        control = nullptr;
        video = false;
        break;
      case SdpKind::kControl: {
        if (control == nullptr) break;  // session level or a media we do not use
        // The whole URL is kept, however long: a cut absolute URL would name another resource.
        static constexpr std::string_view kPrefix = "a=control:";
        const std::string_view rest =
            std::string_view(line).substr(line.rfind(kPrefix, 0) == 0 ? kPrefix.size() : line.size());
        const size_t first = rest.find_first_not_of(" \t");
        const std::string_view value = first == std::string_view::npos
                                           ? std::string_view()
                                           : rest.substr(first, rest.find_first_of(" \t", first) - first);
        if (line.rfind(kPrefix, 0) != 0 || value.empty()) {
          control->clear();
          return false;
        }
        *control = std::string(value);
        break;
      }
      case SdpKind::kFormat:
        DecodeParameterSets(line);
        if (video) DecodeVideoConfig(line);
        break;
      case SdpKind::kRtpMap:
        if (video) ReadVideoEncoding(line);
        break;
      case SdpKind::kNone:
        break;
    }
  }
}

void CRTSPResponseParser::DecodeParameterSets(const std::string& line) {
  // Look at the parameters only, so that sprop-parameter-sets is found also as the first one
  // ("a=fmtp:96 sprop-parameter-sets=...").
  const size_t blank = line.find(' ');
  const std::string parameters = blank == std::string::npos ? line : line.substr(blank + 1);
  const std::string value = HUtils::GetValue("sprop-parameter-sets", "=", parameters, ";\r\n");
  if (value.empty()) return;
  const std::vector<std::string> pieces = HUtils::SplitList(value);
  if (pieces.size() < 2 || pieces[0].empty() || pieces[1].empty()) return;

  std::array<uint8_t, kParameterSetCapacity> buffer{};
  size_t length = 0;
  if (DecodeBase64(pieces[0], buffer.data(), buffer.size(), length)) {
    Sps.insert(Sps.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
  }
  if (DecodeBase64(pieces[1], buffer.data(), buffer.size(), length)) {
    Pps.insert(Pps.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
  }
}

void CRTSPResponseParser::DecodeVideoConfig(const std::string& line) {
  const std::string_view hex = FormatParameter(line, "config");
  if (hex.empty() || hex.size() % 2 != 0) return;
  std::vector<uint8_t> bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return;  // not hexadecimal: left out
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  VideoConfig = std::move(bytes);
}

bool CRTSPResponseParser::DecodeBase64(std::string_view text, uint8_t* output, size_t capacity,
                                       size_t& length) {
  length = 0;
  if (output == nullptr) return false;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '\0') break;
    const int value = Base64Value(static_cast<unsigned char>(c));
    if (value < 0) continue;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    if (++count == 4) {
      if (capacity - length < 3) return false;
      output[length++] = static_cast<uint8_t>(bits >> 16);
      output[length++] = static_cast<uint8_t>(bits >> 8);
      output[length++] = static_cast<uint8_t>(bits);
      bits = 0;
      count = 0;
    }
  }
  // A final group of two or three characters carries one or two bytes.
  if (count == 2) {
    if (capacity - length < 1) return false;
    output[length++] = static_cast<uint8_t>(bits >> 4);
  } else if (count == 3) {
    if (capacity - length < 2) return false;
    output[length++] = static_cast<uint8_t>(bits >> 10);
    output[length++] = static_cast<uint8_t>(bits >> 2);
  }
  return true;
}

}  // namespace korvalt
