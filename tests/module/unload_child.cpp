// A recorder that streams from a camera whose name resolves slowly, closes and deletes every
// driver, unloads the module and goes on living while the name service finally answers. Its
// name service is this program's own getaddrinfo, which the module reaches before the C
// library's. Prints what it saw; exits 0 when it survived.

#include <dirent.h>
#include <dlfcn.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "driver/host/exports.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/video.h"

namespace {

constexpr const char* kSlowName = "slow-camera.invalid";
constexpr int kCycles = 20;

std::atomic<bool> gAnswer{false};
std::atomic<int> gUnderWay{0};
std::atomic<int> gMostUnderWay{0};

size_t ProcessThreads() {
  size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  if (node != nullptr && std::strcmp(node, kSlowName) == 0) {
    const int now = ++gUnderWay;
    int most = gMostUnderWay.load();
    while (now > most && !gMostUnderWay.compare_exchange_weak(most, now)) {
    }
    while (!gAnswer.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    --gUnderWay;
    return EAI_NONAME;
  }
  using Fn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  return real != nullptr ? real(node, service, hints, result) : EAI_FAIL;
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const size_t before = ProcessThreads();
  void* module = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return 3;
  auto create = reinterpret_cast<CreateIPCaptureFn>(::dlsym(module, "CreateIPCapture"));
  auto destroy = reinterpret_cast<DeleteIPCaptureFn>(::dlsym(module, "DeleteIPCapture"));
  if (create == nullptr || destroy == nullptr) return 4;

  hostkit::DeviceConfig config;
  config.Address = kSlowName;
  hostkit::DeviceParams params(config);
  hostkit::DebugSink debug;
  hostkit::SampleAllocator allocator;
  hostkit::FrameSink frames;
  hostkit::ChannelSettings settings(40, 60, 640, 480);
  long longestStopMs = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    korvalt::ipcapture::IIPCaptureDriverEx3* driver = create();
    if (driver == nullptr || !driver->Open(&debug, &allocator, &params)) return 5;
    driver->GetVideoCapture()->StartChannel(0, &frames, &settings);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (gUnderWay.load() == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto stopping = std::chrono::steady_clock::now();
    driver->GetVideoCapture()->StopChannel(0);
    driver->Close();
    destroy(driver);
    const long took = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopping)
            .count());
    if (took > longestStopMs) longestStopMs = took;
  }
  std::printf("most-lookups=%d\n", gMostUnderWay.load());
  std::printf("threads-left=%zu\n", ProcessThreads() - before);
  std::printf("longest-stop-ms=%ld\n", longestStopMs);
  std::fflush(stdout);

  ::dlclose(module);
  gAnswer = true;  // the name service answers at last, after the module went
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::printf("survived\n");
  return 0;
}
