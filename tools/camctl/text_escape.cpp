#include "tools/camctl/text_escape.h"

#include <cstdio>

namespace camctl {
namespace {

constexpr char kReplacement = '?';
constexpr unsigned char kDelete = 0x7F;
constexpr uint32_t kFirstC1 = 0x80;
constexpr uint32_t kLastC1 = 0x9F;

// Length of the valid UTF-8 sequence at text[i] and its code point; 0 when it is not valid
// (overlong forms, surrogates and values above U+10FFFF included).
size_t Utf8Sequence(std::string_view text, size_t i, uint32_t& codePoint) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  uint32_t minimum = 0;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    codePoint = lead & 0x1F;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    codePoint = lead & 0x0F;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    codePoint = lead & 0x07;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    codePoint = codePoint << 6 | (byte(i + k) & 0x3F);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
  return length;
}

// Each invalid byte becomes kReplacement; with clean, so does every control character.
std::string Sanitized(std::string_view text, bool clean) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t codePoint = 0;
    const size_t length = Utf8Sequence(text, i, codePoint);
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    const bool control =
        codePoint < 0x20 || codePoint == kDelete || (codePoint >= kFirstC1 && codePoint <= kLastC1);
    if (clean && control) {
      out += kReplacement;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

}  // namespace

std::string CleanText(std::string_view text) {
  return Sanitized(text, true);
}

std::string ValidUtf8(std::string_view text) {
  return Sanitized(text, false);
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : ValidUtf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == kDelete) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string XmlText(std::string_view text) {
  std::string out;
  for (const char c : CleanText(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Base64(std::span<const uint8_t> bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    out += kAlphabet[group >> 18 & 0x3F];
    out += kAlphabet[group >> 12 & 0x3F];
    out += kAlphabet[group >> 6 & 0x3F];
    out += kAlphabet[group & 0x3F];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    const uint32_t group = uint32_t{bytes[i]} << 16 | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
    out += kAlphabet[group >> 18 & 0x3F];
    out += kAlphabet[group >> 12 & 0x3F];
    out += rest == 2 ? kAlphabet[group >> 6 & 0x3F] : '=';
    out += '=';
  }
  return out;
}

}  // namespace camctl
