#pragma once

#include <string>

namespace korvalt::platform {

// UTF-8 inside the module, UTF-16 at the Windows interfaces (file names, WinHTTP, COM). Invalid
// sequences become U+FFFD. Used by the Windows backends only (text_win32.cpp).
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

}  // namespace korvalt::platform
