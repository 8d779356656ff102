// The capability query's reading of arbitrary camera replies (device information, video profile,
// stream information, RS-485) and the saving of what it found into a host result object that
// checks every text it gets.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "driver/quenlark_camera_properties.h"

namespace {

namespace ipc = korvalt::ipcapture;

// Reads every text to its end, so that AddressSanitizer sees a text without its terminator.
void Touch(const char* text) {
  if (text == nullptr || std::strlen(text) > (1u << 21)) __builtin_trap();
}

class Text : public ipc::ICapabilityText {
 public:
  void SetText(const char* text) override { Touch(text); }
};

class Resolutions : public ipc::IResolutionList {
 public:
  void AddResolution(const char* text, int32_t width, int32_t height, int32_t interval) override {
    Touch(text);
    if (width <= 0 || height <= 0 || interval < 0) __builtin_trap();
  }
};

class Intervals : public ipc::IFrameIntervalList {
 public:
  void SetDefaultInterval(int32_t interval) override {
    if (interval <= 0) __builtin_trap();
  }
  void AddInterval(int32_t interval) override {
    if (interval <= 0) __builtin_trap();
  }
};

class Parameter : public ipc::ICustomParameterInfo {
 public:
  void SetValue(const char* value) override { Touch(value); }
  void Reserved2() override {}
  void Reserved3() override {}
  void SetType(int32_t) override {}
  void SetName(const char* name) override { Touch(name); }
  void SetAttribute(int32_t) override {}
};

class Results : public ipc::ICapabilityResults {
 public:
  void SetProperty(int32_t, int32_t) override {}
  void SetName(const char* name) override { Touch(name); }
  ipc::ICapabilityText* GetAddressField(int32_t) override { return &Field; }
  void Reserved4() override {}
  ipc::ICustomParameterInfo* GetCustomParameter(int32_t) override { return &Custom; }
  ipc::IResolutionList* GetResolutionList() override { return &List; }
  void Reserved7() override {}
  ipc::IFrameIntervalList* GetFrameIntervalList(int32_t) override { return &Rates; }

 private:
  Text Field;
  Parameter Custom;
  Resolutions List;
  Intervals Rates;
};

// The next reply: text up to the next zero byte, as the query hands a reply body over.
std::string Take(const uint8_t*& data, size_t& size) {
  const void* zero = std::memchr(data, 0, size);
  const size_t length = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) : size;
  std::string piece(reinterpret_cast<const char*>(data), length);
  const size_t used = zero ? length + 1 : length;
  data += used;
  size -= used;
  return piece;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string info = Take(data, size);
  const std::string profile = Take(data, size);
  const std::string streams = Take(data, size);
  const std::string rs485 = Take(data, size);

  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  korvalt::CQuenlarkCameraProperties properties(device);
  // The order QueryProperties reads them in, stopping where a required answer is missing.
  if (properties.ParseDeviceInformation(info)) {
    properties.ParseVideoProfile(profile);
    if (properties.ParseStreamInformation(streams)) properties.ParseRs485(rs485);
  }
  for (const int32_t rate : properties.GetFrameRates()) {
    if (rate <= 0) __builtin_trap();
  }
  Results results;
  properties.SaveProperties(&results);
  return 0;
}
