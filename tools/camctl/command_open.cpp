// camctl open: create a driver, open it with the given parameters, show the diagnostic lines,
// close it and delete it.

#include <cstdio>

#include "tools/camctl/commands.h"
#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace camctl {

int RunOpen(const Options& options) {
  hostkit::DeviceConfig config;
  std::string error;
  if (!ReadDeviceConfig(options, config, error)) {
    std::fprintf(stderr, "camctl open: %s\n", error.c_str());
    return 2;
  }
  hostkit::Module module;
  const std::string path = ModulePath(options);
  if (!module.Load(path)) {
    std::fprintf(stderr, "camctl open: cannot load %s: %s\n", path.c_str(), module.Error().c_str());
    return 1;
  }
  std::printf("module   %s\n", path.c_str());

  hostkit::DebugSink sink;
  sink.SetPrinter([](const hostkit::DebugLine& line) {
    std::printf("%s [%u] %s\n", line.Stamp.c_str(), line.Level, line.Text.c_str());
    std::fflush(stdout);
  });
  hostkit::SampleAllocator allocator;
  hostkit::DeviceParams params(config);

  auto* driver = module.Create();
  if (driver == nullptr) {
    std::fprintf(stderr, "camctl open: CreateIPCapture returned null\n");
    return 1;
  }
  std::printf("created  driver %p\n", static_cast<void*>(driver));
  const bool opened = driver->Open(&sink, &allocator, &params);
  std::printf("open     %s\n", opened ? "ok" : "FAILED");
  std::printf("objects  video capture %s (%u channels), digital I/O %s, PTZ %s\n",
              driver->GetVideoCapture() ? "yes" : "no",
              driver->GetVideoCapture() ? driver->GetVideoCapture()->GetChannelCount() : 0u,
              driver->GetCaptureIO() ? "yes" : "no", driver->GetPTZDriver() ? "yes" : "no");
  driver->Close();
  std::printf("closed\n");
  module.Delete(driver);
  std::printf("deleted\n");
  return opened ? 0 : 1;
}

namespace {
std::vector<std::string> OpenOptions() {
  auto names = DeviceOptionNames();
  names.insert(names.end(), {"help", "version"});
  return names;
}

const bool kRegistered =
    RegisterCommand({"open",
                     "create, open, show diagnostics, close and delete a driver",
                     std::string("usage: camctl open [options]\n\n"
                                 "Loads the module, creates a driver, opens it with the device parameters,\n"
                                 "prints every diagnostic line the driver sends, closes and deletes it.\n\n"
                                 "options:\n") +
                         kDeviceOptionsHelp,
                     {"help", "version", "verbose"},
                     OpenOptions(),
                     RunOpen});
}  // namespace

}  // namespace camctl
