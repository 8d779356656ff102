#include <cstdlib>

#include "tools/camctl/commands.h"
#include "tools/hostkit/module.h"

namespace camctl {
namespace {
constexpr const char* kNoValue = "(none)";
// The module knows three; the bound keeps the gap filling below small.
constexpr long kMaxParameterIndex = 32;
}  // namespace

const char* const kDeviceOptionsHelp =
    "  --address A        camera host name or IPv4 address (default 127.0.0.1)\n"
    "  --port P           camera HTTP port (default 80)\n"
    "  --user U           user name (default empty: no credentials)\n"
    "  --password W       password\n"
    "  --model M          device model as the recorder names it (default QL-3110)\n"
    "  --channels N       video channel count (default 1)\n"
    "  --codec C          h264, mpeg4 or mjpeg (default h264)\n"
    "  --inputs N         digital input count (default 0)\n"
    "  --outputs N        digital output count (default 0)\n"
    "  --param I=TEXT     custom parameter I (1 video standard, 2 firmware, 3 MAC address); repeatable;\n"
    "                     indexes below the highest given and left out are passed as \"(none)\"\n"
    "  --module PATH      driver module (default: libquenlark_ipcapture.so beside camctl)\n"
    "  --verbose          every diagnostic line of the module with its level (default: levels 1\n"
    "                     and 2), and each probe camctl makes itself when a command fails\n";

std::vector<std::string> DeviceOptionNames() {
  return {"address", "port",   "user",    "password", "model",  "channels",
          "codec",   "inputs", "outputs", "param",    "module", "verbose"};
}

bool ReadDeviceConfig(const Options& options, hostkit::DeviceConfig& config, std::string& error) {
  config.Address = options.Get("address", config.Address);
  const long port = options.GetInt("port", config.Port, error);
  if (!error.empty()) return false;
  if (port < 1 || port > 65535) {
    error = "--port must be 1 to 65535";
    return false;
  }
  config.Port = static_cast<uint16_t>(port);
  config.UserName = options.Get("user", config.UserName);
  config.Password = options.Get("password", config.Password);
  config.Model = options.Get("model", config.Model);
  config.Channels = static_cast<int32_t>(options.GetInt("channels", config.Channels, error));
  config.Inputs = static_cast<int32_t>(options.GetInt("inputs", config.Inputs, error));
  config.Outputs = static_cast<int32_t>(options.GetInt("outputs", config.Outputs, error));
  if (!error.empty()) return false;
  if (options.Has("codec")) {
    const auto codec = CodecType(options.Get("codec"));
    if (!codec) {
      error = "--codec must be h264, mpeg4 or mjpeg";
      return false;
    }
    config.CodecType = *codec;
  }
  for (const std::string& param : options.All("param")) {
    const auto equals = param.find('=');
    char* end = nullptr;
    const long index = equals == std::string::npos ? 0 : std::strtol(param.c_str(), &end, 10);
    if (equals == std::string::npos || end != param.c_str() + equals || index < 1 ||
        index > kMaxParameterIndex) {
      error = "--param needs INDEX=TEXT with INDEX from 1 to " + std::to_string(kMaxParameterIndex) +
              ", not '" + param + "'";
      return false;
    }
    config.Custom[static_cast<int32_t>(index)] = param.substr(equals + 1);
  }
  // The module reads custom parameters 1, 2, 3... up to the first missing one, so a gap would hide
  // every later index; "(none)" is what a recorder holds for a parameter without a value.
  const int32_t highest = config.Custom.empty() ? 0 : config.Custom.rbegin()->first;
  for (int32_t index = 1; index < highest; ++index) config.Custom.emplace(index, kNoValue);
  return true;
}

std::string ModulePath(const Options& options) {
  return options.Get("module", hostkit::DefaultModulePath());
}

}  // namespace camctl
