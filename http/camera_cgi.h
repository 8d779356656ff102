#pragma once
// The camera's CGI requests, and the form of their replies: lines of name "=" value.

namespace korvalt::cgi {

inline constexpr const char* kInfoPath = "/common/info.cgi";
inline constexpr const char* kProfile1Path = "/config/video.cgi?profileid=1";
inline constexpr const char* kStreamInfoPath = "/config/stream_info.cgi";
inline constexpr const char* kRs485Path = "/config/rs485.cgi";
inline constexpr const char* kIoPath = "/config/io.cgi";

// A reply line is a name, kSeparator and a value; either character of kTerminators ends a line.
inline constexpr const char* kSeparator = "=";
inline constexpr const char* kTerminators = "\r\n";

}  // namespace korvalt::cgi
