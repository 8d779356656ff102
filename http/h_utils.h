#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/debug_message.h"
#include "http/digest_challenge.h"

namespace Web {
class CHttpSender;
}

namespace korvalt {

// Outcome of a device operation: level for the message sink, code (0 = success) and the
// finished failure text.
class CResultDef {
 public:
  explicit CResultDef(std::string text = {}) : Text(std::move(text)) {}
  virtual ~CResultDef() = default;

  int32_t Level = ipcapture::kDebugLevelInformation;
  uint32_t Code = 0;
  std::string Text;
};

// The CGI request helpers, name=value reply parsing and the string functions the module shares.
class HUtils {
 public:
  // Requests.
  static CResultDef RequestGetRD(std::vector<uint8_t>& body, Web::CHttpSender& sender, CResultDef& result,
                                 const std::string& path, bool wantBody);
  static bool Query(std::vector<uint8_t>& body, Web::CHttpSender& sender, IDebugMessage* sink,
                    const std::string& path);
  static bool Command(Web::CHttpSender& sender, IDebugMessage* sink, const std::string& path);

  // Reply parsing.
  static std::string GetValue(const std::string& key, const std::string& separator, const std::string& text,
                              const std::string& terminators);
  static int GetIntValue(const std::string& key, const std::string& separator, const std::string& text,
                         const std::string& terminators);
  static bool IsValue(const std::string& key, const std::string& separator, const std::string& expected,
                      const std::string& text, const std::string& terminators);
  static std::vector<std::string> GetValueList(const std::string& key, const std::string& separator,
                                               const std::string& text, const std::string& delimiter,
                                               const std::string& terminators);

  // Strings.
  static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
  static std::string ToLower(const std::string& s);
  static std::string ToUpper(const std::string& s);
  static std::string Trim(const std::string& s);
  // The view without leading and trailing blanks and tabs, as Trim.
  static std::string_view TrimBlanks(std::string_view s);
  // Equal but for the case of ASCII letters (header names, schemes, parameter names).
  static bool EqualsIgnoringCase(std::string_view a, std::string_view b);
  static std::string RemoveChars(const std::string& s, const std::string& set);
  static bool ParseInt(const std::string& s, int& out);
  static std::vector<std::string> SplitList(const std::string& s);

  // IPv4 address in network byte order; 0 for an empty or unresolvable name.
  static uint32_t ResolveHost(const std::string& host);

  // Authentication helpers for RTSP's Authorization lines. EncodeCredentials gives the base-64 form of user
  // ":" password and fails when it does not fit the 100-byte header buffer (more than 72 bytes).
  static bool EncodeCredentials(const std::string& user, const std::string& password, std::string& encoded);
  // capacity is in and out: the room in output, then the encoded length (no terminator written).
  static bool Base64Encode(const uint8_t* data, size_t length, char* output, size_t* capacity);
  // MD5 of the text's bytes as 32 lower-case hexadecimal digits.
  static std::string MD5Hex(const std::string& text);
  // SHA-256 of the text's bytes as 64 lower-case hexadecimal digits.
  static std::string SHA256Hex(const std::string& text);

  // Digest authentication, for any protocol that carries it. The value of one auth-param of a
  // challenge ('realm="x", nonce=y'), names compared without case; empty when absent.
  static std::string AuthParameter(std::string_view parameters, std::string_view name);
  // Reads the parameters of one Digest challenge (the text after "Digest"). False when realm or
  // nonce is missing, or the algorithm or qop is one this module cannot answer.
  static bool ParseDigestChallenge(std::string_view parameters, DIGEST_CHALLENGE& challenge);
  // The credentials of the answer, "Digest username=..." without header name or line end; empty
  // when an input is missing. A challenge without qop gets the older form (username, realm,
  // nonce, uri, response); with qop=auth the answer carries algorithm, qop, nc and cnonce.
  static std::string MakeDigestCredentials(const DIGEST_CHALLENGE& challenge,
                                           const DIGEST_ANSWER_INPUT& input);
  // A fresh client nonce: 16 random lower-case hexadecimal digits.
  static std::string MakeClientNonce();

  // The text with the credentials masked: a URL's user information, the password itself, the
  // base-64 form of user ":" password, and the values of Authorization headers.
  static std::string MaskCredentials(const std::string& text, const std::string& user,
                                     const std::string& password);

  // The repetition check that thins repeated failure messages to one sink.
  static bool ShouldLog(IDebugMessage* sink);
};

}  // namespace korvalt
