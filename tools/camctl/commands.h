#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/camctl/options.h"
#include "tools/hostkit/device_params.h"

namespace camctl {

struct Command {
  std::string Name;
  std::string Summary;
  std::string Usage;               // full --help text
  std::vector<std::string> Flags;  // options without a value
  std::vector<std::string> Known;  // every option name it accepts
  std::function<int(const Options&)> Run;
  bool TakesArguments = false;  // words besides options, e.g. "ptz move left 8"
};

// Every command file registers its command at start-up:
//   const bool kRegistered = RegisterCommand({...});
bool RegisterCommand(Command command);
const std::vector<Command>& Commands();

// Options shared by the commands that open a driver: --address --port --user --password
// --model --channels --codec --inputs --outputs --param INDEX=TEXT.
extern const char* const kDeviceOptionsHelp;
std::vector<std::string> DeviceOptionNames();
// Fills config from the options; false with error set on bad values.
bool ReadDeviceConfig(const Options& options, hostkit::DeviceConfig& config, std::string& error);
// --module PATH or the module beside camctl.
std::string ModulePath(const Options& options);

int RunOpen(const Options& options);

}  // namespace camctl
