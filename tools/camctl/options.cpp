#include "tools/camctl/options.h"

#include <algorithm>
#include <cstdlib>

#include "driver/host/device_params.h"

namespace camctl {

bool Options::Parse(int argc, char** argv, int first, const std::vector<std::string>& flags,
                    std::string& error, bool allowArguments) {
  bool onlyWords = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (allowArguments && (onlyWords || arg.rfind("--", 0) != 0)) {
      Words.push_back(arg);
      continue;
    }
    if (allowArguments && arg == "--") {
      onlyWords = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
      error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string name = arg.substr(2);
    std::string value;
    const auto equals = name.find('=');
    if (equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    } else if (std::find(flags.begin(), flags.end(), name) == flags.end()) {
      if (i + 1 >= argc) {
        error = "option --" + name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    Values[name].push_back(value);
  }
  return true;
}

std::string Options::Get(const std::string& name, const std::string& fallback) const {
  const auto it = Values.find(name);
  return it == Values.end() ? fallback : it->second.back();
}

long Options::GetInt(const std::string& name, long fallback, std::string& error) const {
  const auto it = Values.find(name);
  if (it == Values.end()) return fallback;
  const std::string& text = it->second.back();
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') {
    error = "option --" + name + " needs a number, not '" + text + "'";
    return fallback;
  }
  return value;
}

std::vector<std::string> Options::All(const std::string& name) const {
  const auto it = Values.find(name);
  return it == Values.end() ? std::vector<std::string>{} : it->second;
}

std::vector<std::string> Options::Unknown(const std::vector<std::string>& known) const {
  std::vector<std::string> unknown;
  for (const auto& [name, values] : Values) {
    if (std::find(known.begin(), known.end(), name) == known.end()) unknown.push_back(name);
  }
  return unknown;
}

std::optional<int> CodecType(const std::string& name) {
  if (name == "mjpeg") return korvalt::ipcapture::kCodecTypeMJPEG;
  if (name == "mpeg4") return korvalt::ipcapture::kCodecTypeMPEG4;
  if (name == "h264") return korvalt::ipcapture::kCodecTypeH264;
  return std::nullopt;
}

}  // namespace camctl
