// The Basic credentials, base 64 and MD5 from which RTSP requests build their Authorization lines.
#include <array>
#include <string>

#include "http/h_utils.h"
#include "http/md5.h"

namespace korvalt {
namespace {

// The Basic header is built in a buffer of this size; 72 bytes of credentials fill it.
constexpr size_t kCredentialsBufferSize = 100;
constexpr size_t kBase64LineLength = 76;
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

bool HUtils::Base64Encode(const uint8_t* data, size_t length, char* output, size_t* capacity) {
  if (data == nullptr || output == nullptr || capacity == nullptr) return false;
  // The room the encoder asks for: the encoded length rounded up to whole groups, plus a reserve
  // of two characters per (started) 76-character line.
  const size_t encoded = 4 * length / 3 + length % 3;
  const size_t lineRest = encoded % kBase64LineLength;
  size_t required = encoded;
  if (lineRest % 4 != 0) required += 4 - lineRest % 4;
  required += 2 * (encoded / kBase64LineLength + 1);
  if (*capacity < required) return false;

  size_t out = 0;
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const uint32_t group = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    output[out++] = kBase64Alphabet[(group >> 18) & 0x3F];
    output[out++] = kBase64Alphabet[(group >> 12) & 0x3F];
    output[out++] = kBase64Alphabet[(group >> 6) & 0x3F];
    output[out++] = kBase64Alphabet[group & 0x3F];
  }
  if (length - i == 1) {
    const uint32_t group = uint32_t{data[i]} << 16;
    output[out++] = kBase64Alphabet[(group >> 18) & 0x3F];
    output[out++] = kBase64Alphabet[(group >> 12) & 0x3F];
    output[out++] = '=';
    output[out++] = '=';
  } else if (length - i == 2) {
    const uint32_t group = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
    output[out++] = kBase64Alphabet[(group >> 18) & 0x3F];
    output[out++] = kBase64Alphabet[(group >> 12) & 0x3F];
    output[out++] = kBase64Alphabet[(group >> 6) & 0x3F];
    output[out++] = '=';
  }
  *capacity = out;
  return true;
}

bool HUtils::EncodeCredentials(const std::string& user, const std::string& password, std::string& encoded) {
  encoded.clear();
  const std::string credentials = user + ":" + password;
  std::array<char, kCredentialsBufferSize> buffer{};
  size_t capacity = buffer.size();
  if (!Base64Encode(reinterpret_cast<const uint8_t*>(credentials.data()), credentials.size(), buffer.data(),
                    &capacity)) {
    return false;
  }
  encoded.assign(buffer.data(), capacity);
  return true;
}

std::string HUtils::MD5Hex(const std::string& text) {
  CMd5 md5;
  md5.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  const std::array<uint8_t, CMd5::kDigestSize> digest = md5.Finish();
  std::string hex;
  hex.reserve(2 * digest.size());
  static constexpr char kHex[] = "0123456789abcdef";
  for (const uint8_t byte : digest) {
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 0x0F]);
  }
  return hex;
}

}  // namespace korvalt
