#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/host/ptz.h"

namespace hostkit {

// Value a fresh record holds in every field, so a reader sees which fields the module wrote.
inline constexpr uint32_t kUnwrittenField = 0xA5A5A5A5u;

korvalt::ipcapture::PTZ_CAPABILITIES MakeCapabilityRecord(uint32_t fill = kUnwrittenField);
// The 32-bit little-endian field at a byte offset of the record, read as raw bytes the way a
// recorder built against the layout reads it.
uint32_t CapabilityField(const korvalt::ipcapture::PTZ_CAPABILITIES& record, size_t byteOffset);
// One line for people: "pan tilt zoom focus, presets 3/255".
std::string FormatCapabilities(const korvalt::ipcapture::PTZ_CAPABILITIES& record);

// "success", "invalid argument", ... or "result N".
std::string PtzResultName(int32_t result);
// "left", "right", "up", "down", "up-left", "up-right", "down-left", "down-right", "in", "out"
// to a Move direction.
std::optional<int32_t> ParseMoveDirection(std::string_view name);

// Names of the stored presets in list order; stops at the first position that cannot be read.
std::vector<std::string> PresetNames(korvalt::ipcapture::IIPPTZApi& api);
// Name of the current preset, or nullopt when there is none.
std::optional<std::string> CurrentPreset(korvalt::ipcapture::IIPPTZApi& api);

}  // namespace hostkit
