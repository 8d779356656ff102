#pragma once

#include <cstdarg>
#include <string>

namespace korvalt::platform {

// printf-style formatting into a string: measured first, then formatted with exactly that bound.
// A format the C library rejects yields an empty string.
std::string FormatV(const char* format, va_list args);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace korvalt::platform
