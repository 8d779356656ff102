// Several recorder threads call every export and host-facing operation in random order against
// a camera that stalls, drops connections and answers errors. The recorder keeps the contract
// (objects from a driver are used only between its Open and Close), nothing else is ordered.
// QUENLARK_TORTURE_SECONDS sets the run time and QUENLARK_TORTURE_SEED the seed.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/camsim_fixture.h"
#include "tools/hostkit/capability.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/io_sink.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/ptz.h"
#include "tools/hostkit/video.h"

namespace {

namespace ipc = korvalt::ipcapture;
using Clock = std::chrono::steady_clock;

constexpr int kDrivers = 2;
constexpr int kChannels = 2;
constexpr int kHostThreads = 4;
constexpr int kDefaultSeconds = 15;
// A host call may wait for the camera up to the network time-out only in a few places
// (digital I/O Start, preset calls); camsim's stalls are shorter, so this bounds every call.
constexpr auto kCallLimit = std::chrono::seconds(8);
constexpr auto kWatchdogMargin = std::chrono::seconds(60);

int EnvInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// One device as the recorder holds it: its driver and the lock that keeps Open/Close apart from
// the use of the objects the driver handed out.
struct Device {
  std::shared_mutex Lifecycle;
  ipc::IIPCaptureDriverEx3* Driver = nullptr;  // guarded by Lifecycle
  bool Opened = false;                         // guarded by Lifecycle
  hostkit::DeviceParams Params;
  hostkit::IOEventSink IOSink;
  // Frame sinks outlive the driver, as a recorder's must.
  hostkit::FrameSink Sinks[kChannels];
};

class HostTorture : public ::testing::Test {
 protected:
  static testsupport::CamsimOptions CameraOptions() {
    testsupport::CamsimOptions options;
    options.Auth = "digest";
    options.Rtsp = true;
    options.Ptz = true;
    options.Inputs = 2;
    options.Outputs = 2;
    options.Model = "QL-6250";
    return options;
  }

  void SetUp() override {
    char pattern[] = "/tmp/quenlark-torture-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    PresetDir = pattern;
    setenv("QUENLARK_PRESET_DIR", PresetDir.c_str(), 1);
    ASSERT_TRUE(Camera.Ok());
    ASSERT_TRUE(Module.Load(QUENLARK_MODULE_PATH)) << Module.Error();
    for (int d = 0; d < kDrivers; ++d) {
      auto& device = Devices[d];
      hostkit::DeviceConfig& config = device.Params.Config;
      config.Address = "127.0.0.1";
      config.Port = Camera.HttpPort();
      config.UserName = "admin";
      config.Password = "secret";
      config.Channels = kChannels;
      config.Inputs = 2;
      config.Outputs = 2;
      const int32_t codecs[] = {ipc::kCodecTypeMJPEG, ipc::kCodecTypeMPEG4, ipc::kCodecTypeH264};
      config.CodecType = codecs[d % 3];
      config.Model = "QL-6250";
      config.Custom = {{ipc::kCustomParameterVideoStandard, "0"},
                       {ipc::kCustomParameterFirmware, "1.10"},
                       {ipc::kCustomParameterMacAddress, "02005E10000" + std::to_string(d)}};
      device.Driver = Module.Create();
      ASSERT_NE(device.Driver, nullptr);
    }
  }

  void TearDown() override {
    for (auto& device : Devices) {
      if (device.Driver != nullptr) Module.Delete(device.Driver);
      device.Driver = nullptr;
    }
    if (Module.HasCapabilityQuery()) Module.UninitQuery();
    std::system(("rm -rf '" + PresetDir + "'").c_str());
  }

  // Runs one host call and records how long it took.
  template <typename F>
  void Timed(const char* what, F&& call) {
    const auto start = Clock::now();
    call();
    const auto took = Clock::now() - start;
    if (took > kCallLimit) {
      std::lock_guard<std::mutex> guard(SlowLock);
      Slow.push_back(std::string(what) + " took " +
                     std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) +
                     " ms");
    }
    Calls.fetch_add(1);
  }

  void Lifecycle(uint32_t seed, Clock::time_point end);
  void HostThread(uint32_t seed, Clock::time_point end);
  void QueryThread(uint32_t seed, Clock::time_point end);
  void FaultThread(uint32_t seed, Clock::time_point end);
  void UseDriver(std::mt19937& random, Device& device);

  testsupport::Camsim Camera{CameraOptions()};
  hostkit::Module Module;
  hostkit::DebugSink Debug;
  hostkit::SampleAllocator Allocator;
  Device Devices[kDrivers];
  std::string PresetDir;
  hostkit::CapabilityResults QueryResults;
  hostkit::CapabilityCallback QueryCallback;
  std::mutex QueryLock;  // the recorder keeps one query at a time: the result object is shared
  std::atomic<uint64_t> Calls{0};
  std::mutex SlowLock;
  std::vector<std::string> Slow;
};

void HostTorture::Lifecycle(uint32_t seed, Clock::time_point end) {
  std::mt19937 random(seed);
  while (Clock::now() < end) {
    Device& device = Devices[random() % kDrivers];
    {
      std::unique_lock<std::shared_mutex> guard(device.Lifecycle);
      if (device.Opened && random() % 2 == 0) {
        if (random() % 2 == 0 && device.Driver->GetCaptureIO() != nullptr) {
          Timed("IO Stop before Close", [&] { device.Driver->GetCaptureIO()->Stop(); });
        }
        Timed("Close", [&] { device.Driver->Close(); });
        device.Opened = false;
      } else {
        // A second Open without Close is allowed too.
        Timed("Open", [&] { device.Opened = device.Driver->Open(&Debug, &Allocator, &device.Params); });
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000 + random() % 3000));
  }
}

void HostTorture::UseDriver(std::mt19937& random, Device& device) {
  ipc::IIPCaptureDriverEx3* driver = device.Driver;
  const uint32_t channel = random() % (kChannels + 1);  // one beyond the device's count too
  switch (random() % 12) {
    case 0:
    case 1: {
      hostkit::ChannelSettings settings(random() % 2 ? 40 : 0, random() % 101, 320, 240);
      Timed("StartChannel", [&] {
        if (auto* capture = driver->GetVideoCapture()) {
          capture->StartChannel(channel, &device.Sinks[channel % kChannels], &settings);
        }
      });
      break;
    }
    case 2:
      Timed("StopChannel", [&] {
        if (auto* capture = driver->GetVideoCapture()) capture->StopChannel(channel);
      });
      break;
    case 3: {
      hostkit::PictureSize size(random() % 2 ? 352 : 640, 240);
      Timed("RestartChannel", [&] {
        if (auto* capture = driver->GetVideoCaptureEx()) capture->RestartChannel(channel, &size, 66);
      });
      break;
    }
    case 4:
    case 5:
      Timed("GetChannelState", [&] {
        int32_t state = -1;
        int32_t reserved = 0;
        if (auto* capture = driver->GetVideoCapture())
          capture->GetChannelState(channel, &state, &reserved, nullptr, 0);
      });
      break;
    case 6:
      Timed("IO", [&] {
        ipc::ICaptureIOApi* io = driver->GetCaptureIO();
        if (io == nullptr) return;
        switch (random() % 4) {
          case 0:
            io->SetIOSink(&device.IOSink);
            io->Start();
            break;
          case 1:
            io->Stop();
            break;
          default:
            io->SetOutput(static_cast<int32_t>(random() % 3),
                          random() % 2 == 0 ? ipc::kIOStateOff : ipc::kIOStateOn);
            break;
        }
      });
      break;
    default:
      Timed("PTZ", [&] {
        ipc::IIPPTZDriverEx* ptzDriver = driver->GetPTZDriverEx();
        if (ptzDriver == nullptr) return;
        ipc::IIPPTZApiEx* ptz = ptzDriver->GetPTZApiEx(channel);
        if (ptz == nullptr) return;
        const std::string name = "P" + std::to_string(random() % 6);
        char buffer[64];
        ipc::PTZ_CAPABILITIES record{};
        switch (random() % 9) {
          case 0:
            ptz->Move(static_cast<int32_t>(random() % 12), static_cast<int32_t>(random() % 20));
            break;
          case 1:
            ptz->StopAll();
            break;
          case 2:
            random() % 2 ? ptz->ZoomIn(3) : ptz->FocusMinus(3);
            break;
          case 3:
            ptz->AddPreposition(name.c_str());
            break;
          case 4:
            ptz->GotoPreposition(0, name.c_str());
            break;
          case 5:
            ptz->RemovePreposition(name.c_str());
            break;
          case 6:
            ptz->GetPrepositionName(static_cast<int32_t>(random() % 4), buffer, sizeof buffer);
            ptz->GetCurrentPreposition(buffer, sizeof buffer);
            break;
          case 7:
            ptz->GetCapabilities(&record);
            break;
          default:
            hostkit::PresetNames(*ptz);
            break;
        }
      });
      break;
  }
}

void HostTorture::HostThread(uint32_t seed, Clock::time_point end) {
  std::mt19937 random(seed);
  while (Clock::now() < end) {
    Device& device = Devices[random() % kDrivers];
    {
      std::shared_lock<std::shared_mutex> guard(device.Lifecycle);
      if (device.Opened) UseDriver(random, device);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));
  }
}

void HostTorture::QueryThread(uint32_t seed, Clock::time_point end) {
  std::mt19937 random(seed);
  const std::string port = std::to_string(Camera.HttpPort());
  while (Clock::now() < end) {
    {
      std::lock_guard<std::mutex> guard(QueryLock);
      Timed("Init", [&] { Module.InitQuery(&QueryCallback, 0); });
      Timed("Start", [&] {
        Module.StartQuery("127.0.0.1", Camera.HttpPort(), "admin", random() % 4 ? "secret" : "wrong",
                          &QueryResults);
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 200));
      if (random() % 2 == 0) Timed("Terminate", [&] { Module.TerminateQuery(); });
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 100));
      Timed("Uninit", [&] { Module.UninitQuery(); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 200));
  }
}

void HostTorture::FaultThread(uint32_t seed, Clock::time_point end) {
  std::mt19937 random(seed);
  while (Clock::now() < end) {
    switch (random() % 6) {
      case 0:
        Camera.InjectFault("stall", 1 + random() % 3, 300 + random() % 2700);
        break;
      case 1:
        Camera.InjectFault("close", 1 + random() % 3);
        break;
      case 2:
        Camera.InjectFault("status", 1 + random() % 3, random() % 2 ? 500 : 404);
        break;
      case 3:
        Camera.InjectFault("empty", 1);
        break;
      default:
        Camera.InjectFault("none");
        break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 400));
  }
  Camera.InjectFault("none");
}

TEST_F(HostTorture, RandomHostCallsAgainstAFaultyCameraNeverCrashStallOrLeak) {
  ASSERT_TRUE(Module.HasCapabilityQuery());
  const uint32_t seed = static_cast<uint32_t>(EnvInt("QUENLARK_TORTURE_SEED", 20261208));
  const int seconds = EnvInt("QUENLARK_TORTURE_SECONDS", kDefaultSeconds);
  std::printf("seed %u, %d s\n", seed, seconds);
  const auto end = Clock::now() + std::chrono::seconds(seconds);

  // A hang would otherwise only end at CTest's time-out, with no word of where.
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    const auto limit = end + kWatchdogMargin;
    while (!done.load() && Clock::now() < limit) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!done.load()) {
      std::fprintf(
          stderr, "host torture: threads still running %lld s after the end\n",
          static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kWatchdogMargin).count()));
      std::abort();
    }
  });

  std::vector<std::thread> threads;
  threads.emplace_back([&] { Lifecycle(seed, end); });
  for (int i = 0; i < kHostThreads; ++i) threads.emplace_back([&, i] { HostThread(seed + 1 + i, end); });
  threads.emplace_back([&] { QueryThread(seed + 100, end); });
  threads.emplace_back([&] { FaultThread(seed + 200, end); });
  for (auto& thread : threads) thread.join();

  for (auto& device : Devices) {
    std::unique_lock<std::shared_mutex> guard(device.Lifecycle);
    Timed("final Delete", [&] { Module.Delete(device.Driver); });
    device.Driver = nullptr;
  }
  Timed("final Uninit", [&] { Module.UninitQuery(); });
  done.store(true);
  watchdog.join();

  std::printf("%llu host calls, %llu samples\n", static_cast<unsigned long long>(Calls.load()),
              static_cast<unsigned long long>(Allocator.Created.load()));
  EXPECT_GT(Calls.load(), 100u);
  EXPECT_EQ(Allocator.Created.load(), Allocator.Released.load()) << "every sample is released once";
  std::lock_guard<std::mutex> guard(SlowLock);
  EXPECT_TRUE(Slow.empty()) << Slow.front();
}

}  // namespace
