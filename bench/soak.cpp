// soak_bench: months in a recorder, accelerated. One recorder process drives CHANNELS channels over a
// few camsim cameras (all three codecs) for MINUTES while faults arrive on a seeded schedule, and
// samples itself at a fixed interval: resident memory, heap in use, descriptors, threads, samples
// created and released, pictures per channel and the preset files' size. bench/run_soak.sh turns the
// samples into bench/SOAK_RESULTS.md and bench/soak.png (bench/soak_report.py).
//
// Output directory: samples.csv (one row per sample), channels.csv (pictures per channel and sample),
// events.log (every fault and host action of the schedule), summary.txt ("name value" lines),
// malloc_info.xml (the allocator's arenas at the end of the schedule), malloc/MINUTES.xml (the same at
// every sample).

#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/soak_camera.h"
#include "tools/hostkit/capability.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/ptz.h"
#include "tools/hostkit/video.h"

// Every thread the process starts, the module's included: this program exports pthread_create
// (bench/CMakeLists.txt), so the module's calls come here first.
std::atomic<uint64_t> gThreadsStarted{0};

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  const int result = next(thread, attr, start, arg);
  if (result == 0) gThreadsStarted.fetch_add(1, std::memory_order_relaxed);
  return result;
}

// The module's hand-backs of free memory (malloc_trim) come here too: counted and timed, and
// skipped under --keep-free-memory, which runs the same schedule as a recorder without them.
std::atomic<bool> gKeepFreeMemory{false};
std::atomic<uint64_t> gGiveBacks{0};
std::atomic<uint64_t> gGiveBackMicros{0};
std::atomic<uint64_t> gGiveBackMaxMicros{0};

extern "C" int malloc_trim(size_t pad) {
  using Trim = int (*)(size_t);
  static const auto next = reinterpret_cast<Trim>(dlsym(RTLD_NEXT, "malloc_trim"));
  if (gKeepFreeMemory.load(std::memory_order_relaxed)) return 0;
  const auto start = std::chrono::steady_clock::now();
  const int result = next(pad);
  const auto micros = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
          .count());
  gGiveBacks.fetch_add(1, std::memory_order_relaxed);
  gGiveBackMicros.fetch_add(micros, std::memory_order_relaxed);
  uint64_t max = gGiveBackMaxMicros.load(std::memory_order_relaxed);
  while (micros > max && !gGiveBackMaxMicros.compare_exchange_weak(max, micros, std::memory_order_relaxed)) {
  }
  return result;
}

namespace {

namespace ipc = korvalt::ipcapture;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr int kHostThreads = 4;
constexpr size_t kMaxQueuedJobs = 64;  // a stalled host call must not pile up work behind it
constexpr size_t kMaxPresetsPerChannel = 6;
constexpr uint16_t kWidth = 320;
constexpr uint16_t kHeight = 240;
constexpr uint16_t kFrameIntervalMs = 100;
constexpr uint16_t kQuality = 60;
constexpr auto kSlowCall = std::chrono::seconds(8);
using soak::Camera;
using soak::kPassword;
using soak::kUser;

const char kHelp[] =
    R"(Usage: soak_bench [OPTIONS]
  --minutes M          run time (default 60)
  --channels N         channels in all (default 32)
  --cameras C          camsim cameras the channels are spread over (default 4; codecs cycle
                       Motion JPEG, MPEG-4, H.264)
  --seed S             seed of the fault schedule (default 20261209)
  --sample-seconds S   sample interval (default 60)
  --fault-seconds S    mean time between two faults (default 12)
  --fault-rate N       faults N times as often (default 1): does memory follow time or faults?
  --grace-seconds S    time a channel may take to stream again after a fault touched it (default 30)
  --only KINDS         only these faults, comma-separated: camera (killed, RTSP connections
                       closed), cgi, credentials, channel (stopped, restarted), open, io, ptz,
                       query; to tell which of them memory follows (default: all)
  --keep-free-memory   the module's hand-backs of free memory to the system do nothing: the
                       same schedule as a recorder without them, to run beside one with them
  --out DIR            output directory (default soak-output)
  --module PATH        driver module (default: libquenlark_ipcapture.so beside this program)
  --camsim PATH        camera simulator (default: camsim beside this program)
)";

struct Options {
  double Minutes = 60;
  int Channels = 32;
  int Cameras = 4;
  uint32_t Seed = 20261209;
  double SampleSeconds = 60;
  double FaultSeconds = 12;
  double FaultRate = 1;
  double GraceSeconds = 30;
  uint32_t OnlyKinds = 0;  // bit per fault kind drawn by the schedule; 0: every kind
  bool KeepFreeMemory = false;
  std::string Out = "soak-output";
  std::string ModulePath = hostkit::DefaultModulePath();
  std::string CamsimPath = hostkit::BesideExecutable("camsim");
};

[[noreturn]] void Usage(const std::string& message) {
  std::fprintf(stderr, "soak_bench: %s\n%s", message.c_str(), kHelp);
  std::exit(2);
}

// The schedule draws one of 16 kinds; a name stands for the kinds that make that fault.
uint32_t FaultKinds(const std::string& list) {
  static const std::pair<const char*, uint32_t> kNames[] = {{"camera", 1u << 0 | 1u << 13},
                                                            {"cgi", 1u << 1 | 1u << 2},
                                                            {"credentials", 1u << 3},
                                                            {"channel", 7u << 4},
                                                            {"open", 1u << 7},
                                                            {"io", 7u << 8},
                                                            {"ptz", 3u << 11},
                                                            {"query", 3u << 14}};
  uint32_t kinds = 0;
  size_t begin = 0;
  while (begin <= list.size()) {
    const size_t end = std::min(list.find(',', begin), list.size());
    const std::string name = list.substr(begin, end - begin);
    const auto* found = std::find_if(std::begin(kNames), std::end(kNames),
                                     [&](const auto& entry) { return name == entry.first; });
    if (found == std::end(kNames)) Usage("unknown fault kind " + name);
    kinds |= found->second;
    begin = end + 1;
  }
  return kinds;
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help") {
      std::fputs(kHelp, stdout);
      std::exit(0);
    }
    if (name == "--keep-free-memory") {
      o.KeepFreeMemory = true;
      continue;
    }
    std::string value;
    if (const size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    } else {
      if (i + 1 >= argc) Usage("missing value for " + name);
      value = argv[++i];
    }
    const auto number = [&](double low, double high) {
      char* end = nullptr;
      const double n = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || n < low || n > high) Usage("bad value for " + name);
      return n;
    };
    if (name == "--minutes")
      o.Minutes = number(0.5, 100000);
    else if (name == "--channels")
      o.Channels = static_cast<int>(number(1, 256));
    else if (name == "--cameras")
      o.Cameras = static_cast<int>(number(1, 16));
    else if (name == "--seed")
      o.Seed = static_cast<uint32_t>(number(0, 4294967295.0));
    else if (name == "--sample-seconds")
      o.SampleSeconds = number(1, 3600);
    else if (name == "--fault-seconds")
      o.FaultSeconds = number(0.5, 3600);
    else if (name == "--fault-rate")
      o.FaultRate = number(1, 1000);
    else if (name == "--grace-seconds")
      o.GraceSeconds = number(1, 3600);
    else if (name == "--only")
      o.OnlyKinds = FaultKinds(value);
    else if (name == "--out")
      o.Out = value;
    else if (name == "--module")
      o.ModulePath = value;
    else if (name == "--camsim")
      o.CamsimPath = value;
    else
      Usage("unknown option " + name);
  }
  o.Cameras = std::min(o.Cameras, o.Channels);
  o.FaultSeconds /= o.FaultRate;
  return o;
}

// ---- The process, measured from inside --------------------------------------------------------------

long StatusKiB(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(name) + ":";
  while (std::getline(in, line))
    if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
  return 0;
}

int OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}

long HeapInUseKiB() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

// What the allocator holds from the system for its arenas, and how much of that is free.
long HeapArenaKiB() {
  return static_cast<long>(mallinfo2().arena / 1024);
}
long HeapFreeKiB() {
  return static_cast<long>(mallinfo2().fordblks / 1024);
}

// Processor time of the whole process (user and system), seconds: what another allocator setting
// costs the recorder shows here.
double CpuSeconds() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The allocator's arenas: the main one and one per group of threads (glibc gives a new thread an
// arena of its own until it has 8 per core, and keeps every arena for the life of the process).
// Written into a fixed buffer, not a growing one: the report grows to tens of KiB, and reallocating
// it every sample would leave free blocks of that size in the heap it measures.
int HeapArenas() {
  static char text[1 << 20];
  static std::mutex lock;
  const std::lock_guard<std::mutex> guard(lock);
  FILE* out = fmemopen(text, sizeof text - 1, "w");
  if (out == nullptr) return -1;
  std::setvbuf(out, nullptr, _IONBF, 0);
  malloc_info(0, out);
  const long written = std::ftell(out);
  std::fclose(out);
  text[std::clamp<long>(written, 0, sizeof text - 1)] = '\0';
  int arenas = 0;
  for (const char* at = text; (at = std::strstr(at, "<heap nr=")) != nullptr; ++at) ++arenas;
  return arenas;
}

long FileBytesIn(const std::string& dir, const std::string& suffix) {
  long total = 0;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  while (dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    struct stat info {};
    if (stat((dir + "/" + name).c_str(), &info) == 0) total += static_cast<long>(info.st_size);
  }
  closedir(d);
  return total;
}

// ---- Host objects that stay bounded for hours ----------------------------------------------------------

// Counts lines and errors and keeps the latest errors; a recorder's log rotates, ours must not grow.
class CountingDebugSink : public ipc::IDebugSink {
 public:
  int32_t Message(CDebugInfoIf* info) override {
    if (info == nullptr) return 0;
    const uint8_t level = info->GetLevel();
    ++Lines;
    if (level == ipc::kDebugLevelError) {
      ++Errors;
      std::lock_guard<std::mutex> guard(Lock);
      Latest.emplace_back(info->GetText() ? info->GetText() : "");
      if (Latest.size() > kKept) Latest.pop_front();
    }
    return 0;
  }
  std::deque<std::string> LatestErrors() const {
    std::lock_guard<std::mutex> guard(Lock);
    return Latest;
  }

  std::atomic<uint64_t> Lines{0};
  std::atomic<uint64_t> Errors{0};

 private:
  static constexpr size_t kKept = 20;
  mutable std::mutex Lock;  // guards Latest; the module calls from any of its threads
  std::deque<std::string> Latest;
};

class CountingIOSink : public ipc::IIOEventSink {
 public:
  void InputChanged(uint32_t, int32_t) override { ++Changes; }
  void IOFailure() override { ++Failures; }
  std::atomic<uint64_t> Changes{0};
  std::atomic<uint64_t> Failures{0};
};

// ---- The recorder ------------------------------------------------------------------------------------

struct Device;

struct Channel {
  Device* Owner = nullptr;
  int Global = 0;  // position in channels.csv
  uint32_t Index = 0;
  hostkit::FrameSink Sink;              // outlives the driver, as a recorder's must
  std::atomic<bool> Wanted{true};       // the recorder wants pictures (not stopped by the schedule)
  std::atomic<int64_t> DisturbedMs{0};  // when a fault or host action last touched it
  uint64_t FramesAtLastSample = 0;      // sampler thread only
  std::mutex PresetLock;                // one PTZ session of a channel at a time; guards Presets
  std::vector<std::string> Presets;     // names this recorder added, in the order added
};

struct Device {
  explicit Device(Camera& camera) : Cam(camera) {}
  Camera& Cam;
  std::shared_mutex Lifecycle;                 // Open and Close exclusive, other calls shared
  ipc::IIPCaptureDriverEx3* Driver = nullptr;  // guarded by Lifecycle
  hostkit::DeviceParams Params;                // guarded by Lifecycle
  CountingIOSink IOSink;
  std::vector<std::unique_ptr<Channel>> Channels;
  std::atomic<bool> WrongCredentials{false};
};

class Soak {
 public:
  explicit Soak(Options options) : Opt(std::move(options)), Random(Opt.Seed) {}
  int Run();

 private:
  int64_t NowMs() const { return std::chrono::duration_cast<Ms>(Clock::now() - Begin).count(); }
  void Event(const std::string& text);
  void Disturb(Device& device) {
    for (auto& channel : device.Channels) channel->DisturbedMs = NowMs();
  }

  bool OpenAll();
  void StartWanted(Device& device);  // Lifecycle held exclusively
  // Jobs beyond kMaxQueuedJobs are dropped unless they undo a fault (mustRun).
  void Post(std::function<void()> job, bool mustRun = false);
  void HostThread();
  template <typename F>
  void Timed(F&& call);
  void After(double seconds, std::function<void()> action);
  void Schedule();
  void Fault(uint32_t kind);
  void Sample(std::ofstream& samples, std::ofstream& channels, std::ofstream& cameras, double minutes);

  // Faults and host actions of the schedule.
  void KillCamera(Device& device);
  void CgiFault(Device& device);
  void WrongCredentials(Device& device);
  void StopThenStart(Device& device, Channel& channel);
  void RestartChannel(Device& device, Channel& channel);
  void SecondOpen(Device& device);
  void IoSession(Device& device);
  void WarmUp();
  void PtzSession(Device& device, Channel& channel);
  void CapabilityQuery(Device& device);
  void InputToggle(Device& device);
  void CloseRtsp(Device& device);

  Options Opt;
  std::mt19937 Random;  // schedule thread only
  Clock::time_point Begin = Clock::now();
  Clock::time_point End;
  std::string PresetDir;
  hostkit::Module Module;
  CountingDebugSink Debug;
  hostkit::SampleAllocator Allocator;
  std::vector<std::unique_ptr<Camera>> Cameras;
  std::vector<std::unique_ptr<Device>> Devices;
  std::vector<Channel*> AllChannels;

  std::mutex QueueLock;  // guards Jobs, Stopping, Delayed
  std::condition_variable QueueChanged;
  std::deque<std::function<void()>> Jobs;
  std::multimap<Clock::time_point, std::function<void()>> Delayed;  // run by the schedule thread
  bool Stopping = false;

  std::mutex QueryLock;  // one capability query at a time: the module keeps one callback
  hostkit::CapabilityCallback QueryCallback;
  hostkit::CapabilityResults QueryResults;

  std::mutex EventLock;  // guards Events
  std::ofstream Events;
  std::atomic<uint64_t> FaultCount{0};
  std::atomic<uint64_t> HostCalls{0};
  std::atomic<uint64_t> SlowCalls{0};
  std::atomic<uint64_t> DroppedJobs{0};
  uint64_t ExpectedWithout = 0;  // sampler only: channel-samples that should have had pictures and had none
  uint64_t Expected = 0;
  std::map<int, long long> SentAtLastSample;  // sampler only: each camera's frames_sent
};

void Soak::Event(const std::string& text) {
  std::lock_guard<std::mutex> guard(EventLock);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%9.1f s  ", static_cast<double>(NowMs()) / 1000);
  Events << stamp << text << '\n';
  Events.flush();
}

template <typename F>
void Soak::Timed(F&& call) {
  const auto start = Clock::now();
  call();
  ++HostCalls;
  if (Clock::now() - start > kSlowCall) ++SlowCalls;
}

void Soak::Post(std::function<void()> job, bool mustRun) {
  std::lock_guard<std::mutex> guard(QueueLock);
  if (Jobs.size() >= kMaxQueuedJobs && !mustRun) {
    ++DroppedJobs;
    return;
  }
  Jobs.push_back(std::move(job));
  QueueChanged.notify_one();
}

void Soak::After(double seconds, std::function<void()> action) {
  std::lock_guard<std::mutex> guard(QueueLock);
  Delayed.emplace(
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)),
      std::move(action));
}

void Soak::HostThread() {
  while (true) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> guard(QueueLock);
      QueueChanged.wait(guard, [&] { return Stopping || !Jobs.empty(); });
      if (Jobs.empty()) return;
      job = std::move(Jobs.front());
      Jobs.pop_front();
    }
    job();
  }
}

void Soak::StartWanted(Device& device) {
  ipc::IIPVideoCapture* capture = device.Driver->GetVideoCapture();
  if (capture == nullptr) return;
  for (auto& channel : device.Channels) {
    if (!channel->Wanted) continue;
    hostkit::ChannelSettings settings(kFrameIntervalMs, kQuality, kWidth, kHeight);
    Timed([&] { capture->StartChannel(channel->Index, &channel->Sink, &settings); });
  }
}

bool Soak::OpenAll() {
  for (auto& device : Devices) {
    std::unique_lock<std::shared_mutex> guard(device->Lifecycle);
    device->Driver = Module.Create();
    if (device->Driver == nullptr || !device->Driver->Open(&Debug, &Allocator, &device->Params)) return false;
    StartWanted(*device);
  }
  return true;
}

// Cameras die and come back after a while, on the same ports.
void Soak::KillCamera(Device& device) {
  Camera& camera = device.Cam;
  if (!camera.Up) return;
  Event("camera " + std::to_string(camera.Index) + " killed");
  camera.Stop(true);
  Disturb(device);
  const double down = 3 + Random() % 13;
  After(down, [this, &device] {
    const bool ok = device.Cam.Restart();
    Disturb(device);
    Event("camera " + std::to_string(device.Cam.Index) + (ok ? " restarted" : " did not restart"));
  });
}

// Errors, empty answers, dropped connections and stalls of the next CGI requests.
void Soak::CgiFault(Device& device) {
  if (!device.Cam.Up) return;
  static const char* const kinds[] = {"stall", "status", "empty", "close"};
  const std::string kind = kinds[Random() % 4];
  const unsigned count = 1 + Random() % 3;
  const unsigned value = kind == "stall" ? 500 + Random() % 4000 : (Random() % 2 ? 500 : 404);
  device.Cam.Sim("/sim/fault?kind=" + kind + "&count=" + std::to_string(count) +
                 "&value=" + std::to_string(value));
  Disturb(device);
  Event("camera " + std::to_string(device.Cam.Index) + " CGI fault " + kind + " x" + std::to_string(count) +
        " (" + std::to_string(value) + ")");
}

// The recorder is given a wrong password for a while: it opens the driver again with it, and again
// with the right one later, restarting its channels each time as a recorder does after Open.
void Soak::WrongCredentials(Device& device) {
  if (device.WrongCredentials.exchange(true)) return;
  const double seconds = 20 + Random() % 41;
  Event("camera " + std::to_string(device.Cam.Index) + " wrong credentials for " +
        std::to_string(int(seconds)) + " s");
  const auto reopen = [this, &device](const char* password) {
    std::unique_lock<std::shared_mutex> guard(device.Lifecycle);
    device.Params.Config.Password = password;
    Timed([&] { device.Driver->Open(&Debug, &Allocator, &device.Params); });
    StartWanted(device);
    Disturb(device);
  };
  Post([reopen] { reopen("wrong"); });
  After(seconds, [this, reopen, &device] {
    Post(
        [reopen, &device] {
          reopen(kPassword);
          device.WrongCredentials = false;
        },
        true);
    Event("camera " + std::to_string(device.Cam.Index) + " credentials right again");
  });
}

void Soak::StopThenStart(Device& device, Channel& channel) {
  if (!channel.Wanted) return;
  channel.Wanted = false;
  channel.DisturbedMs = NowMs();
  const double seconds = 2 + Random() % 19;
  Event("channel " + std::to_string(channel.Global) + " stopped for " + std::to_string(int(seconds)) + " s");
  Post([this, &device, &channel] {
    std::shared_lock<std::shared_mutex> guard(device.Lifecycle);
    if (auto* capture = device.Driver->GetVideoCapture()) Timed([&] { capture->StopChannel(channel.Index); });
  });
  After(seconds, [this, &device, &channel] {
    Event("channel " + std::to_string(channel.Global) + " started");
    Post(
        [this, &device, &channel] {
          std::shared_lock<std::shared_mutex> guard(device.Lifecycle);
          channel.Wanted = true;
          channel.DisturbedMs = NowMs();
          hostkit::ChannelSettings settings(kFrameIntervalMs, kQuality, kWidth, kHeight);
          if (auto* capture = device.Driver->GetVideoCapture())
            Timed([&] { capture->StartChannel(channel.Index, &channel.Sink, &settings); });
        },
        true);
  });
}

void Soak::RestartChannel(Device& device, Channel& channel) {
  if (!channel.Wanted) return;
  const bool startAgain = Random() % 3 == 0;  // StartChannel on a running channel replaces it
  Event("channel " + std::to_string(channel.Global) + (startAgain ? " started again" : " restarted"));
  Post([this, &device, &channel, startAgain] {
    std::shared_lock<std::shared_mutex> guard(device.Lifecycle);
    if (!channel.Wanted) return;
    channel.DisturbedMs = NowMs();
    auto* capture = device.Driver->GetVideoCapture();
    if (capture == nullptr) return;
    if (startAgain) {
      hostkit::ChannelSettings settings(kFrameIntervalMs, kQuality, kWidth, kHeight);
      Timed([&] { capture->StartChannel(channel.Index, &channel.Sink, &settings); });
    } else {
      hostkit::PictureSize size(kWidth, kHeight);
      Timed([&] { capture->RestartChannel(channel.Index, &size, kFrameIntervalMs); });
    }
  });
}

// What the module makes on a channel's first use and keeps for the driver's life (a channel's PTZ
// control with its command thread, its presets in the file) is made before the first sample, with
// the presets at the schedule's bound: the second half then measures a recorder in its steady
// state, not the first PTZ use of channels the schedule had not reached before.
//
// A camera numbers its presets for the whole device ("/config/ptz_preset.cgi?name=N" names no
// channel), so two channels of one camsim that both kept presets would delete each other's: only a
// camera's first channel keeps presets, as on a camera with one PTZ head; the others move.
void Soak::WarmUp() {
  for (Channel* channel : AllChannels) {
    Device& device = *channel->Owner;
    std::shared_lock<std::shared_mutex> guard(device.Lifecycle);
    ipc::IIPPTZDriverEx* ptzDriver = device.Driver->GetPTZDriverEx();
    ipc::IIPPTZApiEx* ptz = ptzDriver ? ptzDriver->GetPTZApiEx(channel->Index) : nullptr;
    if (ptz == nullptr) continue;
    std::lock_guard<std::mutex> presets(channel->PresetLock);
    Timed([&] { ptz->Move(1, 1); });
    Timed([&] { ptz->StopAll(); });
    while (channel->Index == 0 && channel->Presets.size() < kMaxPresetsPerChannel) {
      const std::string name = "Home" + std::to_string(channel->Presets.size());
      // The camera remembers where it stands: a move between two adds keeps them two presets.
      Timed([&] { ptz->Move(static_cast<int32_t>(channel->Presets.size() % 8), 1); });
      Timed([&] { ptz->StopAll(); });
      int32_t added = 0;
      Timed([&] { added = ptz->AddPreposition(name.c_str()); });
      if (added != ipc::kPtzSuccess) break;
      channel->Presets.push_back(name);
    }
  }
  Event("warm-up: every channel's PTZ control made, presets added on each camera's first channel");
}

void Soak::SecondOpen(Device& device) {
  Event("camera " + std::to_string(device.Cam.Index) + " second Open");
  Post([this, &device] {
    std::unique_lock<std::shared_mutex> guard(device.Lifecycle);
    Timed([&] { device.Driver->Open(&Debug, &Allocator, &device.Params); });
    StartWanted(device);
    Disturb(device);
  });
}

// The digital I/O object started, outputs switched, stopped again later.
void Soak::IoSession(Device& device) {
  const double seconds = 5 + Random() % 26;
  const uint32_t switches = Random();
  Event("camera " + std::to_string(device.Cam.Index) + " I/O started for " + std::to_string(int(seconds)) +
        " s");
  Post([this, &device, switches] {
    std::shared_lock<std::shared_mutex> guard(device.Lifecycle);
    ipc::ICaptureIOApi* io = device.Driver->GetCaptureIO();
    if (io == nullptr) return;
    Timed([&] { io->SetIOSink(&device.IOSink); });
    Timed([&] { io->Start(); });
    for (int i = 0; i < 4; ++i) {
      const int32_t state = (switches >> i) & 1 ? ipc::kIOStateOn : ipc::kIOStateOff;
      Timed([&] { io->SetOutput(i % 2, state); });
    }
  });
  After(seconds, [this, &device] {
    Post(
        [this, &device] {
          std::shared_lock<std::shared_mutex> guard(device.Lifecycle);
          if (ipc::ICaptureIOApi* io = device.Driver->GetCaptureIO()) Timed([&] { io->Stop(); });
        },
        true);
  });
}

// The camera's streaming service restarts: every RTSP connection closes, the HTTP side stays.
void Soak::CloseRtsp(Device& device) {
  if (!device.Cam.Up) return;
  device.Cam.Sim("/sim/rtsp?act=close");
  Disturb(device);
  Event("camera " + std::to_string(device.Cam.Index) + " RTSP connections closed");
}

void Soak::InputToggle(Device& device) {
  if (!device.Cam.Up) return;
  const unsigned input = 1 + Random() % 2;
  const bool on = Random() % 2;
  device.Cam.Sim("/sim/input?n=" + std::to_string(input) + "&state=" + (on ? "on" : "off"));
  Event("camera " + std::to_string(device.Cam.Index) + " input " + std::to_string(input) +
        (on ? " on" : " off"));
}

// A move and a stop on the channel, then preset work on its camera's first channel (the one that
// keeps presets): add, add again at once (a rename), go to one, remove one.
void Soak::PtzSession(Device& device, Channel& channel) {
  const uint32_t choice = Random();
  Event("channel " + std::to_string(channel.Global) + " PTZ and presets");
  Post([this, &device, &channel, choice] {
    std::shared_lock<std::shared_mutex> guard(device.Lifecycle);
    ipc::IIPPTZDriverEx* ptzDriver = device.Driver->GetPTZDriverEx();
    ipc::IIPPTZApiEx* mover = ptzDriver ? ptzDriver->GetPTZApiEx(channel.Index) : nullptr;
    Channel& keeper = *device.Channels.front();
    ipc::IIPPTZApiEx* ptz = ptzDriver ? ptzDriver->GetPTZApiEx(keeper.Index) : nullptr;
    if (mover == nullptr || ptz == nullptr) return;
    std::lock_guard<std::mutex> presets(keeper.PresetLock);
    Timed([&] { mover->Move(static_cast<int32_t>(choice % 8), 1 + static_cast<int32_t>(choice % 5)); });
    std::this_thread::sleep_for(Ms(200));
    Timed([&] { mover->StopAll(); });
    if (mover != ptz) {
      // The camera's presets are where the first channel last stood: move it too.
      Timed([&] { ptz->Move(static_cast<int32_t>((choice >> 3) % 8), 1); });
      Timed([&] { ptz->StopAll(); });
    }
    const std::string name = "Gate" + std::to_string((choice >> 4) % 1000);
    int32_t added = 0;
    Timed([&] { added = ptz->AddPreposition(name.c_str()); });
    if (added == ipc::kPtzSuccess) keeper.Presets.push_back(name);
    if ((choice >> 8) % 2 == 0 && added == ipc::kPtzSuccess) {
      const std::string renamed = "Door" + std::to_string((choice >> 12) % 1000);
      int32_t result = 0;
      Timed([&] { result = ptz->AddPreposition(renamed.c_str()); });
      if (result == ipc::kPtzSuccess) keeper.Presets.back() = renamed;
    }
    if (!keeper.Presets.empty()) {
      const std::string target = keeper.Presets[(choice >> 16) % keeper.Presets.size()];
      Timed([&] { ptz->GotoPreposition(0, target.c_str()); });
    }
    char buffer[64];
    Timed([&] { mover->GetCurrentPreposition(buffer, sizeof buffer); });
    ipc::PTZ_CAPABILITIES record{};
    Timed([&] { mover->GetCapabilities(&record); });
    // The list stays small: a long soak must show the file flat, not the recorder's own growth.
    // A delete the camera refused (a fault, wrong credentials) leaves the preset in the list and
    // the file, so the recorder keeps it too and tries again in a later session.
    while (keeper.Presets.size() > kMaxPresetsPerChannel ||
           (!keeper.Presets.empty() && (choice >> 20) % 3 == 0)) {
      const std::string gone = keeper.Presets.front();
      int32_t removed = 0;
      Timed([&] { removed = ptz->RemovePreposition(gone.c_str()); });
      if (removed != ipc::kPtzSuccess) break;
      keeper.Presets.erase(keeper.Presets.begin());
      if (keeper.Presets.size() <= kMaxPresetsPerChannel) break;
    }
  });
}

// Started, sometimes terminated early, always uninitialised; now and then with a wrong password.
void Soak::CapabilityQuery(Device& device) {
  const bool wrong = Random() % 4 == 0;
  const bool terminate = Random() % 2 == 0;
  const int waitMs = static_cast<int>(Random() % 3000);
  Event("camera " + std::to_string(device.Cam.Index) + " capability query" +
        (wrong ? " with a wrong password" : "") + (terminate ? " and terminated" : ""));
  Post([this, &device, wrong, terminate, waitMs] {
    std::lock_guard<std::mutex> guard(QueryLock);
    QueryResults.Clear();
    QueryCallback.Reset();
    Timed([&] { Module.InitQuery(&QueryCallback, 0); });
    Timed([&] {
      Module.StartQuery("127.0.0.1", device.Cam.HttpPort, kUser, wrong ? "wrong" : kPassword, &QueryResults);
    });
    QueryCallback.Wait(Ms(waitMs));
    if (terminate) Timed([&] { Module.TerminateQuery(); });
    Timed([&] { Module.UninitQuery(); });
  });
}

void Soak::Fault(uint32_t kind) {
  Device& device = *Devices[Random() % Devices.size()];
  Channel& channel = *device.Channels[Random() % device.Channels.size()];
  ++FaultCount;
  switch (kind) {
    case 0:
      return KillCamera(device);
    case 1:
    case 2:
      return CgiFault(device);
    case 3:
      return WrongCredentials(device);
    case 4:
    case 5:
      return StopThenStart(device, channel);
    case 6:
      return RestartChannel(device, channel);
    case 7:
      return SecondOpen(device);
    case 8:
    case 9:
      return IoSession(device);
    case 10:
      return InputToggle(device);
    case 11:
    case 12:
      return PtzSession(device, channel);
    case 13:
      return CloseRtsp(device);
    default:
      return CapabilityQuery(device);
  }
}

void Soak::Schedule() {
  constexpr uint32_t kKinds = 16;
  std::uniform_real_distribution<double> gap(0.5 * Opt.FaultSeconds, 1.5 * Opt.FaultSeconds);
  auto next =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap(Random)));
  while (Clock::now() < End) {
    std::vector<std::function<void()>> due;
    {
      std::lock_guard<std::mutex> guard(QueueLock);
      while (!Delayed.empty() && Delayed.begin()->first <= Clock::now()) {
        due.push_back(std::move(Delayed.begin()->second));
        Delayed.erase(Delayed.begin());
      }
    }
    for (auto& action : due) action();
    if (Clock::now() >= next) {
      uint32_t kind = Random() % kKinds;
      while (Opt.OnlyKinds != 0 && (Opt.OnlyKinds & (1u << kind)) == 0) kind = Random() % kKinds;
      Fault(kind);
      next += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap(Random)));
    }
    std::this_thread::sleep_for(Ms(50));
  }
  // Whatever is still pending comes back now, so the run ends with every camera up and every
  // channel wanted.
  std::multimap<Clock::time_point, std::function<void()>> rest;
  {
    std::lock_guard<std::mutex> guard(QueueLock);
    rest.swap(Delayed);
  }
  for (auto& [when, action] : rest) action();
}

void Soak::Sample(std::ofstream& samples, std::ofstream& channels, std::ofstream& cameras, double minutes) {
  const int64_t now = NowMs();
  const int64_t intervalStart = now - static_cast<int64_t>(Opt.SampleSeconds * 1000);
  const auto graceMs = static_cast<int64_t>(Opt.GraceSeconds * 1000);
  uint64_t pictures = 0;
  int expected = 0, without = 0;
  channels << minutes;
  for (Channel* channel : AllChannels) {
    const uint64_t frames = channel->Sink.Frames.load();
    const uint64_t delta = frames - channel->FramesAtLastSample;
    channel->FramesAtLastSample = frames;
    pictures += delta;
    channels << ',' << delta;
    // A channel should have had pictures when it is wanted, its camera is up and takes the recorder's
    // credentials, and nothing touched it from a grace period before this interval to its end.
    const Device& owner = *channel->Owner;
    if (intervalStart > 0 && channel->Wanted && owner.Cam.Up && !owner.WrongCredentials &&
        channel->DisturbedMs.load() + graceMs <= intervalStart) {
      ++expected;
      if (delta == 0) ++without;
    }
  }
  channels << '\n';
  // What each camera sent: a channel that gets more than its camera sent counts pictures twice.
  cameras << minutes;
  for (auto& camera : Cameras) {
    const long long sent = camera->Up ? camera->FramesSent() : -1;
    long long& last = SentAtLastSample[camera->Index];
    // A restarted camera counts from zero again.
    cameras << ',' << (sent < 0 ? -1 : sent >= last ? sent - last : sent);
    if (sent >= 0) last = sent;
  }
  cameras << '\n';
  cameras.flush();
  Expected += static_cast<uint64_t>(expected);
  ExpectedWithout += static_cast<uint64_t>(without);
  samples << minutes << ',' << StatusKiB("VmRSS") << ',' << HeapInUseKiB() << ',' << OpenDescriptors() << ','
          << StatusKiB("Threads") << ',' << Allocator.Created.load() << ',' << Allocator.Released.load()
          << ',' << pictures << ',' << expected << ',' << without << ',' << FileBytesIn(PresetDir, ".preset")
          << ',' << FaultCount.load() << ',' << HostCalls.load() << ',' << Debug.Lines.load() << ','
          << Debug.Errors.load() << ',' << StatusKiB("RssAnon") << ',' << StatusKiB("RssFile") << ','
          << HeapArenaKiB() << ',' << HeapFreeKiB() << ',' << HeapArenas() << ',' << gThreadsStarted.load()
          << ',' << CpuSeconds() << ',' << gGiveBacks.load() << '\n';
  samples.flush();
  channels.flush();
  // The arenas' free chunks by size, sample by sample: which sizes the growing free space is made of
  // tells whose blocks leave it (bench/arena_sizes.py).
  char name[32];
  std::snprintf(name, sizeof name, "/malloc/%08.2f.xml", minutes);
  if (FILE* arenas = std::fopen((Opt.Out + name).c_str(), "w")) {
    malloc_info(0, arenas);
    std::fclose(arenas);
  }
  std::printf(
      "%7.2f min  rss %ld KiB  heap %ld KiB  fds %d  threads %ld  pictures %llu  expected %d, without %d\n",
      minutes, StatusKiB("VmRSS"), HeapInUseKiB(), OpenDescriptors(), StatusKiB("Threads"),
      static_cast<unsigned long long>(pictures), expected, without);
  std::fflush(stdout);
}

int Soak::Run() {
  mkdir(Opt.Out.c_str(), 0755);
  mkdir((Opt.Out + "/malloc").c_str(), 0755);
  PresetDir = Opt.Out + "/presets";
  mkdir(PresetDir.c_str(), 0755);
  std::system(("rm -f '" + PresetDir + "'/*.preset*").c_str());
  setenv("QUENLARK_PRESET_DIR", PresetDir.c_str(), 1);
  Events.open(Opt.Out + "/events.log");
  std::ofstream samples(Opt.Out + "/samples.csv");
  std::ofstream channels(Opt.Out + "/channels.csv");
  std::ofstream cameras(Opt.Out + "/cameras.csv");
  samples << "minutes,rss_kib,heap_kib,fds,threads,samples_created,samples_released,pictures,"
             "channels_expected,channels_expected_without_pictures,preset_bytes,faults,host_calls,"
             "debug_lines,debug_errors,rss_anon_kib,rss_file_kib,heap_arena_kib,heap_free_kib,arenas,"
             "threads_started,cpu_seconds,give_backs\n";

  if (!Module.Load(Opt.ModulePath)) {
    std::fprintf(stderr, "soak_bench: %s\n", Module.Error().c_str());
    return 1;
  }
  const int32_t codecs[] = {ipc::kCodecTypeMJPEG, ipc::kCodecTypeMPEG4, ipc::kCodecTypeH264};
  for (int c = 0; c < Opt.Cameras; ++c) {
    Cameras.push_back(std::make_unique<Camera>(c, Opt.CamsimPath, codecs[c % 3]));
    Cameras.back()->PresetStore = Opt.Out + "/camera" + std::to_string(c) + ".presets";
    std::remove(Cameras.back()->PresetStore.c_str());
    if (!Cameras.back()->Start()) {
      std::fprintf(stderr, "soak_bench: camsim %s did not start\n", Opt.CamsimPath.c_str());
      return 1;
    }
    Devices.push_back(std::make_unique<Device>(*Cameras.back()));
  }
  for (int n = 0; n < Opt.Channels; ++n) {
    Device& device = *Devices[n % Opt.Cameras];
    auto channel = std::make_unique<Channel>();
    channel->Owner = &device;
    channel->Global = n;
    channel->Index = static_cast<uint32_t>(device.Channels.size());
    device.Channels.push_back(std::move(channel));
  }
  channels << "minutes";
  for (auto& device : Devices) {
    for (auto& channel : device->Channels) AllChannels.push_back(channel.get());
    hostkit::DeviceConfig& config = device->Params.Config;
    config.Address = "127.0.0.1";
    config.Port = device->Cam.HttpPort;
    config.UserName = kUser;
    config.Password = kPassword;
    config.Channels = static_cast<int32_t>(device->Channels.size());
    config.Inputs = 2;
    config.Outputs = 2;
    config.CodecType = device->Cam.CodecType;
    config.Model = "QL-6250";
    config.Custom = {{ipc::kCustomParameterVideoStandard, "1"},
                     {ipc::kCustomParameterFirmware, "1.10"},
                     {ipc::kCustomParameterMacAddress, device->Cam.Mac}};
  }
  std::sort(AllChannels.begin(), AllChannels.end(),
            [](Channel* a, Channel* b) { return a->Global < b->Global; });
  for (Channel* channel : AllChannels) channels << ",ch" << channel->Global;
  channels << '\n';
  cameras << "minutes";
  for (auto& camera : Cameras) cameras << ",camera" << camera->Index << "_sent";
  cameras << '\n';

  const int baseThreads = static_cast<int>(StatusKiB("Threads"));
  const int baseFds = OpenDescriptors();
  std::printf("soak: %d channels over %d cameras, %.1f min, seed %u, sample every %.0f s\n", Opt.Channels,
              Opt.Cameras, Opt.Minutes, Opt.Seed, Opt.SampleSeconds);
  Begin = Clock::now();
  End = Begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(Opt.Minutes * 60));
  if (!OpenAll()) {
    std::fprintf(stderr, "soak_bench: a driver did not open\n");
    return 1;
  }
  WarmUp();
  Sample(samples, channels, cameras, 0);
  std::vector<std::thread> hosts;
  for (int i = 0; i < kHostThreads; ++i) hosts.emplace_back([this] { HostThread(); });
  std::thread schedule([this] { Schedule(); });

  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(Opt.SampleSeconds));
  for (auto next = Begin + interval; next <= End + Ms(10); next += interval) {
    std::this_thread::sleep_until(next);
    Sample(samples, channels, cameras, std::chrono::duration<double>(Clock::now() - Begin).count() / 60);
  }
  schedule.join();
  // The allocator's own account, arena by arena, at the end of the schedule.
  if (FILE* arenas = std::fopen((Opt.Out + "/malloc_info.xml").c_str(), "w")) {
    malloc_info(0, arenas);
    std::fclose(arenas);
  }
  {
    std::lock_guard<std::mutex> guard(QueueLock);
    Stopping = true;
    QueueChanged.notify_all();
  }
  for (auto& thread : hosts) thread.join();

  // Every channel wanted and every camera up again: all must stream before the drivers go.
  std::this_thread::sleep_for(std::chrono::duration<double>(Opt.GraceSeconds));
  int silentAtEnd = 0;
  {
    std::vector<uint64_t> before;
    for (Channel* channel : AllChannels) before.push_back(channel->Sink.Frames.load());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    for (size_t i = 0; i < AllChannels.size(); ++i)
      if (AllChannels[i]->Sink.Frames.load() == before[i]) ++silentAtEnd;
  }
  const auto deleteStart = Clock::now();
  for (auto& device : Devices) {
    std::unique_lock<std::shared_mutex> guard(device->Lifecycle);
    Module.Delete(device->Driver);
    device->Driver = nullptr;
  }
  {
    std::lock_guard<std::mutex> guard(QueryLock);
    Module.UninitQuery();
  }
  const double deleteMs = std::chrono::duration<double, std::milli>(Clock::now() - deleteStart).count();
  std::this_thread::sleep_for(Ms(500));  // detached helpers, if any, end on their own

  const long threadsAfter = StatusKiB("Threads");
  const int fdsAfter = OpenDescriptors();
  std::ofstream summary(Opt.Out + "/summary.txt");
  const auto put = [&](const char* name, const auto& value) { summary << name << ' ' << value << '\n'; };
  put("minutes", Opt.Minutes);
  put("channels", Opt.Channels);
  put("cameras", Opt.Cameras);
  put("seed", Opt.Seed);
  put("sample_seconds", Opt.SampleSeconds);
  put("fault_seconds", Opt.FaultSeconds);
  put("fault_rate", Opt.FaultRate);
  put("threads_started", gThreadsStarted.load());
  put("arenas", HeapArenas());
  // The allocator's settings the process started with (none: glibc's defaults).
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  put("glibc_tunables", tunables != nullptr && *tunables != '\0' ? tunables : "none");
  put("keep_free_memory", Opt.KeepFreeMemory ? 1 : 0);
  put("give_backs", gGiveBacks.load());
  put("give_back_ms", static_cast<double>(gGiveBackMicros.load()) / 1000);
  put("give_back_max_ms", static_cast<double>(gGiveBackMaxMicros.load()) / 1000);
  put("frame_interval_ms", kFrameIntervalMs);
  put("grace_seconds", Opt.GraceSeconds);
  put("faults", FaultCount.load());
  put("host_calls", HostCalls.load());
  put("slow_host_calls", SlowCalls.load());
  put("dropped_jobs", DroppedJobs.load());
  put("samples_created", Allocator.Created.load());
  put("samples_released", Allocator.Released.load());
  put("channel_samples_expected", Expected);
  put("channel_samples_expected_without_pictures", ExpectedWithout);
  put("channels_silent_at_end", silentAtEnd);
  put("threads_before_open", baseThreads);
  put("threads_after_delete", threadsAfter);
  put("fds_before_open", baseFds);
  put("fds_after_delete", fdsAfter);
  put("delete_all_ms", deleteMs);
  uint64_t inputChanges = 0, ioFailures = 0;
  for (auto& device : Devices) {
    inputChanges += device->IOSink.Changes.load();
    ioFailures += device->IOSink.Failures.load();
  }
  put("io_input_changes", inputChanges);
  put("io_failures", ioFailures);
  put("debug_lines", Debug.Lines.load());
  put("debug_errors", Debug.Errors.load());
  for (const std::string& line : Debug.LatestErrors()) Event("latest error: " + line);
  for (auto& camera : Cameras) camera->Stop(false);
  std::printf("soak: done; samples created %llu, released %llu; channels silent at the end %d\n",
              static_cast<unsigned long long>(Allocator.Created.load()),
              static_cast<unsigned long long>(Allocator.Released.load()), silentAtEnd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  Options options = ParseOptions(argc, argv);
  gKeepFreeMemory = options.KeepFreeMemory;
  Soak soak(std::move(options));
  return soak.Run();
}
