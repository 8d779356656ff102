#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http/camera_login.h"

namespace korvalt {

// How to reach one camera. Every component that talks to the camera keeps its own copy.
class DEVICE_INFO {
 public:
  virtual ~DEVICE_INFO() = default;

  int32_t NetworkTimeout = 5000;     // ms: HTTP and RTSP connect/receive time-out
  int32_t SignalLossTimeout = 5000;  // ms without frames before a channel reconnects
  std::string Address;               // host name or dotted IPv4 address
  uint16_t Port = 80;                // HTTP port
  std::string UserName;
  std::string Password;
  std::string ModelName;
  // How the driver logs in to the camera (the scheme it asked for, its refused logins), shared by
  // every copy one driver hands out; null: each requester on its own.
  std::shared_ptr<CCameraLogin> Login;
};

}  // namespace korvalt
