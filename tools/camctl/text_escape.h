#pragma once
// Text that came from a camera, made safe for a terminal, JSON and XHTML.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace camctl {

// Valid UTF-8 with every control character (C0, DEL, C1) shown as '?': camera replies may hold
// anything, and neither a terminal nor an XML parser may see it raw.
std::string CleanText(std::string_view text);
// The text with every byte that is not part of valid UTF-8 shown as '?'.
std::string ValidUtf8(std::string_view text);
// A JSON string with its quotes: valid UTF-8, control characters escaped, nothing lost otherwise.
std::string JsonString(std::string_view text);
// Text for XHTML element content and attribute values; the text is cleaned first.
std::string XmlText(std::string_view text);
// RFC 4648 base64 with padding.
std::string Base64(std::span<const uint8_t> bytes);

}  // namespace camctl
