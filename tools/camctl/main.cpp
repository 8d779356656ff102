// camctl: a command-line recorder that drives the Quenlark driver module through its exports.

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/camctl/commands.h"

#ifndef QUENLARK_VERSION
#define QUENLARK_VERSION "dev"
#endif

namespace camctl {

namespace {
std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}
}  // namespace

bool RegisterCommand(Command command) {
  Registry().push_back(std::move(command));
  return true;
}

const std::vector<Command>& Commands() {
  return Registry();
}

}  // namespace camctl

namespace {

void PrintUsage(FILE* out) {
  std::fprintf(out, "usage: camctl COMMAND [options]    (camctl COMMAND --help for details)\n\ncommands:\n");
  for (const auto& command : camctl::Commands()) {
    std::fprintf(out, "  %-8s %s\n", command.Name.c_str(), command.Summary.c_str());
  }
  std::fprintf(out, "\n  --help     this text\n  --version  camctl's version\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (name == "--version") {
    std::printf("camctl %s\n", QUENLARK_VERSION);
    return 0;
  }
  for (const auto& command : camctl::Commands()) {
    if (command.Name != name) continue;
    camctl::Options options;
    std::string error;
    if (!options.Parse(argc, argv, 2, command.Flags, error, command.TakesArguments)) {
      std::fprintf(stderr, "camctl %s: %s\n", name.c_str(), error.c_str());
      return 2;
    }
    if (options.Has("help")) {
      std::printf("%s", command.Usage.c_str());
      return 0;
    }
    if (options.Has("version")) {
      std::printf("camctl %s\n", QUENLARK_VERSION);
      return 0;
    }
    const auto unknown = options.Unknown(command.Known);
    if (!unknown.empty()) {
      std::fprintf(stderr, "camctl %s: unknown option --%s (see camctl %s --help)\n", name.c_str(),
                   unknown.front().c_str(), name.c_str());
      return 2;
    }
    try {
      return command.Run(options);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "camctl %s: %s\n", name.c_str(), e.what());
      return 1;
    }
  }
  std::fprintf(stderr, "camctl: unknown command '%s'\n", name.c_str());
  PrintUsage(stderr);
  return 2;
}
