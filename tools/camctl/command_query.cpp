// camctl query: ask a camera what it is and can do through the module's capability query
// exports, and print what the result object received.

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "tools/camctl/commands.h"
#include "tools/camctl/diagnose.h"
#include "tools/camctl/json_writer.h"
#include "tools/camctl/text_escape.h"
#include "tools/hostkit/capability.h"
#include "tools/hostkit/module.h"

namespace camctl {
namespace {
namespace ipc = korvalt::ipcapture;

// Each of the query's four requests may take up to the module's network time-out.
constexpr long kDefaultTimeoutSeconds = 90;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Codec names in the order of their property ids, for those the camera reported.
std::vector<std::string> Codecs(const hostkit::CapabilityReport& report) {
  std::vector<std::string> codecs;
  const std::pair<int32_t, const char*> known[] = {
      {ipc::kCapabilityMJPEG, "mjpeg"}, {ipc::kCapabilityMPEG4, "mpeg4"}, {ipc::kCapabilityH264, "h264"}};
  for (const auto& [id, name] : known) {
    if (report.Property(id).value_or(0) != 0) codecs.emplace_back(name);
  }
  return codecs;
}

const hostkit::CapabilityReport::FrameIntervals* Intervals(const hostkit::CapabilityReport& report) {
  const auto it = report.FrameIntervalLists.find(1);
  return it == report.FrameIntervalLists.end() ? nullptr : &it->second;
}

std::string AddressField(const hostkit::CapabilityReport& report, int32_t index) {
  const auto it = report.AddressFields.find(index);
  return it == report.AddressFields.end() ? std::string("(not set)") : it->second;
}

std::string ParameterType(const hostkit::CapabilityReport::CustomParameter& p) {
  if (!p.Type) return "unset";
  return *p.Type == ipc::kCustomParameterNumber ? "number"
         : *p.Type == ipc::kCustomParameterText ? "text"
                                                : "other";
}

void PrintText(const hostkit::CapabilityReport& report, const hostkit::CapabilityOutcome& outcome) {
  if (outcome.Succeeded()) {
    std::printf("result      completed\n");
  } else {
    std::printf("result      FAILED, code %d: %s\n", outcome.ErrorCode, CleanText(outcome.Message).c_str());
  }
  // Camera text reaches the terminal cleaned: no control character may drive it.
  std::printf("name        %s\n", CleanText(report.Name.value_or("(not set)")).c_str());
  for (const auto& [id, value] : report.PropertyWrites) {
    std::printf("property    %-2d %-12s %d\n", id, hostkit::CapabilityPropertyName(id).c_str(), value);
  }
  std::string codecs;
  for (const auto& codec : Codecs(report)) codecs += " " + codec;
  std::printf("codecs     %s\n", codecs.empty() ? " (none)" : codecs.c_str());
  if (const auto* intervals = Intervals(report)) {
    std::string list;
    for (const int32_t interval : intervals->Intervals) list += " " + std::to_string(interval);
    std::printf("intervals   default %s ms, all%s ms\n",
                intervals->Default ? std::to_string(*intervals->Default).c_str() : "(none)", list.c_str());
  } else {
    std::printf("intervals   (none)\n");
  }
  for (const auto& r : report.Resolutions) {
    std::printf("resolution  %-10s %dx%d, interval %d ms%s\n", CleanText(r.Text).c_str(), r.Width, r.Height,
                r.FrameInterval, r.FrameInterval == 0 ? " (none given)" : "");
  }
  const auto password = report.AddressFields.find(ipc::kAddressFieldPassword);
  std::printf("address     %s:%s, user \"%s\", password %s\n",
              CleanText(AddressField(report, ipc::kAddressFieldAddress)).c_str(),
              CleanText(AddressField(report, ipc::kAddressFieldPort)).c_str(),
              CleanText(AddressField(report, ipc::kAddressFieldUserName)).c_str(),
              password == report.AddressFields.end() ? "(not set)"
              : password->second.empty()             ? "(empty)"
                                                     : "********");
  for (const auto& [index, p] : report.CustomParameters) {
    std::printf("custom %d    %s = \"%s\" (%s)\n", index, CleanText(p.Name.value_or("(no name)")).c_str(),
                CleanText(p.Value.value_or("")).c_str(), ParameterType(p).c_str());
  }
}

// Text or null.
void StringOrNull(JsonWriter& json, const std::optional<std::string>& text) {
  if (text) {
    json.String(*text);
  } else {
    json.Null();
  }
}

std::string ReportJson(const hostkit::CapabilityReport& report, const hostkit::CapabilityOutcome& outcome,
                       const std::string& hint) {
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(outcome.Succeeded());
  if (!outcome.Succeeded())
    json.Key("errorCode").Number(outcome.ErrorCode).Key("message").String(outcome.Message);
  json.Key("name");
  StringOrNull(json, report.Name);
  json.Key("properties").BeginArray();
  for (const auto& [id, value] : report.PropertyWrites) {
    json.BeginObject().Key("id").Number(id).Key("name").String(hostkit::CapabilityPropertyName(id));
    json.Key("value").Number(value).EndObject();
  }
  json.EndArray().Key("codecs").BeginArray();
  for (const std::string& codec : Codecs(report)) json.String(codec);
  json.EndArray().Key("frameIntervals").BeginObject().Key("default");
  const auto* intervals = Intervals(report);
  if (intervals && intervals->Default) {
    json.Number(*intervals->Default);
  } else {
    json.Null();
  }
  json.Key("intervals").BeginArray();
  if (intervals) {
    for (const auto interval : intervals->Intervals) json.Number(interval);
  }
  json.EndArray().EndObject().Key("resolutions").BeginArray();
  for (const auto& r : report.Resolutions) {
    json.BeginObject().Key("text").String(r.Text).Key("width").Number(r.Width).Key("height").Number(r.Height);
    json.Key("frameInterval").Number(r.FrameInterval).EndObject();
  }
  json.EndArray().Key("address").BeginObject();
  const std::pair<int32_t, const char*> fields[] = {{ipc::kAddressFieldAddress, "address"},
                                                    {ipc::kAddressFieldPort, "port"},
                                                    {ipc::kAddressFieldUserName, "user"},
                                                    {ipc::kAddressFieldPassword, "password"}};
  for (const auto& [index, name] : fields) {
    const auto it = report.AddressFields.find(index);
    if (it != report.AddressFields.end()) json.Key(name).String(it->second);
  }
  json.EndObject().Key("customParameters").BeginArray();
  for (const auto& [index, p] : report.CustomParameters) {
    json.BeginObject().Key("index").Number(index).Key("name");
    StringOrNull(json, p.Name);
    json.Key("type").String(ParameterType(p)).Key("value");
    StringOrNull(json, p.Value);
    json.EndObject();
  }
  json.EndArray();
  if (!hint.empty()) json.Key("hint").String(hint);
  return json.EndObject().Text();
}

int RunQuery(const Options& options) {
  hostkit::DeviceConfig config;
  std::string error;
  const long timeoutSeconds = options.GetInt("timeout", kDefaultTimeoutSeconds, error);
  if (error.empty() && timeoutSeconds < 1) error = "--timeout must be at least 1";
  if (!error.empty() || !ReadDeviceConfig(options, config, error)) {
    std::fprintf(stderr, "camctl query: %s\n", error.c_str());
    return kExitUsage;
  }
  const bool json = options.Has("json");

  hostkit::Module module;
  const std::string path = ModulePath(options);
  if (!module.Load(path)) {
    std::fprintf(stderr, "camctl query: cannot load %s: %s\n", path.c_str(), module.Error().c_str());
    return kExitFailure;
  }
  if (!module.HasCapabilityQuery()) {
    std::fprintf(stderr, "camctl query: %s has no capability query exports\n", path.c_str());
    return kExitFailure;
  }

  hostkit::CapabilityCallback callback;
  hostkit::CapabilityResults results;
  if (module.InitQuery(&callback, 1) == 0) {
    std::fprintf(stderr, "camctl query: InitCapabilityQuery refused\n");
    return kExitFailure;
  }
  if (module.StartQuery(config.Address.c_str(), config.Port, config.UserName.c_str(), config.Password.c_str(),
                        &results) == 0) {
    module.UninitQuery();
    std::fprintf(stderr, "camctl query: StartCapabilityQuery refused\n");
    return kExitFailure;
  }
  const bool finished = callback.Wait(std::chrono::seconds(timeoutSeconds));
  // Stops a query that is still waiting for the camera; after it the module no longer calls us.
  module.UninitQuery();
  const bool verbose = options.Has("verbose");
  if (!finished) {
    std::fprintf(stderr, "camctl query: no answer from %s:%u within %ld s\n", config.Address.c_str(),
                 static_cast<unsigned>(config.Port), timeoutSeconds);
    const Diagnosis diagnosis = Diagnose(config, FailedJob::Query);
    if (verbose) {
      for (const std::string& step : diagnosis.Steps)
        std::fprintf(stderr, "camctl query: probe: %s\n", step.c_str());
    }
    std::fprintf(stderr, "camctl query: hint: %s\n", diagnosis.Hint.c_str());
    return kExitFailure;
  }

  const hostkit::CapabilityOutcome outcome = callback.Outcome();
  const hostkit::CapabilityReport report = results.Report();
  Diagnosis diagnosis;
  if (!outcome.Succeeded()) diagnosis = Diagnose(config, FailedJob::Query);
  if (json) {
    std::printf("%s\n", ReportJson(report, outcome, diagnosis.Hint).c_str());
  } else {
    PrintText(report, outcome);
    if (verbose) {
      for (const std::string& step : diagnosis.Steps) std::printf("probe       %s\n", step.c_str());
    }
    if (!diagnosis.Hint.empty()) std::printf("hint        %s\n", diagnosis.Hint.c_str());
  }
  return outcome.Succeeded() ? 0 : kExitFailure;
}

const bool kRegistered = RegisterCommand(
    {"query",
     "ask a camera what it is and can do (capability query)",
     "usage: camctl query --address A --port P --user U --password W [--json]\n\n"
     "Runs the module's capability query against the camera and prints what the result object\n"
     "received: name, property ids with values, codecs, frame intervals (default first),\n"
     "resolutions with their intervals, address fields (password masked) and the custom\n"
     "parameters; or the failure code and message, and a hint: the likely cause, found by\n"
     "camctl's own short requests to the camera. Exit status 0 when the query completed.\n\n"
     "options:\n"
     "  --address A        camera host name or IPv4 address (default 127.0.0.1)\n"
     "  --port P           camera HTTP port (default 80)\n"
     "  --user U           user name (default empty: no credentials)\n"
     "  --password W       password\n"
     "  --json             one JSON object on stdout instead of text (the password is included)\n"
     "  --timeout S        give up after S seconds without an answer (default 90)\n"
     "  --verbose          also what each of camctl's own requests found when the query fails\n"
     "  --module PATH      driver module (default: libquenlark_ipcapture.so beside camctl)\n",
     {"help", "version", "json", "verbose"},
     {"address", "port", "user", "password", "json", "timeout", "module", "help", "version", "verbose"},
     RunQuery});

}  // namespace
}  // namespace camctl
