#include "transport/rtsp_response_parser.h"

#include <algorithm>
#include <array>
#include <cctype>
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

// Every line is taken to end with CR LF: the next one starts two characters after the first
// CR or LF. Without one the line is empty and the position becomes kNone for good.
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
  position = std::min(end + 2, text.size());
  return line;
}

enum class HeaderKind {
  kNone,
  kCSeq,
  kContentType,
  kContentLength,
  kSession,
  kAuthenticate,
  kIgnored,
};

struct HeaderName {
  const char* Name;  // lower case
  HeaderKind Kind;
};

// Order matters: a line gets the kind of the first name it contains.
constexpr std::array<HeaderName, 13> kHeaderNames = {{
    {"cseq", HeaderKind::kCSeq},
    {"date", HeaderKind::kIgnored},
    {"content-base", HeaderKind::kIgnored},
    {"content-type", HeaderKind::kContentType},
    {"content-length", HeaderKind::kContentLength},
    {"transport", HeaderKind::kIgnored},
    {"session", HeaderKind::kSession},
    {"range", HeaderKind::kIgnored},
    {"rtp-info", HeaderKind::kIgnored},
    {"server", HeaderKind::kIgnored},
    {"accept-ranges", HeaderKind::kIgnored},
    {"rtcp-interval", HeaderKind::kIgnored},
    {"www-authenticate", HeaderKind::kAuthenticate},
}};

HeaderKind Classify(const std::string& lower) {
  // The header's own name decides first, so that a value containing another header's name (a
  // realm "Streaming Server", a session "4update") is not taken for that header.
  const size_t colon = lower.find(':');
  if (colon != std::string::npos) {
    const std::string name = HUtils::Trim(lower.substr(0, colon));
    for (const HeaderName& header : kHeaderNames) {
      if (name == header.Name) return header.Kind;
    }
  }
  for (const HeaderName& header : kHeaderNames) {
    if (lower.find(header.Name) != std::string::npos) return header.Kind;
  }
  return HeaderKind::kNone;
}

enum class SdpKind { kNone, kControl, kFormat, kVideo, kAudio, kMetadata, kOtherMedia };

SdpKind ClassifySdp(const std::string& lower) {
  static constexpr std::array<std::pair<const char*, SdpKind>, 6> kNames = {{
      {"a=control", SdpKind::kControl},
      {"a=fmtp", SdpKind::kFormat},
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

bool IsParameterDelimiter(char c) {
  return c == ' ' || c == ',' || c == '\t';
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Value of one auth-param of a challenge: a quoted string is taken whole (blanks and commas
// included, backslash escapes undone), a token up to the next comma or blank.
std::string ChallengeParameter(std::string_view parameters, std::string_view key) {
  size_t i = 0;
  while (i < parameters.size()) {
    while (i < parameters.size() && IsParameterDelimiter(parameters[i])) ++i;
    const size_t nameStart = i;
    while (i < parameters.size() && parameters[i] != '=' && !IsParameterDelimiter(parameters[i])) ++i;
    const std::string_view name = parameters.substr(nameStart, i - nameStart);
    while (i < parameters.size() && (parameters[i] == ' ' || parameters[i] == '\t')) ++i;
    if (i >= parameters.size() || parameters[i] != '=') continue;  // a bare token
    ++i;
    while (i < parameters.size() && (parameters[i] == ' ' || parameters[i] == '\t')) ++i;
    std::string value;
    if (i < parameters.size() && parameters[i] == '"') {
      for (++i; i < parameters.size() && parameters[i] != '"'; ++i) {
        if (parameters[i] == '\\' && i + 1 < parameters.size()) ++i;
        value.push_back(parameters[i]);
      }
      if (i < parameters.size()) ++i;  // closing quote
    } else {
      while (i < parameters.size() && !IsParameterDelimiter(parameters[i])) value.push_back(parameters[i++]);
    }
    if (EqualsIgnoringCase(name, key)) return value;
  }
  return {};
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
  if (std::sscanf(statusLine.c_str(), "%255s %d %255s", protocol.data(), &status, reason.data()) < 3) {
    return false;
  }
  Protocol = protocol.data();
  StatusCode = status;
  Reason = reason.data();
  if (StatusCode != kStatusOk && StatusCode != kStatusUnauthorized) return false;

  for (;;) {
    const std::string line = ReadLine(text, position);
    if (line.empty()) break;
    if (!ParseHeader(line)) return false;
  }

  if (ContentLength != 0 && position == kNone) return false;
  std::string_view body;
  if (position != kNone && ContentLength != 0) {
    body = std::string_view(text).substr(position, ContentLength);
  }
  if (method == kRtspDescribe) return ParseSdp(body);
  return true;
}

bool CRTSPResponseParser::ParseHeader(const std::string& line) {
  const std::string lower = HUtils::ToLower(line);
  switch (Classify(lower)) {
    case HeaderKind::kCSeq: {
      unsigned int sequence = 0;
      if (std::sscanf(lower.c_str(), "cseq: %u", &sequence) != 1) return false;
      SequenceNumber = sequence;
      return true;
    }
    case HeaderKind::kContentType: {
      std::array<char, kWordCapacity> type{};
      if (std::sscanf(lower.c_str(), "content-type: %255s", type.data()) != 1) return false;
      ContentType = type.data();
      return true;
    }
    case HeaderKind::kContentLength: {
      unsigned int length = 0;
      if (std::sscanf(lower.c_str(), "content-length: %u", &length) != 1) return false;
      ContentLength = length;
      return true;
    }
    case HeaderKind::kSession:
      return ParseSession(line, lower);
    case HeaderKind::kAuthenticate:
      return ParseAuthenticate(line);
    case HeaderKind::kIgnored:
    case HeaderKind::kNone:
      return true;
  }
  return true;
}

bool CRTSPResponseParser::ParseSession(const std::string& line, const std::string& lower) {
  Session.clear();
  // Cameras compare the identifier exactly: only the header name is folded for the look-up,
  // the identifier keeps the case it was sent in.
  static constexpr std::string_view kKey = "session:";
  const size_t key = lower.find(kKey);
  const std::string mixed =
      key == std::string::npos ? line : lower.substr(0, key + kKey.size()) + line.substr(key + kKey.size());
  if (line.find(';') != std::string::npos) {
    Session = HUtils::GetValue(std::string(kKey), " ", mixed, ";");
    const std::string timeout = HUtils::GetValue("timeout", "=", lower, "\r\n;");
    if (timeout.empty()) {
      Session.clear();
    } else {
      SessionTimeout = ToInt32(timeout);
      if (SessionTimeout == 0) SessionTimeout = kDefaultSessionTimeout;
    }
  } else {
    Session = HUtils::GetValue(std::string(kKey), " ", mixed, ";\r\n");
  }
  return !Session.empty();
}

bool CRTSPResponseParser::ParseAuthenticate(const std::string& line) {
  static constexpr std::string_view kDigest = "WWW-Authenticate: Digest";
  static constexpr std::string_view kBasic = "WWW-Authenticate: Basic";
  AuthScheme = 0;
  size_t parameters = std::string::npos;
  if (const size_t at = line.find(kDigest); at != std::string::npos) {
    AuthScheme = 2;
    parameters = at + kDigest.size();
  } else if (const size_t basic = line.find(kBasic); basic != std::string::npos) {
    AuthScheme = 1;
    parameters = basic + kBasic.size();
  }
  if (AuthScheme == 0) return true;
  const std::string_view rest = std::string_view(line).substr(parameters);
  Realm = ChallengeParameter(rest, "realm");
  Nonce = ChallengeParameter(rest, "nonce");
  return !(AuthScheme == 2 && (Realm.empty() || Nonce.empty()));
}

bool CRTSPResponseParser::ParseSdp(std::string_view body) {
  std::string* control = nullptr;  // the current media's control member
  size_t position = 0;
  for (;;) {
    const std::string line = ReadLine(body, position);
    if (line.empty()) return true;
    switch (ClassifySdp(HUtils::ToLower(line))) {
      case SdpKind::kVideo:
        control = &VideoControl;
        break;
      case SdpKind::kAudio:
        control = &AudioControl;
        break;
      case SdpKind::kMetadata:
        control = &MetadataControl;
        break;
      case SdpKind::kOtherMedia:
        control = nullptr;
        break;
      case SdpKind::kControl: {
        if (control == nullptr) break;  // session level or a media we do not use
        std::array<char, kWordCapacity> value{};
        if (std::sscanf(line.c_str(), "a=control:%255s", value.data()) != 1) {
          control->clear();
          return false;
        }
        *control = value.data();
        break;
      }
      case SdpKind::kFormat:
        DecodeParameterSets(line);
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
