#pragma once
// Shared by the preset tests and the crash helper: a camera side that records its requests, and a
// temporary preset directory named by QUENLARK_PRESET_DIR.

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/format.h"
#include "ptz/preposition_comm.h"
#include "support/environment.h"

namespace presettest {

// The channel's camera side: every request is recorded, each kind can be told to fail, and the
// diagnostic lines are kept. Requests and lines may come from any thread.
class FakePresetComm : public korvalt::IPrepositionComm {
 public:
  struct Call {
    std::string Operation;  // "store", "go", "delete"
    int32_t Slot = 0;
    std::string Name;
    bool operator==(const Call&) const = default;
  };
  struct Line {
    int Level = 0;
    std::string Text;
    bool operator==(const Line&) const = default;
  };

  bool StorePreposition(int32_t slot, const std::string& name) override {
    return Record("store", slot, name);
  }
  bool GotoPreposition(int32_t slot, const std::string& name, int32_t param) override {
    LastParam = param;
    return Record("go", slot, name);
  }
  bool DeletePreposition(int32_t slot, const std::string& name) override {
    return Record("delete", slot, name);
  }

  void DebugMessage(int level, const char* format, ...) override __attribute__((format(printf, 3, 4))) {
    va_list args;
    va_start(args, format);
    std::string text = korvalt::platform::FormatV(format, args);
    va_end(args);
    std::lock_guard guard(Lock);
    Kept.push_back({level, std::move(text)});
  }

  std::vector<Call> Calls() {
    std::lock_guard guard(Lock);
    return Made;
  }
  std::vector<Line> Lines() {
    std::lock_guard guard(Lock);
    return Kept;
  }
  void Clear() {
    std::lock_guard guard(Lock);
    Made.clear();
    Kept.clear();
  }

  // Set before the list runs.
  bool RefuseStore = false;
  bool RefuseGo = false;
  bool RefuseDelete = false;
  int32_t LastParam = 0;
  // Runs at the start of each request, outside the lock: a camera that takes its time.
  std::function<void()> OnRequest;

 private:
  bool Record(const char* operation, int32_t slot, const std::string& name) {
    if (OnRequest) OnRequest();
    std::lock_guard guard(Lock);
    Made.push_back({operation, slot, name});
    const std::string op = operation;
    return !(op == "store" ? RefuseStore : op == "go" ? RefuseGo : RefuseDelete);
  }

  std::mutex Lock;  // guards Made and Kept
  std::vector<Call> Made;
  std::vector<Line> Kept;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

#ifdef QUENLARK_TEST_DATA
inline std::string Golden(const std::string& name) {
  return ReadFile(std::string(QUENLARK_TEST_DATA) + "/presets/" + name);
}
#endif

// File names in a directory, sorted.
inline std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A fresh directory in the system's temporary directory that QUENLARK_PRESET_DIR names while the
// object lives.
class PresetDir {
 public:
  PresetDir() {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::random_device random;
    for (int attempt = 0; attempt < 100 && Dir.empty(); ++attempt) {
      const std::filesystem::path candidate = base / ("presets-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate, error)) Dir = candidate.generic_string();
    }
    testsupport::SetEnvironment("QUENLARK_PRESET_DIR", Dir.c_str());
  }
  ~PresetDir() {
    testsupport::SetEnvironment("QUENLARK_PRESET_DIR", nullptr);
    std::error_code error;
    std::filesystem::remove_all(Dir, error);
  }
  PresetDir(const PresetDir&) = delete;
  PresetDir& operator=(const PresetDir&) = delete;

  const std::string& Path() const { return Dir; }
  std::string File(const std::string& name) const { return Dir + "/" + name; }

 private:
  std::string Dir;
};

}  // namespace presettest
