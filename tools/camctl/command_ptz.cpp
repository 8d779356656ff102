// camctl ptz: pan, tilt, zoom, focus and presets of one channel through the module's PTZ control,
// one call per run, or an interactive terminal mode for an operator.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tools/camctl/commands.h"
#include "tools/camctl/diagnose.h"
#include "tools/camctl/json_writer.h"
#include "tools/camctl/ptz_interactive.h"
#include "tools/camctl/ptz_session.h"
#include "tools/camctl/terminal.h"
#include "tools/hostkit/ptz.h"

namespace camctl {
namespace {
namespace ipc = korvalt::ipcapture;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr long kMinSpeed = 1;
constexpr long kMaxSpeed = 16;
constexpr long kDefaultInteractiveSpeed = 8;
constexpr double kMaxForSeconds = 3600;
constexpr const char* kPresetDirVariable = "QUENLARK_PRESET_DIR";

enum class Action {
  Caps,
  Move,
  Zoom,
  Focus,
  Stop,
  PresetAdd,
  PresetGo,
  PresetRemove,
  PresetList,
  Interactive
};

struct Request {
  Action What = Action::Caps;
  std::string Word;  // the direction as given: "left", "in", "near"...
  int32_t Direction = 0;
  int32_t Speed = 0;
  std::optional<double> ForSeconds;
  std::string Name;  // preset name
};

// One module call and its result.
struct Call {
  std::string Text;
  int32_t Result = 0;
};

bool ParseSpeed(const std::string& text, int32_t& speed, std::string& error) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < kMinSpeed || value > kMaxSpeed) {
    error = "SPEED must be a whole number from 1 (slow) to 16 (fast), not '" + text + "'";
    return false;
  }
  speed = static_cast<int32_t>(value);
  return true;
}

// Checks the words after "ptz" and the options that belong to one subcommand.
bool ParseRequest(const std::vector<std::string>& words, const Options& options, Request& request,
                  std::string& error) {
  if (words.empty()) {
    error = "missing subcommand: caps, move, zoom, focus, stop, preset or interactive";
    return false;
  }
  const std::string& verb = words[0];
  size_t used = 1;
  auto needs = [&](size_t count, const char* shape) {
    if (words.size() >= count) return true;
    error = std::string("usage: camctl ptz ") + shape;
    return false;
  };
  if (verb == "caps") {
    request.What = Action::Caps;
  } else if (verb == "move" || verb == "zoom" || verb == "focus") {
    const char* shape = verb == "move" ? "move left|right|up|down|up-left|up-right|down-left|down-right SPEED"
                        : verb == "zoom" ? "zoom in|out SPEED"
                                         : "focus near|far SPEED";
    if (!needs(3, shape)) return false;
    request.Word = words[1];
    const auto direction = hostkit::ParseMoveDirection(request.Word);
    if (verb == "move") {
      request.What = Action::Move;
      if (!direction || *direction == ipc::kPtzZoomIn || *direction == ipc::kPtzZoomOut) {
        error = "unknown direction '" + request.Word + "'; usage: camctl ptz " + shape;
        return false;
      }
      request.Direction = *direction;
    } else if (verb == "zoom") {
      request.What = Action::Zoom;
      if (request.Word != "in" && request.Word != "out") {
        error = std::string("usage: camctl ptz ") + shape;
        return false;
      }
    } else {
      request.What = Action::Focus;
      if (request.Word != "near" && request.Word != "far") {
        error = std::string("usage: camctl ptz ") + shape;
        return false;
      }
    }
    if (!ParseSpeed(words[2], request.Speed, error)) return false;
    used = 3;
  } else if (verb == "stop") {
    request.What = Action::Stop;
  } else if (verb == "preset") {
    if (!needs(2, "preset add|go|rm NAME, or preset list")) return false;
    const std::string& what = words[1];
    used = 2;
    if (what == "list") {
      request.What = Action::PresetList;
    } else if (what == "add" || what == "go" || what == "rm") {
      if (!needs(3, "preset add|go|rm NAME")) return false;
      request.What = what == "add"  ? Action::PresetAdd
                     : what == "go" ? Action::PresetGo
                                    : Action::PresetRemove;
      request.Name = words[2];
      used = 3;
    } else {
      error = "unknown preset action '" + what + "': add, go, rm or list";
      return false;
    }
  } else if (verb == "interactive") {
    request.What = Action::Interactive;
  } else {
    error = "unknown subcommand '" + verb + "': caps, move, zoom, focus, stop, preset or interactive";
    return false;
  }
  if (words.size() > used) {
    error = "unexpected argument '" + words[used] + "'";
    return false;
  }

  const bool timed =
      request.What == Action::Move || request.What == Action::Zoom || request.What == Action::Focus;
  if (options.Has("for")) {
    if (!timed) {
      error = "--for goes with move, zoom and focus";
      return false;
    }
    const std::string text = options.Get("for");
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > kMaxForSeconds) {
      error = "--for needs seconds from 0 to 3600, not '" + text + "'";
      return false;
    }
    request.ForSeconds = seconds;
  }
  if (options.Has("speed")) {
    if (request.What != Action::Interactive) {
      error = "--speed goes with interactive (the other subcommands take SPEED as an argument)";
      return false;
    }
    if (!ParseSpeed(options.Get("speed"), request.Speed, error)) return false;
  } else if (request.What == Action::Interactive) {
    request.Speed = kDefaultInteractiveSpeed;
  }
  if (request.What == Action::Interactive && options.Has("json")) {
    error = "interactive draws on the terminal; --json is for the other subcommands";
    return false;
  }
  return true;
}

bool HasMacAddress(const hostkit::DeviceConfig& config) {
  const auto it = config.Custom.find(ipc::kCustomParameterMacAddress);
  return it != config.Custom.end() && !it->second.empty() && it->second != "(none)";
}

// The movement call of a move, zoom or focus request.
int32_t StartMotion(ipc::IIPPTZApi& api, const Request& request) {
  switch (request.What) {
    case Action::Move:
      return api.Move(request.Direction, request.Speed);
    case Action::Zoom:
      return request.Word == "in" ? api.ZoomIn(request.Speed) : api.ZoomOut(request.Speed);
    default:
      return request.Word == "far" ? api.FocusPlus(request.Speed) : api.FocusMinus(request.Speed);
  }
}

std::string MotionText(const Request& request) {
  const char* verb = request.What == Action::Move ? "move" : request.What == Action::Zoom ? "zoom" : "focus";
  return std::string(verb) + " " + request.Word + " " + std::to_string(request.Speed);
}

class Printer {
 public:
  explicit Printer(bool json) : Json(json) {}

  void Add(const std::string& text, int32_t result) {
    Calls.push_back({text, result});
    if (!Json) {
      std::printf("%-20s %s\n", Printable(text).c_str(), PtzResultText(result).c_str());
      std::fflush(stdout);
    }
  }
  bool AnyResult(int32_t result) const {
    for (const Call& call : Calls) {
      if (call.Result == result) return true;
    }
    return false;
  }
  bool AllSucceeded() const {
    for (const Call& call : Calls) {
      if (call.Result != ipc::kPtzSuccess) return false;
    }
    return true;
  }
  void WriteCalls(JsonWriter& json) const {
    json.BeginArray();
    for (const Call& call : Calls) {
      json.BeginObject().Key("call").String(call.Text).Key("result").Number(call.Result);
      json.Key("name").String(hostkit::PtzResultName(call.Result)).EndObject();
    }
    json.EndArray();
  }

  const bool Json;

 private:
  std::vector<Call> Calls;
};

// Runs one subcommand; its own JSON fields go to json, an open object.
bool Execute(PtzSession& session, SignalWatch& signals, const Request& request, Printer& out,
             JsonWriter& json, bool& interrupted) {
  ipc::IIPPTZApiEx& api = session.Control();
  switch (request.What) {
    case Action::Caps: {
      const int32_t any = api.HasAnyPTZFunction();
      auto record = hostkit::MakeCapabilityRecord(0);
      const int32_t result = api.GetCapabilities(&record);
      out.Add("capabilities", result);
      json.Key("anyFunction").Number(any);
      if (result != ipc::kPtzSuccess) return false;
      if (out.Json) {
        json.Key("capabilities").BeginObject();
        json.Key("pan").Bool(record.CanPan != 0).Key("tilt").Bool(record.CanTilt != 0);
        json.Key("zoom").Bool(record.CanZoom != 0).Key("focus").Bool(record.CanFocus != 0);
        json.Key("iris").Bool(record.CanIris != 0).Key("areaZoom").Bool(record.CanAreaZoom != 0);
        json.Key("center").Bool(record.CanCenter != 0).Key("unzoom").Bool(record.CanUnzoom != 0);
        json.EndObject().Key("presets").BeginObject();
        json.Key("count").Number(record.PrepositionCount).Key("limit").Number(record.MaxPrepositions);
        json.EndObject().Key("text").String(hostkit::FormatCapabilities(record));
      } else {
        std::printf("any function         %s\n", any == 1   ? "yes"
                                                 : any == 0 ? "no"
                                                            : PtzResultText(any).c_str());
        std::printf("functions            %s\n", hostkit::FormatCapabilities(record).c_str());
        std::printf("presets              %u stored, %u at most\n", record.PrepositionCount,
                    record.MaxPrepositions);
      }
      return true;
    }
    case Action::Move:
    case Action::Zoom:
    case Action::Focus: {
      const int32_t result = StartMotion(api, request);
      out.Add(MotionText(request), result);
      if (result != ipc::kPtzSuccess) return false;
      session.NoteQueued();
      if (!request.ForSeconds) return true;
      const auto duration = std::chrono::duration<double>(*request.ForSeconds);
      interrupted =
          signals.WaitUntil(std::chrono::steady_clock::now() +
                            std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration));
      // Stopped even when interrupted: a camera is not left moving.
      const int32_t stopped = api.StopAll();
      out.Add("stop", stopped);
      return stopped == ipc::kPtzSuccess;
    }
    case Action::Stop: {
      const int32_t result = api.StopAll();
      out.Add("stop", result);
      std::fprintf(stderr,
                   "camctl ptz: note: stop ends only the motions this camctl process started; it started "
                   "none, so nothing was sent to the camera (see camctl ptz --help)\n");
      return result == ipc::kPtzSuccess;
    }
    case Action::PresetAdd:
      out.Add("preset add " + request.Name, api.AddPreposition(request.Name.c_str()));
      return true;
    case Action::PresetGo:
      out.Add("preset go " + request.Name, api.GotoPreposition(0, request.Name.c_str()));
      return true;
    case Action::PresetRemove: {
      // The module reports a delete the camera refused; the count of this name (older files may
      // repeat names) still shows whether one went.
      const auto stored = [&] {
        const std::vector<std::string> names = hostkit::PresetNames(api);
        return std::count(names.begin(), names.end(), request.Name);
      };
      const auto before = stored();
      const int32_t result = api.RemovePreposition(request.Name.c_str());
      out.Add("preset rm " + request.Name, result);
      if (result != ipc::kPtzSuccess) return false;
      const bool kept = before > 0 && stored() >= before;
      json.Key("stillStored").Bool(kept);
      if (kept) {
        std::fprintf(stderr, "camctl ptz: the preset \"%s\" is still stored: the camera did not delete it\n",
                     Printable(request.Name).c_str());
      }
      return !kept;
    }
    case Action::PresetList: {
      const int32_t count = api.GetPrepositionCount();
      const std::vector<std::string> names = hostkit::PresetNames(api);
      const std::optional<std::string> current = hostkit::CurrentPreset(api);
      const bool complete = count >= 0 && names.size() == static_cast<size_t>(count);
      if (out.Json) {
        json.Key("count").Number(count).Key("presets").BeginArray();
        for (size_t i = 0; i < names.size(); ++i) {
          json.BeginObject().Key("position").Number(i + 1).Key("name").String(names[i]);
          json.Key("current").Bool(current && *current == names[i]).EndObject();
        }
        json.EndArray().Key("current");
        if (current) {
          json.String(*current);
        } else {
          json.Null();
        }
      } else {
        for (size_t i = 0; i < names.size(); ++i) {
          const bool isCurrent = current && *current == names[i];
          std::printf("%c %3zu  %s\n", isCurrent ? '*' : ' ', i + 1, Printable(names[i]).c_str());
        }
        std::printf("%d preset(s)%s\n", count,
                    names.empty() ? ""
                    : current     ? ", * current"
                                  : ", none current");
      }
      if (!complete) {
        std::fprintf(stderr, "camctl ptz: the module counts %d preset(s) but gave %zu name(s)\n", count,
                     names.size());
      }
      return complete;
    }
    case Action::Interactive:
      break;
  }
  return false;
}

int RunPtz(const Options& options) {
  Request request;
  hostkit::DeviceConfig config;
  std::string error;
  if (!ParseRequest(options.Arguments(), options, request, error) ||
      !ReadDeviceConfig(options, config, error)) {
    std::fprintf(stderr, "camctl ptz: %s\n", error.c_str());
    return kExitUsage;
  }
  const long channel = options.GetInt("channel", 0, error);
  if (!error.empty() || channel < 0 || channel >= config.Channels) {
    std::fprintf(stderr, "camctl ptz: --channel must be 0 to %d: the device has %d channel(s) (--channels)\n",
                 config.Channels - 1, config.Channels);
    return kExitUsage;
  }
  if (!HasMacAddress(config)) {
    std::fprintf(stderr,
                 "camctl ptz: the MAC address is missing: the module names the camera's preset file after "
                 "it and gives no PTZ control without it. Add --param 3=MAC (camctl query shows it, e.g. "
                 "--param 3=001122AABBCC)\n");
    return kExitUsage;
  }
  if (options.Has("preset-dir")) {
    const std::string dir = options.Get("preset-dir");
    struct stat info {};
    if (dir.empty() || stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      std::fprintf(stderr, "camctl ptz: --preset-dir %s is not a directory\n", dir.c_str());
      return kExitUsage;
    }
    // Read by the module when it opens the preset file.
    setenv(kPresetDirVariable, dir.c_str(), 1);
  }
  if (request.What == Action::Interactive && (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO))) {
    std::fprintf(stderr,
                 "camctl ptz interactive: needs a terminal, but standard %s is not one; the other "
                 "subcommands suit scripts\n",
                 !isatty(STDIN_FILENO) ? "input" : "output");
    return kExitUsage;
  }

  PtzSession session;
  const bool verbose = options.Has("verbose");
  session.SetVerbose(verbose);
  if (!session.Open(ModulePath(options), config, static_cast<uint32_t>(channel), error)) {
    std::fprintf(stderr, "camctl ptz: %s\n", error.c_str());
    if (options.Has("json")) {
      JsonWriter json;
      json.BeginObject().Key("ok").Bool(false).Key("channel").Number(channel);
      json.Key("calls").BeginArray().EndArray().Key("error").String(error).EndObject();
      std::printf("%s\n", json.Text().c_str());
    }
    return kExitFailure;
  }
  if (request.What == Action::Interactive) {
    InteractiveSettings settings;
    settings.Speed = request.Speed;
    settings.Title = config.Model + " at " + config.Address + ":" + std::to_string(config.Port) +
                     ", channel " + std::to_string(channel);
    return RunPtzInteractive(session, settings);
  }

  Printer out(options.Has("json"));
  JsonWriter extra;  // the subcommand's own fields, then the hint
  extra.BeginObject();
  bool interrupted = false;
  bool ok = false;
  {
    SignalWatch signals;
    ok = Execute(session, signals, request, out, extra, interrupted);
    // Closed while the handlers are in place: a Ctrl-C during the settle time does not end camctl
    // before the stop request went out.
    session.Close();
  }
  ok = ok && out.AllSucceeded();
  // Preset calls are the ones that wait for the camera; a refused or lost request shows as this.
  Diagnosis diagnosis;
  if (!ok && !interrupted && out.AnyResult(ipc::kPtzPresetFailed))
    diagnosis = Diagnose(config, FailedJob::Ptz);
  if (!diagnosis.Hint.empty()) extra.Key("hint").String(diagnosis.Hint);
  extra.EndObject();
  if (!out.Json) {
    if (verbose) {
      for (const std::string& step : diagnosis.Steps)
        std::fprintf(stderr, "camctl ptz: probe: %s\n", step.c_str());
    }
    if (!diagnosis.Hint.empty()) std::fprintf(stderr, "camctl ptz: hint: %s\n", diagnosis.Hint.c_str());
  }
  if (out.Json) {
    JsonWriter json;
    json.BeginObject().Key("ok").Bool(ok).Key("channel").Number(channel).Key("calls");
    out.WriteCalls(json);
    json.Members(extra);
    if (interrupted) json.Key("interrupted").Bool(true);
    std::printf("%s\n", json.EndObject().Text().c_str());
  } else if (interrupted) {
    std::printf("interrupted before the time given with --for\n");
  }
  return ok ? 0 : kExitFailure;
}

std::vector<std::string> PtzOptions() {
  auto names = DeviceOptionNames();
  names.insert(names.end(), {"channel", "for", "speed", "preset-dir", "json", "help", "version"});
  return names;
}

const bool kRegistered = RegisterCommand(
    {"ptz",
     "pan, tilt, zoom, focus and presets; interactive mode",
     std::string(
         "usage: camctl ptz [options] --param 3=MAC SUBCOMMAND\n\n"
         "subcommands:\n"
         "  caps                                  what the channel can do, presets stored and the limit\n"
         "  move DIRECTION SPEED [--for SECONDS]  pan/tilt: left, right, up, down, up-left, up-right,\n"
         "                                        down-left or down-right\n"
         "  zoom in|out SPEED [--for SECONDS]\n"
         "  focus near|far SPEED [--for SECONDS]\n"
         "  stop                                  stop the motions this process started (see below)\n"
         "  preset add NAME                       store the present position as NAME\n"
         "  preset go NAME                        move to the preset\n"
         "  preset rm NAME                        forget the preset\n"
         "  preset list                           the presets in list order, from 1; * marks the current\n"
         "  interactive                           operate the camera from the keyboard\n\n"
         "Loads the module, opens a driver and takes the PTZ control of one channel, as a recorder\n"
         "does. --param 3=MAC is required: the module names the camera's preset file\n"
         "\"Quenlark_MAC.preset\" after it and gives no PTZ control without it. SPEED runs from 1\n"
         "(slow) to 16 (fast). Each call's result is printed by name (success, PTZ not available, not\n"
         "supported by the camera, preset operation failed, preset limit reached, invalid argument);\n"
         "the exit status is 1 when a call fails, 2 on a usage error. When a preset call fails,\n"
         "camctl asks the camera itself and prints the likely cause as a hint.\n\n"
         "Motions are continuous. With --for the motion runs that long (Ctrl-C ends it early) and is\n"
         "then stopped. Without --for the camera keeps moving after camctl exits, and a later\n"
         "`camctl ptz stop` cannot stop it: the module stops only what the same control started, and a\n"
         "new camctl process has started nothing. To stop it, run a motion with --for: `move left 1\n"
         "--for 0` stops pan, tilt and zoom, `focus far 1 --for 0` stops focus.\n"
         "Movement requests are queued and sent by the module in the background, and closing the\n"
         "driver drops what is still queued; the module does not tell when a request went out. So\n"
         "after its last movement request camctl waits 300 ms before closing. A request that needs\n"
         "longer to reach the camera (a slow network, a camera that stalls) may be dropped.\n"
         "Preset calls wait for the camera. The current preset is the one this control last went to\n"
         "or stored, until a motion; a new camctl process starts with none.\n\n"
         "interactive: arrow keys pan and tilt, space stops everything, + and - zoom, n and f focus\n"
         "near and far, 1 to 9 go to the preset at that list position, a adds a preset (type its\n"
         "name, Enter; Esc cancels), q quits (so do Ctrl-C and Ctrl-D). The screen shows the last\n"
         "action, its result, the current preset and the preset list. Quitting stops what it\n"
         "started. Adding a preset while the camera still stands at the current one renames that\n"
         "preset instead (the module's rule). Needs a terminal on standard input and output.\n\n"
         "options:\n") +
         kDeviceOptionsHelp +
         "  --channel N        channel, counted from 0 (default 0)\n"
         "  --for SECONDS      with move, zoom or focus: stop after this long (0 to 3600, fractions\n"
         "                     allowed)\n"
         "  --speed N          with interactive: SPEED of every key (default 8)\n"
         "  --preset-dir DIR   directory of the preset file; sets QUENLARK_PRESET_DIR for the module\n"
         "                     (default: $QUENLARK_PRESET_DIR, else the directory camctl is in)\n"
         "  --json             one JSON object with every call and its result, nothing else on stdout\n",
     {"json", "help", "version", "verbose"},
     PtzOptions(),
     RunPtz,
     true});

}  // namespace
}  // namespace camctl
