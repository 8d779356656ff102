// camctl io: start the driver's digital I/O object, print every input change and I/O failure as
// it arrives, set outputs, and stop on the time limit or Ctrl-C.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "tools/camctl/commands.h"
#include "tools/camctl/diagnose.h"
#include "tools/camctl/json_writer.h"
#include "tools/camctl/text_escape.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/io_sink.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace camctl {
namespace {
namespace ipc = korvalt::ipcapture;

constexpr int kUsageError = 2;
constexpr int kFailure = 1;
constexpr long kMaxWatchSeconds = 7 * 24 * 3600;
// Output changes are queued to the module's output thread, which gives no word of success: with
// --set and no --watch, camctl gives the requests this long before it stops (a stop drops what
// is still queued).
constexpr long kDefaultSettleSeconds = 2;

// Self-pipe: the handler only sets the flag and writes one byte; the main thread polls the pipe.
volatile std::sig_atomic_t gInterrupted = 0;
int gWakeFd = -1;

void OnSignal(int) {
  gInterrupted = 1;
  if (gWakeFd >= 0) {
    const char byte = 1;
    const ssize_t ignored = write(gWakeFd, &byte, 1);
    (void)ignored;
  }
}

// Installs the SIGINT/SIGTERM handlers for its lifetime.
class InterruptGuard {
 public:
  InterruptGuard() {
    if (pipe2(Fds, O_CLOEXEC | O_NONBLOCK) != 0) Fds[0] = Fds[1] = -1;
    gInterrupted = 0;
    gWakeFd = Fds[1];
    struct sigaction action {};
    action.sa_handler = OnSignal;
    // A second Ctrl-C ends camctl at once, even while Start waits for a camera that does not answer.
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &PreviousInt);
    sigaction(SIGTERM, &action, &PreviousTerm);
  }
  ~InterruptGuard() {
    sigaction(SIGINT, &PreviousInt, nullptr);
    sigaction(SIGTERM, &PreviousTerm, nullptr);
    gWakeFd = -1;
    if (Fds[0] >= 0) close(Fds[0]);
    if (Fds[1] >= 0) close(Fds[1]);
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  bool Interrupted() const { return gInterrupted != 0; }

  // Waits until the deadline or an interrupt; true when interrupted.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) const {
    while (!Interrupted()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
              .count();
      if (left <= 0) return false;
      pollfd fd{Fds[0], POLLIN, 0};
      const int ready = poll(&fd, Fds[0] >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(left, 1000)));
      if (ready < 0 && errno != EINTR) return Interrupted();
    }
    return true;
  }

 private:
  int Fds[2] = {-1, -1};
  struct sigaction PreviousInt {};
  struct sigaction PreviousTerm {};
};

struct OutputRequest {
  int32_t Index = 0;
  bool On = false;
  bool Queued = false;
};

// What happened, as it arrived on the module's threads.
struct Journal {
  struct Entry {
    std::string Stamp;
    bool Failure = false;
    uint32_t Index = 0;
    int32_t State = 0;
  };
  std::mutex Lock;  // guards Entries and stdout; written by the module's I/O threads
  std::vector<Entry> Entries;
  bool Print = true;

  void Add(const hostkit::IOEvent& event) {
    Entry entry{hostkit::NowStamp(), event.Type == hostkit::IOEvent::Kind::Failure, event.Index, event.State};
    std::lock_guard<std::mutex> guard(Lock);
    Entries.push_back(entry);
    if (!Print) return;
    if (entry.Failure)
      std::printf("%s  I/O failure\n", entry.Stamp.c_str());
    else
      std::printf("%s  input %u %s\n", entry.Stamp.c_str(), entry.Index,
                  entry.State == ipc::kIOStateOn ? "on" : "off");
    std::fflush(stdout);
  }
};

int UnreadInputs(Journal& journal, int32_t inputs) {
  std::vector<bool> read(static_cast<size_t>(std::max(inputs, 0)), false);
  std::lock_guard<std::mutex> guard(journal.Lock);
  for (const auto& entry : journal.Entries) {
    if (!entry.Failure && entry.Index < read.size()) read[entry.Index] = true;
  }
  return static_cast<int>(std::count(read.begin(), read.end(), false));
}

bool ParseSet(const std::string& text, int32_t outputs, OutputRequest& request, std::string& error) {
  const auto equals = text.find('=');
  const std::string index = text.substr(0, equals);
  const std::string state = equals == std::string::npos ? std::string() : text.substr(equals + 1);
  char* end = nullptr;
  const long number = index.empty() ? -1 : std::strtol(index.c_str(), &end, 10);
  if (equals == std::string::npos || index.empty() || *end != '\0' || (state != "on" && state != "off")) {
    error = "--set needs INDEX=on|off, not '" + text + "'";
    return false;
  }
  if (number < 0 || number >= outputs) {
    error = "--set " + text + ": the device has " + std::to_string(outputs) + " output(s), indexes 0 to " +
            std::to_string(outputs - 1);
    return false;
  }
  request.Index = static_cast<int32_t>(number);
  request.On = state == "on";
  return true;
}

std::string SummaryJson(const hostkit::DeviceConfig& config, bool started, bool stopped, bool interrupted,
                        const std::vector<OutputRequest>& outputs, const std::vector<Journal::Entry>& entries,
                        bool ok, const std::string& hint) {
  JsonWriter json;
  json.BeginObject().Key("address").String(config.Address).Key("port").Number(config.Port);
  json.Key("inputs").Number(config.Inputs).Key("outputs").Number(config.Outputs);
  json.Key("started").Bool(started).Key("stopped").Bool(stopped).Key("interrupted").Bool(interrupted);
  json.Key("changes").BeginArray();
  for (const auto& e : entries) {
    if (e.Failure) continue;
    json.BeginObject().Key("time").String(e.Stamp).Key("index").Number(e.Index);
    json.Key("state").String(e.State == ipc::kIOStateOn ? "on" : "off").EndObject();
  }
  json.EndArray().Key("failures").BeginArray();
  for (const auto& e : entries) {
    if (e.Failure) json.BeginObject().Key("time").String(e.Stamp).EndObject();
  }
  json.EndArray().Key("outputs_set").BeginArray();
  for (const auto& o : outputs) {
    json.BeginObject().Key("index").Number(o.Index).Key("state").String(o.On ? "on" : "off");
    json.Key("queued").Bool(o.Queued).EndObject();
  }
  json.EndArray().Key("ok").Bool(ok);
  if (!hint.empty()) json.Key("hint").String(hint);
  return json.EndObject().Text();
}

int RunIO(const Options& options) {
  hostkit::DeviceConfig config;
  std::string error;
  if (!ReadDeviceConfig(options, config, error)) {
    std::fprintf(stderr, "camctl io: %s\n", error.c_str());
    return kUsageError;
  }
  if (config.Inputs < 0 || config.Outputs < 0) {
    std::fprintf(stderr, "camctl io: --inputs and --outputs must not be negative\n");
    return kUsageError;
  }
  std::vector<OutputRequest> outputs;
  for (const std::string& text : options.All("set")) {
    OutputRequest request;
    if (!ParseSet(text, config.Outputs, request, error)) {
      std::fprintf(stderr, "camctl io: %s\n", error.c_str());
      return kUsageError;
    }
    outputs.push_back(request);
  }
  const long watch = options.GetInt("watch", outputs.empty() ? 0 : kDefaultSettleSeconds, error);
  if (!error.empty() || watch < 0 || watch > kMaxWatchSeconds) {
    std::fprintf(stderr, "camctl io: --watch needs a number of seconds from 0 to %ld\n", kMaxWatchSeconds);
    return kUsageError;
  }
  const bool json = options.Has("json");

  hostkit::Module module;
  const std::string path = ModulePath(options);
  if (!module.Load(path)) {
    std::fprintf(stderr, "camctl io: cannot load %s: %s\n", path.c_str(), module.Error().c_str());
    return kFailure;
  }

  // Diagnostics go to stderr so that --json leaves stdout to the summary.
  const bool verbose = options.Has("verbose");
  hostkit::DebugSink debug;
  debug.SetPrinter([verbose](const hostkit::DebugLine& line) {
    if (!ShowsLevel(line.Level, verbose)) return;
    std::fprintf(stderr, "%s [%u] %s\n", line.Stamp.c_str(), line.Level, CleanText(line.Text).c_str());
  });
  hostkit::SampleAllocator allocator;
  hostkit::DeviceParams params(config);
  Journal journal;
  journal.Print = !json;
  hostkit::IOEventSink sink;
  sink.SetCallback([&journal](const hostkit::IOEvent& event) { journal.Add(event); });

  auto* driver = module.Create();
  if (driver == nullptr) {
    std::fprintf(stderr, "camctl io: CreateIPCapture returned null\n");
    return kFailure;
  }
  bool ok = false, started = false, stopped = false, reachedCamera = false;
  int unread = 0;
  InterruptGuard interrupt;
  if (!driver->Open(&debug, &allocator, &params)) {
    std::fprintf(stderr, "camctl io: Open failed\n");
  } else if (korvalt::ICaptureIOApi* io = driver->GetCaptureIO(); io == nullptr) {
    std::fprintf(stderr, "camctl io: the driver offers no digital I/O object\n");
  } else {
    io->SetIOSink(&sink);
    if (!json) {
      std::printf("device   %s:%u, %d input(s), %d output(s)\n", config.Address.c_str(), config.Port,
                  config.Inputs, config.Outputs);
      std::fflush(stdout);
    }
    // The first poll runs here, on this thread, within the camera's network time-out.
    started = io->Start();
    reachedCamera = true;
    if (!started) std::fprintf(stderr, "camctl io: Start failed\n");
    // A first poll that succeeds reports every input; the module stays silent about one that
    // fails, so the inputs without a state tell.
    unread = started ? UnreadInputs(journal, config.Inputs) : 0;
    if (unread > 0) {
      std::fprintf(stderr, "camctl io: the first poll gave no state for %d of %d input(s)\n", unread,
                   config.Inputs);
    }
    bool queued = true;
    for (OutputRequest& request : outputs) {
      request.Queued = io->SetOutput(request.Index, request.On ? ipc::kIOStateOn : ipc::kIOStateOff);
      queued = queued && request.Queued;
      if (!json) {
        std::lock_guard<std::mutex> guard(journal.Lock);
        std::printf("%s  output %d %s %s\n", hostkit::NowStamp().c_str(), request.Index,
                    request.On ? "on" : "off", request.Queued ? "queued" : "REFUSED");
        std::fflush(stdout);
      }
    }
    if (started) interrupt.WaitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(watch));
    stopped = io->Stop();
    ok = started && unread == 0 && stopped && queued && sink.Failures() == 0;
  }
  driver->Close();
  module.Delete(driver);

  const bool interrupted = interrupt.Interrupted();
  // Only what the camera may cause: a driver that cannot be had is not the camera's doing.
  Diagnosis diagnosis;
  if (!ok && !interrupted && reachedCamera && (!started || unread > 0 || sink.Failures() > 0)) {
    diagnosis = Diagnose(config, FailedJob::Inputs);
  }
  std::vector<Journal::Entry> entries;
  {
    std::lock_guard<std::mutex> guard(journal.Lock);
    entries = journal.Entries;
  }
  if (json) {
    const std::string text =
        SummaryJson(config, started, stopped, interrupted, outputs, entries, ok, diagnosis.Hint);
    std::printf("%s\n", text.c_str());
  } else {
    size_t changes = 0;
    for (const auto& e : entries) changes += e.Failure ? 0 : 1;
    std::printf("stopped  %s%zu input change(s), %zu I/O failure(s)\n", interrupted ? "(interrupted) " : "",
                changes, entries.size() - changes);
    if (verbose) {
      for (const std::string& step : diagnosis.Steps) std::printf("probe    %s\n", step.c_str());
    }
    if (!diagnosis.Hint.empty()) std::printf("hint     %s\n", diagnosis.Hint.c_str());
  }
  return ok ? 0 : kFailure;
}

std::vector<std::string> IOOptions() {
  auto names = DeviceOptionNames();
  names.insert(names.end(), {"watch", "set", "json", "help", "version"});
  return names;
}

const bool kRegistered = RegisterCommand(
    {"io",
     "watch digital inputs and set digital outputs",
     std::string("usage: camctl io [options] [--watch SECONDS] [--set INDEX=on|off ...] [--json]\n\n"
                 "Loads the module, opens a driver, starts its digital I/O object (which polls the\n"
                 "inputs at once, then every 5 seconds, and switches every output off when the device\n"
                 "has inputs), prints each input change and I/O failure as it arrives, sets the\n"
                 "outputs asked for, and stops after --watch seconds or on Ctrl-C. Inputs and outputs\n"
                 "are counted from 0 as the host interface counts them: index 0 is the camera's in1/out1.\n"
                 "A second Ctrl-C ends camctl at once.\n"
                 "Exit status 1 when the start, the first reading of every input, an output change or\n"
                 "any camera request fails; camctl then asks the camera itself and prints the likely\n"
                 "cause as a hint.\n\n"
                 "options:\n") +
         kDeviceOptionsHelp +
         "  --watch SECONDS    how long to watch before stopping (default 0; 2 when --set is given,\n"
         "                     because output changes are sent in the background and a stop drops\n"
         "                     those not yet sent)\n"
         "  --set INDEX=on|off set output INDEX; repeatable, sent in the order given\n"
         "  --json             one JSON object at the end (changes, failures, outputs set), nothing\n"
         "                     else on stdout\n",
     {"json", "help", "version", "verbose"},
     IOOptions(),
     RunIO});

}  // namespace
}  // namespace camctl
