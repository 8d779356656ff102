#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/digest_challenge.h"

namespace korvalt {

// RTSP authentication schemes, as the connection parameters and a challenge carry them.
inline constexpr int32_t kRtspAuthNone = 0;
inline constexpr int32_t kRtspAuthBasic = 1;
inline constexpr int32_t kRtspAuthDigest = 2;

// Turns the text of one RTSP response into the fields the client and the channel read. One
// parser serves every response of one connection: a field keeps its value until a later
// response carries a new one.
class CRTSPResponseParser {
 public:
  virtual ~CRTSPResponseParser() = default;

  // method is the request the text answers (RtspMethod); only a DESCRIBE answer has its body
  // read as SDP. True for status 200 or 401 with every header and the body read; for any other
  // status false, with the status line fields set.
  bool Parse(const std::string& text, int method);

  // Standard base 64; characters outside the alphabet ("=" and blanks included) are skipped and
  // the input ends at a zero byte. False, without writing past capacity, when the output does
  // not fit; length is the number of bytes written.
  static bool DecodeBase64(std::string_view text, uint8_t* output, size_t capacity, size_t& length);

  std::string Protocol;  // first word of the status line
  int32_t StatusCode = 0;
  std::string Reason;            // the reason phrase's first word
  std::string ReasonPhrase;      // the whole reason phrase, for reports
  bool StatusLineRead = false;   // the last text had a readable status line
  std::optional<uint32_t> CSeq;  // of the last text only; empty when it carried none
  std::string ContentType;       // lower case
  uint32_t ContentLength = 0;
  std::string Session;         // identifier exactly as received
  int32_t SessionTimeout = 0;  // seconds; 0 = the client's default
  std::string ContentBase;     // base of relative control URLs, when the server names one
  std::string VideoControl;
  std::string AudioControl;
  std::string MetadataControl;
  // Of the strongest answerable WWW-Authenticate challenge of the last response that had one.
  int32_t AuthScheme = kRtspAuthNone;
  std::string Realm;
  std::string Nonce;
  DIGEST_CHALLENGE Digest;  // the whole Digest challenge when AuthScheme is Digest
  // The challenges of the last response that this client cannot answer, for reports ("Digest
  // (algorithm SHA-512-256)"); empty when there were none.
  std::string UnansweredChallenges;
  std::vector<uint8_t> Sps;  // appended by every DESCRIBE answer that carries parameter sets
  std::vector<uint8_t> Pps;
  // MPEG-4 configuration headers of the video media ("config=" in hexadecimal), replaced by every
  // DESCRIBE answer that carries them.
  std::vector<uint8_t> VideoConfig;
  // The video media's "a=rtpmap" encodings as the camera wrote them ("H264/90000"), replaced by
  // every DESCRIBE answer; empty when it named none (a static payload type).
  std::vector<std::string> VideoEncodings;
  static constexpr size_t kMaxVideoEncodings = 16;
  // What the last Transport header named: the camera's RTP source port (0 none) and the SSRC of
  // its stream, as a number.
  uint16_t ServerRtpPort = 0;
  std::optional<uint32_t> TransportSsrc;

 private:
  bool ParseHeader(const std::string& line);
  bool ParseSession(std::string_view value);
  bool ParseAuthenticate(std::string_view value);
  void NoteUnanswered(std::string_view scheme, std::string_view parameters);
  bool ParseSdp(std::string_view body);
  void DecodeParameterSets(const std::string& line);
  void DecodeVideoConfig(const std::string& line);
  void ReadVideoEncoding(const std::string& line);
  void ParseTransport(std::string_view value);

  int ChallengeRank = 0;           // of the challenge taken from the response being parsed; 0 none
  bool UnusableChallenge = false;  // a Digest challenge without realm or nonce, and nothing better
};

}  // namespace korvalt
