// Preset operations on a full device: 4 channels of 255 presets in one file. Every change rewrites
// and flushes the whole file, so add, rename and remove cost about one atomic save of it; go only
// asks the camera. file_bytes is the size of the preset file.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "presets/preposition_list.h"
#include "presets/smart_ptr.h"
#include "presets/xml_preposition_reader.h"
#include "ptz/preposition_comm.h"

namespace {

constexpr const char* kFile = "Quenlark_BENCH.preset";
constexpr int kChannels = 4;
constexpr uint32_t kLimit = 255;

// A camera that answers every preset request at once.
class InstantCamera : public korvalt::IPrepositionComm {
 public:
  void DebugMessage(int, const char*, ...) override {}
  bool StorePreposition(int32_t, const std::string&) override { return true; }
  bool GotoPreposition(int32_t, const std::string&, int32_t) override { return true; }
};

// The device's file in a directory of its own: QUENLARK_PRESET_DIR when set (to measure another
// disk), else under /tmp. Channel 3 has one slot free so that an add can succeed.
class FullDevice {
 public:
  FullDevice() {
    const char* configured = getenv("QUENLARK_PRESET_DIR");
    if (configured == nullptr || *configured == '\0') {
      std::string pattern = "/tmp/preset-bench-XXXXXX";
      if (mkdtemp(pattern.data()) != nullptr) Owned = pattern;
      setenv("QUENLARK_PRESET_DIR", Owned.c_str(), 1);
    }
    Path = korvalt::CXMLSettingsAPI::StorageDirectory() + kFile;
    std::filesystem::remove(Path);
    Reader.Reset(new korvalt::CXMLPrepositionReader("Quenlark"));
    Reader->OpenFile(kFile);
    // One save for the whole set-up.
    Reader->SetAutoSave(false);
    for (int channel = 0; channel < kChannels; ++channel) {
      const uint32_t count = channel == kChannels - 1 ? kLimit - 1 : kLimit;
      for (uint32_t slot = 0; slot < count; ++slot) {
        Reader->WritePreposition(static_cast<uint32_t>(channel), slot,
                                 {"Preset " + std::to_string(channel) + "-" + std::to_string(slot), slot});
      }
    }
    Reader->SetAutoSave(true);
    for (int channel = 0; channel < kChannels; ++channel) {
      Lists.push_back(std::make_unique<korvalt::CPrepositionList>(channel));
      Lists.back()->SetPresetComm(&Camera);
      Lists.back()->SetMaxPrepositions(kLimit);
      Lists.back()->Initialize(Reader);
    }
  }
  ~FullDevice() {
    Lists.clear();
    Reader.Reset();
    if (!Owned.empty()) {
      std::filesystem::remove_all(Owned);
      unsetenv("QUENLARK_PRESET_DIR");
    }
  }

  korvalt::CPrepositionList& List(int channel) { return *Lists[static_cast<size_t>(channel)]; }
  double FileBytes() const {
    struct stat info {};
    return stat(Path.c_str(), &info) == 0 ? static_cast<double>(info.st_size) : 0;
  }

 private:
  std::string Owned;
  std::string Path;
  InstantCamera Camera;
  korvalt::TSmartPtr<korvalt::CXMLPrepositionReader> Reader;
  std::vector<std::unique_ptr<korvalt::CPrepositionList>> Lists;
};

void Finish(benchmark::State& state, const FullDevice& device, int count) {
  state.counters["file_bytes"] = device.FileBytes();
  state.counters["presets"] = count;
}

void BM_PresetAdd(benchmark::State& state) {
  FullDevice device;
  korvalt::CPrepositionList& list = device.List(kChannels - 1);
  for (auto _ : state) {
    list.ResetCurrent();
    if (list.AddPreposition("Added") != 1) state.SkipWithError("add failed");
    state.PauseTiming();
    list.Remove("Added");
    state.ResumeTiming();
  }
  Finish(state, device, kChannels * kLimit - 1);
}

void BM_PresetRename(benchmark::State& state) {
  FullDevice device;
  korvalt::CPrepositionList& list = device.List(0);
  list.Goto("Preset 0-100", 0);
  bool flip = false;
  for (auto _ : state) {
    flip = !flip;
    if (list.AddPreposition(flip ? "Renamed A" : "Renamed B") != 1) state.SkipWithError("rename failed");
  }
  Finish(state, device, kChannels * kLimit - 1);
}

void BM_PresetGo(benchmark::State& state) {
  FullDevice device;
  korvalt::CPrepositionList& list = device.List(0);
  bool flip = false;
  for (auto _ : state) {
    flip = !flip;
    // The last preset of the channel: the lookup walks all 255 names.
    if (!list.Goto(flip ? "Preset 0-254" : "Preset 0-253", 0)) state.SkipWithError("go failed");
  }
  Finish(state, device, kChannels * kLimit - 1);
}

void BM_PresetRemove(benchmark::State& state) {
  FullDevice device;
  korvalt::CPrepositionList& list = device.List(0);
  for (auto _ : state) {
    // The first preset: the whole channel moves up one position when it is rewritten.
    if (!list.Remove("Preset 0-0")) state.SkipWithError("remove failed");
    state.PauseTiming();
    list.ResetCurrent();
    list.AddPreposition("Preset 0-0");
    state.ResumeTiming();
  }
  Finish(state, device, kChannels * kLimit - 1);
}

// Opening a device's file and loading every channel's list, as the first PTZ requests after a
// start do, for 16 to 256 full channels: the time per preset stays the same as the file grows.
void BM_PresetLoad(benchmark::State& state) {
  const auto channels = static_cast<uint32_t>(state.range(0));
  FullDevice scratch;  // owns the directory
  const std::string file = "Quenlark_LOAD.preset";
  {
    korvalt::TSmartPtr<korvalt::CXMLPrepositionReader> writer(new korvalt::CXMLPrepositionReader("Quenlark"));
    writer->OpenFile(file);
    writer->SetAutoSave(false);
    for (uint32_t channel = 0; channel < channels; ++channel) {
      for (uint32_t slot = 0; slot < kLimit; ++slot) {
        writer->WritePreposition(channel, slot,
                                 {"Preset " + std::to_string(channel) + "-" + std::to_string(slot), slot});
      }
    }
    writer->SetAutoSave(true);
  }
  InstantCamera camera;
  int64_t loaded = 0;
  for (auto _ : state) {
    korvalt::TSmartPtr<korvalt::CXMLPrepositionReader> reader(new korvalt::CXMLPrepositionReader("Quenlark"));
    if (!reader->OpenFile(file)) state.SkipWithError("open failed");
    for (uint32_t channel = 0; channel < channels; ++channel) {
      korvalt::CPrepositionList list(static_cast<int32_t>(channel));
      list.SetPresetComm(&camera);
      list.SetMaxPrepositions(kLimit);
      list.Initialize(reader);
      loaded += list.Count();
    }
  }
  state.SetItemsProcessed(loaded);
  struct stat info {};
  const std::string path = korvalt::CXMLSettingsAPI::StorageDirectory() + file;
  state.counters["file_bytes"] = stat(path.c_str(), &info) == 0 ? static_cast<double>(info.st_size) : 0;
  state.counters["presets"] = static_cast<double>(channels * kLimit);
}

BENCHMARK(BM_PresetAdd)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PresetRename)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PresetGo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PresetRemove)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PresetLoad)->Arg(16)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);

}  // namespace
