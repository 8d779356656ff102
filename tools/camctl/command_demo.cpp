// camctl demo: the module's main job against sample parameters.

#include <cstdio>

#include "tools/camctl/commands.h"

namespace camctl {

int RunDemo(const Options& options) {
  std::printf("camctl demo: opening a driver for a sample H.264 camera with two inputs and one output\n\n");
  Options sample;
  std::string error;
  std::vector<std::string> args = {"camctl", "demo",    "--address", "127.0.0.1", "--port",   "8080",
                                   "--model",  "DCS-3110", "--codec",   "h264",      "--inputs", "2",
                                   "--outputs", "1",      "--param",   "1=0",       "--param",  "2=1.10",
                                   "--param",  "3=00:0C:6E:12:34:56"};
  if (options.Has("module")) {
    args.push_back("--module");
    args.push_back(options.Get("module"));
  }
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  if (!sample.Parse(static_cast<int>(argv.size()), argv.data(), 2, {}, error)) {
    std::fprintf(stderr, "camctl demo: %s\n", error.c_str());
    return 2;
  }
  return RunOpen(sample);
}

namespace {
const bool kRegistered = RegisterCommand(
    {"demo", "run the module's main job against the embedded sample camera",
     "usage: camctl demo [--module PATH]\n\n"
     "Creates a driver, opens it with sample device parameters, shows the diagnostic\n"
     "lines it sends, closes and deletes it.\n",
     {"help", "version"}, {"help", "version", "module"}, RunDemo});
}  // namespace

}  // namespace camctl
