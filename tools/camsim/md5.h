#pragma once
// camsim's own MD5, kept apart from the module's on purpose: the simulator checks the module's
// Digest answers with an independent implementation, so a bug the two shared could not pass both
// sides unnoticed.

#include <string>
#include <string_view>

namespace camsim {

// Lower-case hexadecimal MD5 digest of text (RFC 1321). Used for HTTP Digest only.
std::string Md5Hex(std::string_view text);

}  // namespace camsim
