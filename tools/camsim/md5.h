#pragma once

#include <string>
#include <string_view>

namespace camsim {

// Lower-case hexadecimal MD5 digest of text (RFC 1321). Used for HTTP Digest only.
std::string Md5Hex(std::string_view text);

}  // namespace camsim
