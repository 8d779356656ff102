#pragma once

#include <cstdint>
#include <string>

#include "tools/camctl/ptz_session.h"

namespace camctl {

struct InteractiveSettings {
  int32_t Speed = 8;  // for every pan, tilt, zoom and focus key
  std::string Title;  // "QL-6250 at 192.0.2.10:80, channel 0"
};

// The operator's terminal mode on the session's control, until q, Ctrl-C, Ctrl-D or a signal.
// Stdin and stdout must be terminals. Returns the exit status.
int RunPtzInteractive(PtzSession& session, const InteractiveSettings& settings);

}  // namespace camctl
