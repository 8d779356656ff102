#include "transport/rtsp_framing.h"

#include <algorithm>
#include <limits>
#include <string_view>

#include "http/h_utils.h"

namespace korvalt {
namespace {

// End of the header block (just past its empty line), or npos while it is incomplete; lineStart
// is where the search starts and, when it fails, the start of the last incomplete line. Lines end
// with CR LF or, from some servers, LF alone.
size_t HeaderBlockEnd(std::string_view text, size_t& lineStart, size_t& searchFrom) {
  while (lineStart < text.size()) {
    const size_t lf = text.find('\n', std::max(lineStart, searchFrom));
    if (lf == std::string_view::npos) {
      searchFrom = text.size();
      return std::string_view::npos;
    }
    const size_t length = lf - lineStart;
    if (length == 0 || (length == 1 && text[lineStart] == '\r')) return lf + 1;
    lineStart = lf + 1;
  }
  return std::string_view::npos;
}

size_t HeaderBlockEnd(std::string_view text) {
  size_t lineStart = 0;
  size_t searchFrom = 0;
  return HeaderBlockEnd(text, lineStart, searchFrom);
}

// Decimal digits at the start of text; nullopt when there are none or the number exceeds limit.
std::optional<uint64_t> LeadingNumber(std::string_view text, uint64_t limit) {
  uint64_t value = 0;
  size_t digits = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > limit) return std::nullopt;
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  return value;
}

// Interleaved frame: |'$'|channel|  length (16 bits)  | data...
constexpr char kFrameMarker = '$';
// A frame's data is an RTP or RTCP packet, both version 2: a "$" whose data begins otherwise is
// no frame but stray bytes.
constexpr uint8_t kVersionMask = 0xC0;
constexpr uint8_t kVersion2 = 0x80;
// A message begins with a word (a method, or the protocol of a status line) and a blank.
constexpr size_t kMaxFirstWord = 32;

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsWordChar(char c) {
  return IsLetter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' || c == '/';
}

enum class Start { kYes, kNo, kUndecided };

// Whether buffer begins like an RTSP message.
Start MessageStart(std::string_view buffer) {
  if (!IsLetter(buffer[0])) return Start::kNo;
  for (size_t i = 1; i < buffer.size() && i <= kMaxFirstWord; ++i) {
    if (buffer[i] == ' ') return Start::kYes;
    if (!IsWordChar(buffer[i])) return Start::kNo;
  }
  return buffer.size() <= kMaxFirstWord ? Start::kUndecided : Start::kNo;
}

// Bytes before the next one that may begin a frame or a message (at least one).
size_t JunkLength(std::string_view buffer) {
  for (size_t i = 1; i < buffer.size(); ++i) {
    const char c = buffer[i];
    if (c == kFrameMarker || IsLetter(c) || c == '\r' || c == '\n') return i;
  }
  return buffer.size();
}

}  // namespace

CRTSPFraming::Unit CRTSPFraming::NextUnit(std::string_view buffer, size_t maxSize, size_t& length,
                                          uint8_t& channel, Scan& scan) {
  if (buffer.empty()) return Unit::kIncomplete;
  if (!scan.Started) {
    if (const size_t ends = LeadingLineEnds(buffer); ends > 0) {
      length = ends;
      return Unit::kSkip;
    }
    if (buffer[0] == kFrameMarker) {
      if (buffer.size() < kFrameHeaderSize) return Unit::kIncomplete;
      const size_t dataLength =
          static_cast<size_t>(static_cast<uint8_t>(buffer[2])) << 8 | static_cast<uint8_t>(buffer[3]);
      if (dataLength > 0) {
        if (buffer.size() == kFrameHeaderSize) return Unit::kIncomplete;
        if ((static_cast<uint8_t>(buffer[kFrameHeaderSize]) & kVersionMask) != kVersion2) {
          length = JunkLength(buffer);
          return Unit::kSkip;
        }
      }
      if (buffer.size() < kFrameHeaderSize + dataLength) return Unit::kIncomplete;
      channel = static_cast<uint8_t>(buffer[1]);
      length = kFrameHeaderSize + dataLength;
      return Unit::kFrame;
    }
    switch (MessageStart(buffer)) {
      case Start::kUndecided:
        return Unit::kIncomplete;
      case Start::kNo:
        length = JunkLength(buffer);
        return Unit::kSkip;
      case Start::kYes:
        scan.Started = true;
        break;
    }
  }
  switch (NextMessage(buffer, maxSize, length, scan)) {
    case Result::kComplete:
      return Unit::kMessage;
    case Result::kTooLarge:
      return Unit::kTooLarge;
    case Result::kIncomplete:
      break;
  }
  return Unit::kIncomplete;
}

size_t CRTSPFraming::LeadingLineEnds(std::string_view buffer) {
  const size_t first = buffer.find_first_not_of("\r\n");
  return first == std::string_view::npos ? buffer.size() : first;
}

CRTSPFraming::Result CRTSPFraming::NextMessage(std::string_view buffer, size_t maxSize, size_t& length,
                                               Scan& scan) {
  if (scan.HeaderEnd == 0) {
    scan.LineStart = std::min(scan.LineStart, buffer.size());
    const size_t headerEnd =
        HeaderBlockEnd(buffer.substr(0, std::min(buffer.size(), maxSize)), scan.LineStart, scan.SearchFrom);
    if (headerEnd == std::string_view::npos) {
      return buffer.size() >= maxSize ? Result::kTooLarge : Result::kIncomplete;
    }
    scan.HeaderEnd = headerEnd;
    scan.BodyLength = 0;
    if (const auto value = HeaderValue(buffer.substr(0, headerEnd), "content-length")) {
      // A length that is no number counts as none (the parser judges the rest); one beyond any
      // limit makes the message too large.
      if (!value->empty() && value->front() >= '0' && value->front() <= '9') {
        scan.BodyLength = LeadingNumber(*value, maxSize).value_or(maxSize + 1);
      }
    }
  }
  if (scan.BodyLength > maxSize || scan.HeaderEnd + scan.BodyLength > maxSize) return Result::kTooLarge;
  if (buffer.size() < scan.HeaderEnd + scan.BodyLength) return Result::kIncomplete;
  length = scan.HeaderEnd + scan.BodyLength;
  return Result::kComplete;
}

std::optional<std::string_view> CRTSPFraming::HeaderValue(std::string_view headers, std::string_view name) {
  // The first line is the status line, never a header.
  size_t lineEnd = headers.find('\n');
  while (lineEnd != std::string_view::npos) {
    const size_t lineStart = lineEnd + 1;
    lineEnd = headers.find('\n', lineStart);
    std::string_view line = headers.substr(lineStart, std::min(lineEnd, headers.size()) - lineStart);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // end of the header block
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        HUtils::EqualsIgnoringCase(HUtils::TrimBlanks(line.substr(0, colon)), name)) {
      return HUtils::TrimBlanks(line.substr(colon + 1));
    }
  }
  return std::nullopt;
}

std::optional<uint32_t> CRTSPFraming::SequenceNumber(std::string_view message) {
  const size_t headerEnd = HeaderBlockEnd(message);
  const auto value = HeaderValue(message.substr(0, std::min(headerEnd, message.size())), "cseq");
  if (!value) return std::nullopt;
  const auto number = LeadingNumber(*value, std::numeric_limits<uint32_t>::max());
  if (!number) return std::nullopt;
  return static_cast<uint32_t>(*number);
}

}  // namespace korvalt
