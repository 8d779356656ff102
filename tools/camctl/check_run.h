#pragma once
// camctl check: every function a camera claims, tried once through the module the way a recorder
// uses it, with a verdict, figures and, for each failure, a hint.

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"

namespace camctl {

struct CheckRequest {
  hostkit::DeviceConfig Device;  // address, port and credentials; model and parameters as given
  bool ModelGiven = false;       // otherwise the model comes from the capability query
  std::string ModulePath;
  double Seconds = 3;  // of video per codec, counted from its first frame
  // The module needs about 2 s for its port probe, then up to 5 s before it asks for RTP over TCP.
  double FirstFrameLimit = 12;
  bool Move = false;  // PTZ: move right slowly for a moment, then stop
  bool Verbose = false;
  bool KeepSnapshots = false;  // for the HTML report
  FILE* Progress = stderr;     // one line per function as it starts, and the module's lines; null: quiet
};

enum class Verdict {
  Pass,
  Fail,
  NotClaimed,  // the camera does not claim the function
  NotTried,    // claimed, but trying it would act on the site (outputs)
  Skipped,     // could not be tried: what it needs failed, or the check was interrupted
};

struct CheckRow {
  std::string Function;  // "capability query", "stream h264", "digital inputs", "PTZ"...
  Verdict Result = Verdict::Skipped;
  std::string Figures;  // one line for people
  // Figures for machines: name and JSON value text.
  std::vector<std::pair<std::string, std::string>> Values;
  std::string Hint;  // failures only: likely cause and next step
  std::vector<std::string> ProbeSteps;
  std::vector<hostkit::DebugLine> ModuleLines;
  std::vector<uint8_t> Snapshot;  // PNG of a stream's last decoded picture
  int SnapshotWidth = 0;
  int SnapshotHeight = 0;
};

struct CheckReport {
  std::string Address;
  uint16_t Port = 0;
  std::string User;
  std::string CameraName;  // from the capability query; empty when it failed
  std::string Firmware;
  std::string Mac;
  std::string StartedAt;  // local time, "YYYY-MM-DD hh:mm:ss"
  double Seconds = 0;     // per codec, as asked
  double WallSeconds = 0;
  bool Interrupted = false;
  std::vector<CheckRow> Rows;

  // Every function the camera claims worked: no row failed or was skipped.
  bool Passed() const;
};

CheckReport RunCheck(const CheckRequest& request);

const char* VerdictName(Verdict verdict);  // "pass", "FAIL", "not claimed", "not tried", "skipped"

}  // namespace camctl
