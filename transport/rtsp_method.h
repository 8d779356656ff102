#pragma once

namespace korvalt {

// RTSP method codes shared by the client and the response parser.
enum RtspMethod : int {
  kRtspDescribe = 1,
  kRtspSetup = 2,
  kRtspPlay = 3,
  kRtspTeardown = 4,
  kRtspOptions = 5,
  kRtspPause = 6,
};

// The method's name on the wire; empty for any other code.
inline const char* RtspMethodName(int method) {
  switch (method) {
    case kRtspDescribe:
      return "DESCRIBE";
    case kRtspSetup:
      return "SETUP";
    case kRtspPlay:
      return "PLAY";
    case kRtspTeardown:
      return "TEARDOWN";
    case kRtspOptions:
      return "OPTIONS";
    case kRtspPause:
      return "PAUSE";
    default:
      return "";
  }
}

}  // namespace korvalt
