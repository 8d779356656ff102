#pragma once
// Why did a command fail? camctl asks the camera itself, with short bounded requests of its own
// (never through the module), and names the likely cause and the next step in one line.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/hostkit/device_params.h"

namespace camctl {

// What failed decides how far camctl looks: every job needs the camera's HTTP side; streaming
// needs RTSP and RTP too.
enum class FailedJob { Query, Stream, Inputs, Ptz };

struct Diagnosis {
  std::string Hint;                // likely cause and next step, one line
  std::vector<std::string> Steps;  // what each probe found, in order
  bool CauseFound = false;         // false: every probe succeeded
};

struct DiagnoseLimits {
  std::chrono::milliseconds Step{2000};    // each probe
  std::chrono::milliseconds Total{10000};  // all probes together
  uint16_t FirstRtpPort = 3556;            // where the module's RTP ports start
};

Diagnosis Diagnose(const hostkit::DeviceConfig& device, FailedJob job, const DiagnoseLimits& limits = {});

// Whether the module's line of this level is shown: every level with --verbose, else 1 (error)
// and 2 (information).
bool ShowsLevel(uint8_t level, bool verbose);

}  // namespace camctl
