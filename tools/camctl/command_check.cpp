// camctl check: the first thing to run against a new camera. Asks what the camera claims, tries
// each function through the module once and prints a compatibility table.

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "tools/camctl/check_output.h"
#include "tools/camctl/check_run.h"
#include "tools/camctl/commands.h"

#ifndef QUENLARK_VERSION
#define QUENLARK_VERSION "dev"
#endif

namespace camctl {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr double kDefaultSeconds = 3;
constexpr double kMaxSeconds = 600;
constexpr const char* kPresetDirVariable = "QUENLARK_PRESET_DIR";

bool ParseSeconds(const std::string& text, double& seconds) {
  char* end = nullptr;
  seconds = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && std::isfinite(seconds) && seconds >= 1 && seconds <= kMaxSeconds;
}

// Written beside its final place and renamed over it, so a half-written page never stands there.
bool WriteFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

int RunCheckCommand(const Options& options) {
  CheckRequest request;
  std::string error;
  if (!ReadDeviceConfig(options, request.Device, error)) {
    std::fprintf(stderr, "camctl check: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options.Has("seconds") && !ParseSeconds(options.Get("seconds"), request.Seconds)) {
    std::fprintf(stderr, "camctl check: --seconds needs seconds from 1 to 600, not '%s'\n",
                 options.Get("seconds").c_str());
    return kExitUsage;
  }
  if (options.Has("preset-dir")) {
    const std::string dir = options.Get("preset-dir");
    struct stat info {};
    if (dir.empty() || stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      std::fprintf(stderr, "camctl check: --preset-dir %s is not a directory\n", dir.c_str());
      return kExitUsage;
    }
    // Read by the module when it opens the preset file.
    setenv(kPresetDirVariable, dir.c_str(), 1);
  }
  const std::string reportPath = options.Get("report");
  if (options.Has("report") && reportPath.empty()) {
    std::fprintf(stderr, "camctl check: --report needs a file name\n");
    return kExitUsage;
  }
  request.ModelGiven = options.Has("model");
  request.ModulePath = ModulePath(options);
  request.Move = options.Has("move");
  request.Verbose = options.Has("verbose");
  request.KeepSnapshots = !reportPath.empty();
  const bool json = options.Has("json");

  const CheckReport report = RunCheck(request);
  if (json) {
    std::printf("%s\n", CheckJson(report).c_str());
  } else {
    std::printf("%s", CheckTable(report, request.Verbose).c_str());
  }
  std::fflush(stdout);
  bool written = true;
  if (!reportPath.empty()) {
    written = WriteFile(reportPath, CheckHtml(report, QUENLARK_VERSION));
    if (!written) {
      std::fprintf(stderr, "camctl check: cannot write %s\n", reportPath.c_str());
    } else if (!json) {
      std::printf("report written to %s\n", reportPath.c_str());
    }
  }
  return report.Passed() && written ? 0 : kExitFailure;
}

std::vector<std::string> CheckOptions() {
  auto names = DeviceOptionNames();
  names.insert(names.end(), {"seconds", "json", "report", "move", "preset-dir", "help", "version"});
  return names;
}

const bool kRegistered = RegisterCommand(
    {"check",
     "check a whole camera: every function it claims, in one table",
     std::string("usage: camctl check --address A --port P --user U --password W [--seconds N] [--json]\n"
                 "                    [--report FILE.html] [--move]\n\n"
                 "The first thing to run against a new camera. Runs the capability query, then streams\n"
                 "each codec the camera lists through the module at its largest size and default frame\n"
                 "rate (decodes every picture; figures: first-frame time, frame rate, bit rate, decode\n"
                 "errors, picture size against the size asked), reads the digital inputs once, and asks the\n"
                 "PTZ capabilities and the number of stored presets. Prints one row per function: pass or\n"
                 "FAIL, the figures, and for every failure a hint (the likely cause, found by camctl's own\n"
                 "short requests to the camera). Outputs are not switched and the camera does not move\n"
                 "unless --move is given. Exit status 0 only when every function the camera claims works.\n\n"
                 "The model and custom parameters (firmware, MAC address) come from the capability query\n"
                 "unless given; codecs, inputs and outputs always do (--codec, --inputs and --outputs are\n"
                 "not used). Channel 0 is checked. PTZ opens the camera's preset file as a recorder does\n"
                 "(see --preset-dir).\n\n"
                 "options:\n") +
         kDeviceOptionsHelp +
         "  --seconds N        seconds of video per codec, counted from its first frame (default 3;\n"
         "                     the module needs about 2 s more to its first frame)\n"
         "  --json             the table as one JSON object, nothing else on stdout\n"
         "  --report FILE      also write one self-contained HTML page (snapshots included) to send\n"
         "                     to support; it opens in any browser without a network\n"
         "  --move             PTZ: move right slowly for half a second, then stop\n"
         "  --preset-dir DIR   directory of the preset file; sets QUENLARK_PRESET_DIR for the module\n"
         "                     (default: $QUENLARK_PRESET_DIR, else the directory camctl is in)\n",
     {"json", "help", "version", "verbose", "move"},
     CheckOptions(),
     RunCheckCommand});

}  // namespace
}  // namespace camctl
