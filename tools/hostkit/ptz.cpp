#include "tools/hostkit/ptz.h"

#include <array>
#include <cstring>
#include <utility>

namespace hostkit {
namespace ipc = korvalt::ipcapture;

namespace {
// Every name the module stores, with its terminating zero.
constexpr uint32_t kNameBufferSize = ipc::kPtzMaxPresetNameLength + 1;
// A preset file written before names were limited may hold longer ones: the buffer grows up to
// this for them.
constexpr uint32_t kLargestNameBuffer = 1024 * 1024;

// Calls get(buffer, size) with a buffer that grows while the module answers that it is too small.
template <typename Get>
std::optional<std::string> ReadName(Get get) {
  for (uint32_t size = kNameBufferSize; size <= kLargestNameBuffer; size *= 2) {
    std::vector<char> buffer(size);
    const int32_t result = get(buffer.data(), size);
    if (result == ipc::kPtzSuccess) return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
    if (result != ipc::kPtzInvalidArgument) return std::nullopt;
  }
  return std::nullopt;
}
}  // namespace

ipc::PTZ_CAPABILITIES MakeCapabilityRecord(uint32_t fill) {
  ipc::PTZ_CAPABILITIES record;
  std::array<uint32_t, sizeof record / sizeof(uint32_t)> words;
  words.fill(fill);
  static_assert(sizeof words == sizeof record);
  std::memcpy(&record, words.data(), sizeof record);
  return record;
}

uint32_t CapabilityField(const ipc::PTZ_CAPABILITIES& record, size_t byteOffset) {
  if (byteOffset + sizeof(uint32_t) > sizeof record) return 0;
  uint8_t bytes[sizeof(uint32_t)];
  std::memcpy(bytes, reinterpret_cast<const uint8_t*>(&record) + byteOffset, sizeof bytes);
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

std::string FormatCapabilities(const ipc::PTZ_CAPABILITIES& record) {
  const std::pair<uint32_t, const char*> flags[] = {
      {record.CanPan, "pan"},       {record.CanTilt, "tilt"},     {record.CanZoom, "zoom"},
      {record.CanFocus, "focus"},   {record.CanIris, "iris"},     {record.CanAreaZoom, "area-zoom"},
      {record.CanCenter, "center"}, {record.CanUnzoom, "unzoom"},
  };
  std::string text;
  for (const auto& [set, name] : flags) {
    if (set == 0) continue;
    if (!text.empty()) text += ' ';
    text += name;
  }
  if (text.empty()) text = "none";
  return text + ", presets " + std::to_string(record.PrepositionCount) + "/" +
         std::to_string(record.MaxPrepositions);
}

std::string PtzResultName(int32_t result) {
  switch (result) {
    case ipc::kPtzSuccess:
      return "success";
    case ipc::kPtzInvalidArgument:
      return "invalid argument";
    case ipc::kPtzNotAvailable:
      return "PTZ not available";
    case ipc::kPtzNotSupported:
      return "not supported by the camera";
    case ipc::kPtzPresetFailed:
      return "preset operation failed";
    case ipc::kPtzPresetLimit:
      return "preset limit reached";
    default:
      return "result " + std::to_string(result);
  }
}

std::optional<int32_t> ParseMoveDirection(std::string_view name) {
  static constexpr std::pair<std::string_view, int32_t> kNames[] = {
      {"left", ipc::kPtzMoveLeft},
      {"right", ipc::kPtzMoveRight},
      {"up", ipc::kPtzMoveUp},
      {"down", ipc::kPtzMoveDown},
      {"up-left", ipc::kPtzMoveUpLeft},
      {"up-right", ipc::kPtzMoveUpRight},
      {"down-left", ipc::kPtzMoveDownLeft},
      {"down-right", ipc::kPtzMoveDownRight},
      {"in", ipc::kPtzZoomIn},
      {"out", ipc::kPtzZoomOut},
  };
  for (const auto& [text, direction] : kNames) {
    if (text == name) return direction;
  }
  return std::nullopt;
}

std::vector<std::string> PresetNames(ipc::IIPPTZApi& api) {
  std::vector<std::string> names;
  const int32_t count = api.GetPrepositionCount();
  for (int32_t index = 0; index < count; ++index) {
    std::optional<std::string> name =
        ReadName([&](char* buffer, uint32_t size) { return api.GetPrepositionName(index, buffer, size); });
    if (!name) break;
    names.push_back(std::move(*name));
  }
  return names;
}

std::optional<std::string> CurrentPreset(ipc::IIPPTZApi& api) {
  return ReadName([&](char* buffer, uint32_t size) { return api.GetCurrentPreposition(buffer, size); });
}

}  // namespace hostkit
