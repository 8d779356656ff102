#pragma once

#include <string>

namespace korvalt {

// The wide form of a UTF-8 path for the Windows file functions. A path that is, or whose
// temporary sibling would be, too long for them (MAX_PATH) gets the "\\?\" form, made absolute and
// with backslashes, since that form is taken literally.
std::wstring FileApiPath(const std::string& path);

}  // namespace korvalt
