#include "tools/camctl/check_run.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <ctime>
#include <thread>

#include "tools/camctl/camera_probe.h"
#include "tools/camctl/diagnose.h"
#include "tools/camctl/ptz_session.h"
#include "tools/camctl/stream_session.h"
#include "tools/camctl/terminal.h"
#include "tools/camctl/text_escape.h"
#include "tools/hostkit/capability.h"
#include "tools/hostkit/io_sink.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/ptz.h"
#include "tools/hostkit/video.h"

namespace camctl {
namespace {
namespace ipc = korvalt::ipcapture;
using Clock = std::chrono::steady_clock;

constexpr const char* kVendorPrefix = "Quenlark ";
// camctl stream's bounds: what a recorder asks for.
constexpr int32_t kMaxDimension = 4096;
constexpr int32_t kMaxIntervalMs = 65535;
constexpr const char* kNoValue = "(none)";
// Four requests, each within the module's network time-out.
constexpr auto kQueryLimit = std::chrono::seconds(90);
constexpr auto kQueryWaitSlice = std::chrono::milliseconds(200);
constexpr auto kSecurityProbeLimit = std::chrono::seconds(5);
constexpr uint16_t kDefaultWidth = 640;
constexpr uint16_t kDefaultHeight = 480;
constexpr uint16_t kDefaultIntervalMs = 40;
constexpr uint16_t kQuality = 60;
// Below half the asked rate a recorder shows a stuttering picture.
constexpr double kLowestRateShare = 0.5;
constexpr int32_t kMoveSpeed = 1;
constexpr auto kMoveTime = std::chrono::milliseconds(500);

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Number(double value) {
  return Format("%.1f", value);
}

// What the capability query says the camera has.
struct Claims {
  struct Codec {
    const char* Name;
    int32_t Type;  // codec type at Open
  };
  std::vector<Codec> Codecs;
  int32_t Inputs = 0;
  int32_t Outputs = 0;
  bool Ptz = false;
  uint16_t Width = kDefaultWidth;
  uint16_t Height = kDefaultHeight;
  uint16_t IntervalMs = kDefaultIntervalMs;
};

class CheckRunner {
 public:
  CheckRunner(const CheckRequest& request, CheckReport& report)
      : Request(request), Report(report), Device(request.Device) {}

  void Run() {
    const bool queried = QueryRow();
    if (!queried) {
      for (const char* function : {"streams", "digital inputs", "PTZ"}) {
        Skip(function, "needs the capability query");
      }
      return;
    }
    SecurityRow();
    // The order a recorder most often uses them in.
    for (const Claims::Codec& codec : Camera.Codecs) {
      if (Stopping()) return Skip(std::string("stream ") + codec.Name, "interrupted");
      StreamRow(codec);
    }
    VideoSecurity();
    if (Camera.Codecs.empty()) {
      CheckRow& row = Add("streams", Verdict::Fail);
      row.Figures = "the camera lists no codec";
      row.Hint = "the camera names no video codec in /config/stream_info.cgi: firmware fault?";
    }
    if (Stopping()) return Skip("digital inputs", "interrupted");
    InputsRow();
    if (Camera.Outputs > 0) {
      CheckRow& row = Add("digital outputs", Verdict::NotTried);
      row.Figures =
          Format("%d output(s); check switches nothing (camctl io --set 0=on tries one)", Camera.Outputs);
      row.Values = {{"outputs", std::to_string(Camera.Outputs)}};
    }
    if (Stopping()) return Skip("PTZ", "interrupted");
    PtzRows();
  }

 private:
  bool Stopping() {
    Report.Interrupted = Report.Interrupted || Signals.Interrupted();
    return Report.Interrupted;
  }

  CheckRow& Add(const std::string& function, Verdict verdict) {
    Report.Rows.push_back({});
    CheckRow& row = Report.Rows.back();
    row.Function = function;
    row.Result = verdict;
    return row;
  }

  void Skip(const std::string& function, const std::string& why) {
    Add(function, Verdict::Skipped).Figures = why;
  }

  void Announce(const std::string& text) {
    if (Request.Progress == nullptr) return;
    std::fprintf(Request.Progress, "camctl check: %s\n", text.c_str());
    std::fflush(Request.Progress);
  }

  // The module's lines as they arrive, filtered as everywhere in camctl.
  std::function<void(const hostkit::DebugLine&)> LinePrinter() const {
    FILE* out = Request.Progress;
    const bool verbose = Request.Verbose;
    return [out, verbose](const hostkit::DebugLine& line) {
      if (out == nullptr || !ShowsLevel(line.Level, verbose)) return;
      std::fprintf(out, "%s [%u] %s\n", line.Stamp.c_str(), line.Level, CleanText(line.Text).c_str());
      std::fflush(out);
    };
  }

  void Explain(CheckRow& row, FailedJob job, const hostkit::DeviceConfig& device) {
    Announce(row.Function + " failed; asking the camera why");
    const Diagnosis diagnosis = Diagnose(device, job);
    row.Hint = diagnosis.Hint;
    row.ProbeSteps = diagnosis.Steps;
  }

  bool QueryRow() {
    Announce("capability query of " + Device.Address + ":" + std::to_string(Device.Port));
    CheckRow& row = Add("capability query", Verdict::Fail);
    hostkit::Module module;
    if (!module.Load(Request.ModulePath) || !module.HasCapabilityQuery()) {
      row.Figures = "cannot load " + Request.ModulePath + " with its capability query: " + module.Error();
      return false;
    }
    hostkit::CapabilityCallback callback;
    hostkit::CapabilityResults results;
    if (module.InitQuery(&callback, 1) == 0) {
      row.Figures = "InitCapabilityQuery refused";
      return false;
    }
    if (module.StartQuery(Device.Address.c_str(), Device.Port, Device.UserName.c_str(),
                          Device.Password.c_str(), &results) == 0) {
      module.UninitQuery();
      row.Figures = "StartCapabilityQuery refused";
      return false;
    }
    const auto deadline = Clock::now() + kQueryLimit;
    bool finished = false;
    while (!finished && !Stopping() && Clock::now() < deadline) finished = callback.Wait(kQueryWaitSlice);
    // After it the module no longer calls the result objects.
    module.UninitQuery();
    const hostkit::CapabilityOutcome outcome = callback.Outcome();
    if (!finished || !outcome.Succeeded()) {
      row.Figures = !finished ? (Report.Interrupted ? "interrupted" : "no answer within 90 s")
                              : Format("failed, code %d: %s", outcome.ErrorCode, outcome.Message.c_str());
      if (!Report.Interrupted) Explain(row, FailedJob::Query, Device);
      return false;
    }
    Learn(results.Report());
    row.Result = Verdict::Pass;
    std::string codecs;
    for (const auto& codec : Camera.Codecs) codecs += std::string(codecs.empty() ? "" : " ") + codec.Name;
    row.Figures =
        Format("%s, firmware %s, MAC %s; codecs %s; %ux%u at %u ms; %d input(s), %d output(s); PTZ %s",
               Report.CameraName.c_str(), Report.Firmware.c_str(), Report.Mac.c_str(),
               codecs.empty() ? "none" : codecs.c_str(), Camera.Width, Camera.Height, Camera.IntervalMs,
               Camera.Inputs, Camera.Outputs, Camera.Ptz ? "yes" : "no");
    row.Values = {{"name", JsonString(Report.CameraName)},
                  {"firmware", JsonString(Report.Firmware)},
                  {"mac", JsonString(Report.Mac)},
                  {"inputs", std::to_string(Camera.Inputs)},
                  {"outputs", std::to_string(Camera.Outputs)},
                  {"ptz", Camera.Ptz ? "true" : "false"}};
    return true;
  }

  void Learn(const hostkit::CapabilityReport& found) {
    Report.CameraName = found.Name.value_or("");
    const auto custom = [&found](int32_t index) {
      const auto it = found.CustomParameters.find(index);
      return it == found.CustomParameters.end() ? std::string() : it->second.Value.value_or("");
    };
    Report.Firmware = custom(ipc::kCustomParameterFirmware);
    Report.Mac = custom(ipc::kCustomParameterMacAddress);
    // Given parameters win; the rest come from the camera, as a recorder stores them.
    for (const auto& [index, parameter] : found.CustomParameters) {
      if (parameter.Value) Device.Custom.emplace(index, *parameter.Value);
    }
    if (!Request.ModelGiven && Report.CameraName.rfind(kVendorPrefix, 0) == 0) {
      Device.Model = Report.CameraName.substr(std::string(kVendorPrefix).size());
    }
    const Claims::Codec known[] = {
        {"h264", ipc::kCodecTypeH264}, {"mpeg4", ipc::kCodecTypeMPEG4}, {"mjpeg", ipc::kCodecTypeMJPEG}};
    const int32_t ids[] = {ipc::kCapabilityH264, ipc::kCapabilityMPEG4, ipc::kCapabilityMJPEG};
    for (size_t i = 0; i < std::size(known); ++i) {
      if (found.Property(ids[i]).value_or(0) != 0) Camera.Codecs.push_back(known[i]);
    }
    Camera.Inputs = std::max(0, found.Property(ipc::kCapabilityInputs).value_or(0));
    Camera.Outputs = std::max(0, found.Property(ipc::kCapabilityOutputs).value_or(0));
    Camera.Ptz = found.Property(ipc::kCapabilityPTZ).value_or(0) != 0;
    // The first size listed is the camera's largest; a recorder asks for it first.
    for (const auto& resolution : found.Resolutions) {
      if (resolution.Width > 0 && resolution.Height > 0 && resolution.Width <= kMaxDimension &&
          resolution.Height <= kMaxDimension) {
        Camera.Width = static_cast<uint16_t>(resolution.Width);
        Camera.Height = static_cast<uint16_t>(resolution.Height);
        break;
      }
    }
    const auto intervals = found.FrameIntervalLists.find(1);
    if (intervals != found.FrameIntervalLists.end() && intervals->second.Default &&
        *intervals->second.Default > 0 && *intervals->second.Default <= kMaxIntervalMs) {
      Camera.IntervalMs = static_cast<uint16_t>(*intervals->second.Default);
    }
  }

  void StreamRow(const Claims::Codec& codec) {
    StreamRequest stream;
    stream.Device = Device;
    stream.Device.CodecType = codec.Type;
    stream.ModulePath = Request.ModulePath;
    stream.Width = Camera.Width;
    stream.Height = Camera.Height;
    stream.IntervalMs = Camera.IntervalMs;
    stream.Quality = kQuality;
    stream.Seconds = Request.Seconds;
    stream.SecondsAfterFirstFrame = true;
    stream.FirstFrameLimit = Request.FirstFrameLimit;
    stream.Progress = false;
    stream.ShowDiagnostics = Request.Progress != nullptr;
    stream.DiagnosticsOut = Request.Progress != nullptr ? Request.Progress : stderr;
    stream.Verbose = Request.Verbose;
    stream.KeepSnapshot = Request.KeepSnapshots;
    Announce(Format("stream %s, %ux%u every %u ms, %s s of video", codec.Name, stream.Width, stream.Height,
                    stream.IntervalMs, Number(Request.Seconds).c_str()));
    StreamSummary summary = RunStream(stream);
    Report.Interrupted = Report.Interrupted || summary.Interrupted;

    CheckRow& row = Add(std::string("stream ") + codec.Name, Verdict::Fail);
    row.ModuleLines = summary.Diagnostics;
    row.Snapshot = std::move(summary.SnapshotPng);
    row.SnapshotWidth = summary.Width;
    row.SnapshotHeight = summary.Height;
    // The whole frames per second the camera is asked for.
    const double askedRate = std::round(1000.0 / stream.IntervalMs);
    const double rate = summary.FramesPerSecond();
    const bool sizeRight = summary.Width == stream.Width && summary.Height == stream.Height;
    row.Values = {{"requested_width", std::to_string(stream.Width)},
                  {"requested_height", std::to_string(stream.Height)},
                  {"width", std::to_string(summary.Width)},
                  {"height", std::to_string(summary.Height)},
                  {"first_frame_ms", std::to_string(summary.FirstFrameMs)},
                  {"frames", std::to_string(summary.Frames)},
                  {"decoded", std::to_string(summary.Decoded)},
                  {"decode_errors", std::to_string(summary.DecodeErrors)},
                  {"fps", Number(rate)},
                  {"requested_fps", Number(askedRate)},
                  {"kbit_s", Number(summary.KilobitsPerSecond())},
                  {"transport", summary.Transport},
                  {"rtp_lost", std::to_string(summary.RtpLost)},
                  {"rtp_expected", std::to_string(summary.RtpExpected)},
                  {"pictures_dropped", std::to_string(summary.PicturesDropped)}};
    if (summary.Frames == 0) {
      row.Figures = summary.Error.empty() ? "no frame arrived" : summary.Error;
      if (summary.Interrupted) {
        row.Result = Verdict::Skipped;
        return;
      }
      ExplainFailure(summary, stream);
      row.Hint = summary.Hint;
      row.ProbeSteps = summary.ProbeSteps;
      return;
    }
    row.Figures = Format(
        "%dx%d%s; first frame %lld ms; %s fps (%.0f asked); %.0f kbit/s; %llu frames, %llu decode errors",
        summary.Width, summary.Height,
        sizeRight ? " as asked" : Format(" (%ux%u asked)", stream.Width, stream.Height).c_str(),
        static_cast<long long>(summary.FirstFrameMs), Number(rate).c_str(), askedRate,
        summary.KilobitsPerSecond(), static_cast<unsigned long long>(summary.Frames),
        static_cast<unsigned long long>(summary.DecodeErrors));
    row.Figures += Format("; over %s; loss %s", summary.Transport.empty() ? "-" : summary.Transport.c_str(),
                          LossText(summary).c_str());
    if (summary.DecodeErrors > 0 || summary.Decoded == 0) {
      ExplainFailure(summary, stream);
      row.Hint = summary.Decoded == 0 ? "no picture decoded: the camera's " + std::string(codec.Name) +
                                            " stream is not what it announces; update its firmware?"
                                      : summary.Hint;
    } else if (!sizeRight) {
      row.Hint = Format(
          "the camera sent %dx%d where %ux%u was asked: it does not apply profile 1's size; "
          "update its firmware?",
          summary.Width, summary.Height, stream.Width, stream.Height);
    } else if (rate < askedRate * kLowestRateShare) {
      row.Hint = Format("%s fps where %.0f were asked: camera overloaded, or pictures lost on the network?",
                        Number(rate).c_str(), askedRate);
    } else {
      row.Result = Verdict::Pass;
      row.Hint = summary.TransportHint();
    }
  }

  // How the camera's CGI is reached: HTTPS and its key, or plain HTTP and whether the password then
  // crosses the network readable (a camera that offers Basic alone).
  void SecurityRow() {
    const auto key = Device.Custom.find(ipc::kCustomParameterKeySha256);
    const std::string pin =
        key == Device.Custom.end() || key->second == "(none)" ? std::string() : key->second;
    if (!pin.empty()) {
      CheckRow& row = Add("security", Verdict::Pass);
      row.Figures = "HTTPS; the camera's key, SHA-256 of its public key: " + pin;
      row.Values = {{"https", "true"}, {"keySha256", JsonString(pin)}, {"basicInTheClear", "false"}};
      return;
    }
    ProbeTarget target{Device.Address, Device.Port, "", ""};
    const ProbeAnswer answer = ProbeGet(target, "/common/info.cgi", false, kSecurityProbeLimit);
    std::string headers = answer.Headers;
    for (char& c : headers) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string offered;
    for (const char* scheme : {"Digest", "Basic"}) {
      std::string wanted = std::string("www-authenticate: ") + scheme;
      for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (headers.find(wanted) != std::string::npos)
        offered += std::string(offered.empty() ? "" : " and ") + scheme;
    }
    const bool basicOnly = offered == "Basic";
    CheckRow& row = Add("security", basicOnly ? Verdict::Fail : Verdict::Pass);
    row.Figures =
        "plain HTTP; " + (offered.empty() ? std::string("no password asked for")
                                          : "the camera offers " + offered +
                                                (basicOnly ? ": the password crosses the network readable"
                                                           : ": the password is never sent readable"));
    row.Values = {{"https", "false"}, {"basicInTheClear", basicOnly ? "true" : "false"}};
    if (basicOnly) {
      row.Hint =
          "switch the camera to HTTPS (the capability query then reports its key for the recorder to pin), "
          "or to "
          "Digest authentication";
    }
  }

  // Whether the streams went encrypted, as the module's transport lines say, added to the security row.
  void VideoSecurity() {
    bool tls = false, plain = false;
    for (const CheckRow& row : Report.Rows) {
      if (row.Function.rfind("stream ", 0) != 0) continue;
      for (const hostkit::DebugLine& line : row.ModuleLines) {
        tls = tls || line.Text.find("streams over RTSP over TLS") != std::string::npos;
        plain = plain || line.Text.find("crosses the network unencrypted") != std::string::npos;
      }
    }
    for (CheckRow& row : Report.Rows) {
      if (row.Function != "security") continue;
      const bool encrypted = tls && !plain;
      row.Figures += encrypted ? "; video over RTSP over TLS" : "; video unencrypted (plain RTSP)";
      row.Values.push_back({"videoEncrypted", encrypted ? "true" : "false"});
    }
  }

  void InputsRow() {
    if (Camera.Inputs == 0) {
      Add("digital inputs", Verdict::NotClaimed).Figures = "the camera reports no input";
      return;
    }
    Announce(Format("digital inputs: reading %d once", Camera.Inputs));
    CheckRow& row = Add("digital inputs", Verdict::Fail);
    hostkit::DeviceConfig config = Device;
    config.Inputs = Camera.Inputs;
    // With outputs the module's start would switch every one of them off.
    config.Outputs = 0;
    hostkit::Module module;
    if (!module.Load(Request.ModulePath)) {
      row.Figures = "cannot load " + Request.ModulePath + ": " + module.Error();
      return;
    }
    hostkit::DebugSink debug;
    debug.SetPrinter(LinePrinter());
    hostkit::SampleAllocator allocator;
    hostkit::DeviceParams params(config);
    hostkit::IOEventSink sink;
    auto* driver = module.Create();
    if (driver == nullptr) {
      row.Figures = "CreateIPCapture returned null";
      return;
    }
    bool started = false;
    korvalt::ICaptureIOApi* io = driver->Open(&debug, &allocator, &params) ? driver->GetCaptureIO() : nullptr;
    if (io != nullptr) {
      io->SetIOSink(&sink);
      // The first poll runs within Start, on this thread.
      started = io->Start();
      io->Stop();
    }
    driver->Close();
    module.Delete(driver);
    row.ModuleLines = debug.Lines();
    if (io == nullptr) {
      row.Figures = "the driver offers no digital I/O object";
      return;
    }
    std::vector<int32_t> states(static_cast<size_t>(Camera.Inputs), 0);
    for (const hostkit::IOEvent& change : sink.Changes()) {
      if (change.Index < states.size()) states[change.Index] = change.State;
    }
    std::string figures;
    int read = 0;
    for (size_t i = 0; i < states.size(); ++i) {
      const char* state = states[i] == 0 ? "unknown" : states[i] == ipc::kIOStateOn ? "on" : "off";
      read += states[i] != 0 ? 1 : 0;
      figures += Format("%sin%zu %s", figures.empty() ? "" : ", ", i + 1, state);
    }
    row.Values = {{"inputs", std::to_string(Camera.Inputs)}, {"read", std::to_string(read)}};
    row.Figures = figures;
    if (started && sink.Failures() == 0 && read == Camera.Inputs) {
      row.Result = Verdict::Pass;
      return;
    }
    row.Figures = Format("%d of %d input(s) read: ", read, Camera.Inputs) + figures;
    Explain(row, FailedJob::Inputs, config);
  }

  void PtzRows() {
    if (!Camera.Ptz) {
      Add("PTZ", Verdict::NotClaimed).Figures = "the camera reports no PTZ";
      return;
    }
    Announce(Request.Move ? "PTZ capabilities and presets, and a short move"
                          : "PTZ capabilities and presets");
    const size_t index = Report.Rows.size();
    CheckRow& row = Add("PTZ", Verdict::Fail);
    const auto mac = Device.Custom.find(ipc::kCustomParameterMacAddress);
    if (mac == Device.Custom.end() || mac->second.empty() || mac->second == kNoValue) {
      row.Figures = "no MAC address";
      row.Hint =
          "the camera reports no MAC address (macaddr in /common/info.cgi); the module names the preset "
          "file after it and gives no PTZ control without it; give --param 3=MAC";
      return;
    }
    PtzSession session;
    session.SetVerbose(Request.Verbose);
    std::string error;
    const bool opened = session.Open(Request.ModulePath, Device, 0, error);
    if (opened) session.Debug().SetPrinter(LinePrinter());
    if (!opened) {
      row.ModuleLines = session.Debug().Lines();
      row.Figures = error;
      row.Hint =
          "the module gives no PTZ control: its lines say why (--verbose); is the preset directory writable?";
      return;
    }
    ipc::IIPPTZApiEx& api = session.Control();
    const int32_t any = api.HasAnyPTZFunction();
    auto record = hostkit::MakeCapabilityRecord(0);
    const int32_t result = api.GetCapabilities(&record);
    const int32_t presets = api.GetPrepositionCount();
    row.Values = {{"any_function", std::to_string(any)},
                  {"capabilities", JsonString(hostkit::FormatCapabilities(record))},
                  {"presets", std::to_string(presets)}};
    if (result != ipc::kPtzSuccess || any != 1) {
      row.Figures = "capabilities: " + PtzResultText(result) + ", any function: " + std::to_string(any);
      row.Hint =
          "the camera claims PTZ but the module offers no PTZ function: RS-485 switched off, or a model "
          "the module does not know?";
    } else {
      row.Result = Verdict::Pass;
      row.Figures = hostkit::FormatCapabilities(record);
    }
    // MoveRow adds a row, which may move this one.
    if (Request.Move) MoveRow(session);
    session.Close();
    Report.Rows[index].ModuleLines = session.Debug().Lines();
  }

  // Reports only what the module answers: it queues the movement and never says whether the
  // camera moved.
  void MoveRow(PtzSession& session) {
    ipc::IIPPTZApiEx& api = session.Control();
    const int32_t moved = api.Move(ipc::kPtzMoveRight, kMoveSpeed);
    if (moved == ipc::kPtzSuccess) session.NoteQueued();
    Signals.WaitUntil(Clock::now() + kMoveTime);
    // Stopped whatever happened: a camera is not left moving.
    const int32_t stopped = api.StopAll();
    CheckRow& row = Add("PTZ move", Verdict::Fail);
    row.Figures =
        "move right at speed 1: " + PtzResultText(moved) + "; stop after 0.5 s: " + PtzResultText(stopped);
    row.Values = {{"move", std::to_string(moved)}, {"stop", std::to_string(stopped)}};
    if (moved == ipc::kPtzSuccess && stopped == ipc::kPtzSuccess) {
      row.Result = Verdict::Pass;
    } else {
      row.Hint = "the module refused the movement: PTZ not available for this channel?";
    }
  }

  const CheckRequest& Request;
  CheckReport& Report;
  hostkit::DeviceConfig Device;  // as given, completed from the capability query
  Claims Camera;
  SignalWatch Signals;
};

std::string LocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

bool CheckReport::Passed() const {
  for (const CheckRow& row : Rows) {
    if (row.Result == Verdict::Fail || row.Result == Verdict::Skipped) return false;
  }
  return !Interrupted && !Rows.empty();
}

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass:
      return "pass";
    case Verdict::Fail:
      return "FAIL";
    case Verdict::NotClaimed:
      return "not claimed";
    case Verdict::NotTried:
      return "not tried";
    case Verdict::Skipped:
      break;
  }
  return "skipped";
}

CheckReport RunCheck(const CheckRequest& request) {
  CheckReport report;
  report.Address = request.Device.Address;
  report.Port = request.Device.Port;
  report.User = request.Device.UserName;
  report.Seconds = request.Seconds;
  report.StartedAt = LocalTime();
  const auto start = Clock::now();
  CheckRunner(request, report).Run();
  report.WallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  return report;
}

}  // namespace camctl
