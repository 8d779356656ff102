#include <windows.h>

#include <string>

#include "platform/paths.h"
#include "platform/text.h"

namespace korvalt::platform {

std::string ExecutableDirectory() {
  // Grows the buffer for long paths (\\?\ prefixes allow 32767 characters).
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
  const auto separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return {};
  return WideToUtf8(path.substr(0, separator + 1));
}

}  // namespace korvalt::platform
