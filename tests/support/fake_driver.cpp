#include "support/fake_driver.h"

#include <cstdarg>
#include <cstdlib>

#include "platform/format.h"

namespace testsupport {

FakeDriver::FakeDriver() {
  Device.Address = "192.0.2.10";
  Device.Port = 80;
}

void FakeDriver::DebugMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = korvalt::platform::FormatV(format, args);
  va_end(args);
  std::lock_guard guard(Lock);
  Kept.push_back({level, std::move(text)});
}

korvalt::DEVICE_INFO FakeDriver::GetDeviceInfo() {
  std::lock_guard guard(Lock);
  return Device;
}

std::string FakeDriver::GetCustomParameter(int key) {
  std::lock_guard guard(Lock);
  auto it = Custom.find(key);
  if (it == Custom.end() || it->second == "(none)") return {};
  return it->second;
}

int32_t FakeDriver::GetCustomParameterNumber(int key) {
  const std::string text = GetCustomParameter(key);
  if (text.empty()) return kNoNumber;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || value < INT32_MIN || value > INT32_MAX) return kNoNumber;
  return static_cast<int32_t>(value);
}

void FakeDriver::SetDeviceInfo(const korvalt::DEVICE_INFO& info) {
  std::lock_guard guard(Lock);
  Device = info;
}

void FakeDriver::SetCustomParameter(int key, std::string value) {
  std::lock_guard guard(Lock);
  Custom[key] = std::move(value);
}

std::vector<FakeDriver::Line> FakeDriver::Lines() const {
  std::lock_guard guard(Lock);
  return Kept;
}

size_t FakeDriver::Count(const std::string& needle) const {
  std::lock_guard guard(Lock);
  size_t n = 0;
  for (const Line& line : Kept) n += line.Text.find(needle) != std::string::npos ? 1 : 0;
  return n;
}

void FakeDriver::ClearLines() {
  std::lock_guard guard(Lock);
  Kept.clear();
}

}  // namespace testsupport
