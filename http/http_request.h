#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Web {

// One HTTP request as the caller describes it; the sender only reads it.
class CHttpRequest {
 public:
  // Authentication kinds.
  static constexpr uint32_t kAuthBasic = 0;
  static constexpr uint32_t kAuthNtlm = 1;
  static constexpr uint32_t kAuthPassport = 2;
  static constexpr uint32_t kAuthDigest = 3;
  static constexpr uint32_t kAuthNegotiate = 4;
  static constexpr uint32_t kAuthNone = 5;

  // Option flags.
  static constexpr uint32_t kNoQueryEscaping = 1u << 0;
  static constexpr uint32_t kIgnoreCertErrors = 1u << 1;
  static constexpr uint32_t kNoRedirects = 1u << 2;
  static constexpr uint32_t kDoNotWaitForReply = 1u << 3;

  CHttpRequest(std::string verb, std::string path) : Verb(std::move(verb)), Path(std::move(path)) {}

  std::string Verb;
  std::string Path;     // object name with query string, e.g. "/config/io.cgi"
  uint32_t Secure = 0;  // 1 = TLS
  uint32_t AuthKind = kAuthBasic;
  std::vector<uint8_t> Body;
  uint32_t TotalLength = 0;               // announced body size; the larger of this and Body.size() is used
  std::vector<std::string> ExtraHeaders;  // complete header lines, added in order
  uint32_t Options = kNoQueryEscaping | kNoRedirects;
};

}  // namespace Web
