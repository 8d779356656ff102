#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace korvalt {

// Where RTSP messages begin and end in the bytes read from a connection, and the two headers the
// framing needs. Pure functions over the buffer, so that any number of messages may arrive in
// one read.
class CRTSPFraming {
 public:
  enum class Result { kIncomplete, kComplete, kTooLarge };

  // What the search for one message learnt so far, kept from call to call while the buffer only
  // grows, so that a message arriving byte by byte costs linear time. A new one per message.
  struct Scan {
    size_t LineStart = 0;  // where the search for the empty line goes on
    size_t HeaderEnd = 0;  // just past the empty line; 0 while not found
    size_t BodyLength = 0;
    size_t SearchFrom = 0;  // no line end before this within the current line
    bool Started = false;   // NextUnit: the buffer was found to begin with a message
  };

  // Number of CR and LF bytes at the start of buffer. Robust clients skip them before a status
  // line: servers leave a stray line end after a body that Content-Length does not count.
  static size_t LeadingLineEnds(std::string_view buffer);

  // The first message of buffer (which must start at its first line): the header block up to
  // and including its empty line, then Content-Length bytes of body. kComplete sets length;
  // kTooLarge when the message would exceed maxSize.
  static Result NextMessage(std::string_view buffer, size_t maxSize, size_t& length, Scan& scan);

  // Value of the first header called name (compared without case) in the header block, blanks
  // around it removed; nullopt when the block has no such header.
  static std::optional<std::string_view> HeaderValue(std::string_view headers, std::string_view name);

  // What begins a connection's buffer when RTP and RTCP share the connection with RTSP messages:
  // an interleaved frame ("$", channel, 16-bit length, data), a message (the server's response or
  // request), or bytes to skip (line ends, and anything that can begin neither, until the next
  // byte that can). kFrame sets length (the 4-byte header included) and channel; kMessage and
  // kSkip set length; kTooLarge: a message would exceed maxSize. Decides only from what a byte
  // that follows cannot change, so bytes arriving in any pieces are cut at the same places.
  enum class Unit { kIncomplete, kFrame, kMessage, kSkip, kTooLarge };
  static constexpr size_t kFrameHeaderSize = 4;
  static Unit NextUnit(std::string_view buffer, size_t maxSize, size_t& length, uint8_t& channel, Scan& scan);

  // The message's CSeq; nullopt when it has none or its value is no number.
  static std::optional<uint32_t> SequenceNumber(std::string_view message);

  // True when sequence number a was sent before b (serial order, so that 2^32 - 1 precedes 0).
  static bool IsEarlier(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }
};

}  // namespace korvalt
