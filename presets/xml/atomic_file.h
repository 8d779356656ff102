#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvalt {

// Replaces path with bytes so that a crash at any moment leaves either the old file or the new
// one: a temporary file beside it is written, flushed to disk and renamed over it. On failure the
// temporary file is removed and the old file is untouched.
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

// Renames path to path + suffix, never over an existing file: "-1", "-2", ... are appended until
// the name is free. Returns the new path, or an empty string when the file could not be moved.
std::string MoveFileAside(const std::string& path, const std::string& suffix);

// True when nothing is at path, or an empty regular file: only such a file may be replaced by a
// fresh document.
bool FileIsMissingOrEmpty(const std::string& path);

// Size in bytes of the file at path; -1 when there is none or it cannot be asked.
int64_t FileSizeOf(const std::string& path);

}  // namespace korvalt
