#include "presets/xml_preposition_reader.h"

#include <ctime>
#include <string_view>

#include "driver/debug_message.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "presets/xml/atomic_file.h"

namespace korvalt {
namespace {

constexpr const char* kOpenFileOrigin = "korvalt::CXMLPrepositionReader::OpenFile";
constexpr const char* kEntryPath = "%s/PtzChannel%.2u/Preposition%.3u/%s";
constexpr const char* kChannelPath = "%s/PtzChannel%.2u";
constexpr const char* kName = "Name";
constexpr const char* kSlot = "Slot";
constexpr size_t kMaxSlotDigits = 10;  // 4294967295

// Digits only: no sign, no blanks, nothing after the number, nothing beyond 32 bits.
bool ParseSlot(std::string_view text, uint32_t& slot) {
  if (text.empty() || text.size() > kMaxSlotDigits) return false;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return false;
  slot = static_cast<uint32_t>(value);
  return true;
}

std::string CorruptSuffix() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  platform::UtcCalendarTime(now, utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
  return std::string(".corrupt-") + stamp;
}

// Only a file that is not there, or holds nothing, may be replaced by a fresh document.
bool IsMissingOrEmpty(const std::string& path) {
  return FileIsMissingOrEmpty(path);
}

}  // namespace

CXMLPrepositionReader::CXMLPrepositionReader(std::string rootName, IDebugMessage* sink)
    : RootName(std::move(rootName)), Sink(sink) {}

CXMLPrepositionReader::~CXMLPrepositionReader() {
  CSpinMutexLock guard(&Lock);
  Settings.Close();
}

bool CXMLPrepositionReader::OpenFile(const std::string& fileName) {
  std::string report;
  bool open = false;
  try {
    {
      CSpinMutexLock guard(&Lock);
      open = OpenExisting(fileName, report);
    }
    // The line goes out before the fresh file exists, and never under our lock.
    if (!report.empty() && Sink != nullptr)
      Sink->DebugMessage(ipcapture::kDebugLevelError, "%s", report.c_str());
    CSpinMutexLock guard(&Lock);
    if (!open) open = CreateAndOpen(fileName);
    AutoSave = Settings.IsOpen();
    return AutoSave;
  } catch (...) {
    return false;
  }
}

bool CXMLPrepositionReader::OpenExisting(const std::string& fileName, std::string& report) {
  const int32_t status = Settings.Open(fileName);
  if (status == 0) return true;
  if (status != CXMLSettingsAPI::kParseError) return false;
  // A fresh document written over it would lose every preset it holds.
  const std::string path = CXMLSettingsAPI::StorageDirectory() + fileName;
  const std::string aside = MoveFileAside(path, CorruptSuffix());
  if (aside.empty()) {
    report = platform::Format(
        "%s: preset file \"%s\" cannot be parsed and cannot be moved aside; it is kept as it is",
        kOpenFileOrigin, path.c_str());
  } else {
    report = platform::Format(
        "%s: preset file \"%s\" cannot be parsed; it was moved to \"%s\" and a new one is created",
        kOpenFileOrigin, path.c_str(), aside.c_str());
  }
  return false;
}

bool CXMLPrepositionReader::CreateAndOpen(const std::string& fileName) {
  if (Settings.IsOpen()) return true;
  const std::string directory = CXMLSettingsAPI::StorageDirectory();
  if (directory.empty() || !IsMissingOrEmpty(directory + fileName)) return false;
  if (Settings.CreateDocument(RootName, fileName, true) != 1) return false;
  return Settings.Open(fileName) == 0;
}

bool CXMLPrepositionReader::ReadPreposition(uint32_t channel, uint32_t position, PrepositionEntry& entry) {
  try {
    CSpinMutexLock guard(&Lock);
    std::string name = Settings.GetValue(kEntryPath, RootName.c_str(), channel + 1, position, kName);
    if (name.empty()) return false;
    uint32_t slot = 0;
    if (!ParseSlot(Settings.GetValue(kEntryPath, RootName.c_str(), channel + 1, position, kSlot), slot)) {
      return false;
    }
    entry.Name = std::move(name);
    entry.Slot = slot;
    return true;
  } catch (...) {
    return false;
  }
}

bool CXMLPrepositionReader::WritePreposition(uint32_t channel, uint32_t position,
                                             const PrepositionEntry& entry) {
  try {
    CSpinMutexLock guard(&Lock);
    if (Settings.SetValue(entry.Name, kEntryPath, RootName.c_str(), channel + 1, position, kName) <= 0) {
      return false;
    }
    if (Settings.SetValue(platform::Format("%u", entry.Slot), kEntryPath, RootName.c_str(), channel + 1,
                          position, kSlot) <= 0) {
      return false;
    }
    return !AutoSave || Settings.Save();
  } catch (...) {
    return false;
  }
}

bool CXMLPrepositionReader::RemoveChannel(uint32_t channel) {
  try {
    CSpinMutexLock guard(&Lock);
    if (!Settings.NodeExists(kChannelPath, RootName.c_str(), channel + 1)) return false;
    if (Settings.RemoveNode(kChannelPath, RootName.c_str(), channel + 1) <= 0) return false;
    return !AutoSave || Settings.Save();
  } catch (...) {
    return false;
  }
}

bool CXMLPrepositionReader::SetAutoSave(bool flag) {
  try {
    CSpinMutexLock guard(&Lock);
    if (flag == AutoSave) return true;
    AutoSave = flag;
    return !flag || Settings.Save();
  } catch (...) {
    return false;
  }
}

}  // namespace korvalt
