#include "presets/xml_preposition_reader.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <string_view>

#include "driver/debug_message.h"
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
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
  return std::string(".corrupt-") + stamp;
}

int64_t FileSize(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

size_t DecimalDigits(uint32_t value) {
  size_t digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

// Readers of this process whose file is open, by root name and path. Every driver of a device
// (same MAC address) shares one, so that no driver's save overwrites another's presets. The map
// exists only while it holds readers, so nothing is left when the module is unloaded; the lock
// has nothing to destroy, so drivers may still be deleted while the process exits.
using SharedReaderMap = std::map<std::string, TSmartPtr<CXMLPrepositionReader>>;
std::mutex SharedLock;                       // guards SharedReaders and every share taken of them
SharedReaderMap* SharedReaders = nullptr;  // owned; null while empty

// Only a file that is not there, or holds nothing, may be replaced by a fresh document.
bool IsMissingOrEmpty(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return errno == ENOENT;
  return S_ISREG(info.st_mode) && info.st_size == 0;
}

}  // namespace

size_t CXMLPrepositionReader::WrittenNameBytes(std::string_view name) {
  size_t bytes = 0;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      bytes += 5;  // "&#10;"
    } else if (c == '&' || c == '<' || c == '>' || c == '"' || c == '\'') {
      bytes += 6;  // "&quot;"
    } else {
      bytes += 1;
    }
  }
  return bytes;
}

TSmartPtr<CXMLPrepositionReader> CXMLPrepositionReader::OpenShared(const std::string& rootName,
                                                                   const std::string& fileName,
                                                                   IDebugMessage* sink, bool& opened) {
  opened = false;
  const std::string key = rootName + '\n' + CXMLSettingsAPI::StorageDirectory() + fileName;
  {
    std::lock_guard guard(SharedLock);
    if (SharedReaders != nullptr) {
      const auto found = SharedReaders->find(key);
      if (found != SharedReaders->end()) {
        opened = true;
        return found->second;
      }
    }
  }
  // Opened outside the lock: opening may report a file moved aside to the host.
  TSmartPtr<CXMLPrepositionReader> reader(new (std::nothrow) CXMLPrepositionReader(rootName, sink));
  if (!reader) return reader;
  opened = reader->OpenFile(fileName);
  // One that failed is not offered: the next driver tries the file again.
  if (!opened) return reader;
  std::lock_guard guard(SharedLock);
  if (SharedReaders == nullptr) SharedReaders = new SharedReaderMap;
  // Another driver opened the same file meanwhile: both use the first, and this one, which has
  // not written anything, goes.
  const auto [at, added] = SharedReaders->emplace(key, reader);
  return at->second;
}

void CXMLPrepositionReader::ReleaseUnused() {
  std::lock_guard guard(SharedLock);
  if (SharedReaders == nullptr) return;
  // A count of 1 is the map's own share; nobody else can copy it, so it cannot grow while the
  // lock is held.
  for (auto at = SharedReaders->begin(); at != SharedReaders->end();) {
    at = at->second.UseCount() <= 1 ? SharedReaders->erase(at) : std::next(at);
  }
  if (SharedReaders->empty()) {
    delete SharedReaders;
    SharedReaders = nullptr;
  }
}

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

bool CXMLPrepositionReader::HasRoomFor(uint32_t channel, uint32_t position, const PrepositionEntry& entry) {
  try {
    CSpinMutexLock guard(&Lock);
    const int64_t size = FileSize(Settings.GetFilePath());
    if (size < 0) return true;  // nothing to measure: the write fails on its own
    size_t growth = WrittenNameBytes(entry.Name) + DecimalDigits(entry.Slot);
    if (Settings.NodeExists(kEntryPath, RootName.c_str(), channel + 1, position, kName)) {
      const size_t old = Settings.GetValue(kEntryPath, RootName.c_str(), channel + 1, position, kName).size();
      growth = growth > old ? growth - old : 0;
    } else {
      growth += kEntryOverhead;
      if (!Settings.NodeExists(kChannelPath, RootName.c_str(), channel + 1)) growth += kChannelOverhead;
    }
    return size + static_cast<int64_t>(growth) <= CXMLSettingsAPI::kMaxFileBytes;
  } catch (...) {
    return false;
  }
}

uint64_t CXMLPrepositionReader::Generation(uint32_t channel) {
  CSpinMutexLock guard(&Lock);
  const auto found = Generations.find(channel);
  return found == Generations.end() ? 0 : found->second;
}

bool CXMLPrepositionReader::WritePreposition(uint32_t channel, uint32_t position,
                                             const PrepositionEntry& entry) {
  try {
    CSpinMutexLock guard(&Lock);
    ++Generations[channel];
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
    ++Generations[channel];
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
