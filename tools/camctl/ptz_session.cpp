#include "tools/camctl/ptz_session.h"

#include <cstdio>
#include <thread>

#include "tools/camctl/diagnose.h"
#include "tools/hostkit/ptz.h"

namespace camctl {

bool PtzSession::Open(const std::string& modulePath, const hostkit::DeviceConfig& config, uint32_t channel,
                      std::string& error) {
  if (!Module.Load(modulePath)) {
    error = "cannot load " + modulePath + ": " + Module.Error();
    return false;
  }
  Sink.SetPrinter(DebugPrinter());
  Params = std::make_unique<hostkit::DeviceParams>(config);
  Driver = Module.Create();
  if (Driver == nullptr) {
    error = "CreateIPCapture returned null";
    return false;
  }
  if (!Driver->Open(&Sink, &Allocator, Params.get())) {
    error = "Open failed";
    return false;
  }
  korvalt::ipcapture::IIPPTZDriverEx* ptz = Driver->GetPTZDriverEx();
  if (ptz == nullptr) {
    error = "the driver offers no PTZ driver";
    return false;
  }
  Api = ptz->GetPTZApiEx(channel);
  if (Api == nullptr) {
    error = "the driver gives no PTZ control for channel " + std::to_string(channel) +
            " (the module's messages above say why)";
    return false;
  }
  return true;
}

void PtzSession::Close() {
  if (Driver == nullptr) return;
  if (Queued && Api != nullptr) std::this_thread::sleep_for(kPtzSettleTime);
  Api = nullptr;
  Queued = false;
  Driver->Close();
  Module.Delete(Driver);
  Driver = nullptr;
}

std::function<void(const hostkit::DebugLine&)> PtzSession::DebugPrinter() const {
  return [verbose = Verbose](const hostkit::DebugLine& line) {
    if (ShowsLevel(line.Level, verbose)) PrintDebugLine(line);
  };
}

void PrintDebugLine(const hostkit::DebugLine& line) {
  std::fprintf(stderr, "%s [%u] %s\n", line.Stamp.c_str(), line.Level, Printable(line.Text).c_str());
}

std::string PtzResultText(int32_t result) {
  const std::string name = hostkit::PtzResultName(result);
  // Unknown codes are already named by their number.
  if (result == korvalt::ipcapture::kPtzSuccess || name.find(std::to_string(result)) != std::string::npos) {
    return name;
  }
  return name + " (" + std::to_string(result) + ")";
}

std::string Printable(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // C0 controls, DEL, and the C1 controls U+0080..U+009F (UTF-8 C2 80..C2 9F) that some
    // terminals obey.
    const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (byte < 0x20 || byte == 0x7F || c1) {
      out += '?';
      if (c1) ++i;
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

}  // namespace camctl
