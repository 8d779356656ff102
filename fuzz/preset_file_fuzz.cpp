// Preset file loading on arbitrary bytes: opening never crashes or grows without bound, an
// unparsable file is moved aside with its bytes intact, and a document that loaded is saved in a
// form that loads again with the same entries.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/debug_message.h"
#include "presets/preposition_list.h"
#include "presets/smart_ptr.h"
#include "presets/xml_preposition_reader.h"
#include "ptz/preposition_comm.h"

namespace {

constexpr const char* kFile = "Quenlark_FUZZ.preset";
constexpr uint32_t kChannels[] = {0, 1, 9};
constexpr uint32_t kPositions = 8;

class NullSink : public IDebugMessage {
 public:
  void DebugMessage(int, const char*, ...) override {}
};

// A camera that stores every preset.
class Camera : public korvalt::IPrepositionComm {
 public:
  void DebugMessage(int, const char*, ...) override {}
  bool StorePreposition(int32_t, const std::string&) override { return true; }
  bool GotoPreposition(int32_t, const std::string&, int32_t) override { return true; }
};

std::vector<std::string> Names(korvalt::CPrepositionList& list) {
  std::vector<std::string> names;
  for (int position = 0; position < list.Count(); ++position) {
    std::string name;
    list.GetName(position, name);
    names.push_back(name);
  }
  return names;
}

bool Clean(std::string* aside);

// One directory for the whole run, on tmpfs when there is one: every input is written to disk.
// Never destroyed: the exit handler that removes the directory runs after static destructors.
const std::string& Directory() {
  static const std::string* directory = new std::string([] {
    std::string pattern =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/preset-fuzz-XXXXXX" : "/tmp/preset-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    setenv("QUENLARK_PRESET_DIR", pattern.c_str(), 1);
    std::atexit([] {
      Clean(nullptr);
      rmdir(Directory().c_str());
    });
    return pattern;
  }());
  return *directory;
}

// Removes every file in the directory; returns the bytes of the one moved aside, if any.
bool Clean(std::string* aside) {
  bool found = false;
  DIR* dir = opendir(Directory().c_str());
  if (dir == nullptr) std::abort();
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    const std::string path = Directory() + "/" + name;
    if (name.find(".corrupt-") != std::string::npos && aside != nullptr) {
      std::ifstream in(path, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      *aside = bytes.str();
      found = true;
    }
    unlink(path.c_str());
  }
  return found;
}

using Entries = std::vector<std::pair<bool, korvalt::PrepositionEntry>>;

Entries ReadSome(korvalt::CXMLPrepositionReader& reader) {
  Entries entries;
  for (const uint32_t channel : kChannels) {
    for (uint32_t position = 0; position < kPositions; ++position) {
      korvalt::PrepositionEntry entry;
      const bool ok = reader.ReadPreposition(channel, position, entry);
      if (ok && entry.Name.empty()) std::abort();
      entries.emplace_back(ok, ok ? entry : korvalt::PrepositionEntry{});
    }
  }
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Clean(nullptr);
  const std::string input(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(Directory() + "/" + kFile, std::ios::binary);
    out << input;
  }
  NullSink sink;
  korvalt::TSmartPtr<korvalt::CXMLPrepositionReader> reader(
      new korvalt::CXMLPrepositionReader("Quenlark", &sink));
  if (!reader->OpenFile(kFile)) std::abort();  // the directory is writable: a fresh file at worst
  const Entries first = ReadSome(*reader);

  std::string aside;
  const bool movedAside = Clean(&aside);
  if (movedAside && aside != input) std::abort();
  if (movedAside) return 0;

  // What loaded is saved, and loads again unchanged.
  if (!reader->SetAutoSave(false) || !reader->SetAutoSave(true)) std::abort();
  korvalt::TSmartPtr<korvalt::CXMLPrepositionReader> again(
      new korvalt::CXMLPrepositionReader("Quenlark", &sink));
  if (!again->OpenFile(kFile)) std::abort();
  const Entries second = ReadSome(*again);
  for (size_t i = 0; i < first.size(); ++i) {
    if (first[i].first != second[i].first || first[i].second.Name != second[i].second.Name ||
        first[i].second.Slot != second[i].second.Slot) {
      std::abort();
    }
  }
  if (Clean(nullptr)) std::abort();  // our own file never fails to parse

  // The list over the same document: an add lands on its own entry, whatever the load skipped,
  // and the file then holds the channel exactly as the list does.
  Camera camera;
  korvalt::CPrepositionList list(0);
  list.SetPresetComm(&camera);
  list.SetMaxPrepositions(255);
  list.Initialize(again);
  list.ResetCurrent();
  if (list.AddPreposition("Fuzz") == 1) {
    korvalt::TSmartPtr<korvalt::CXMLPrepositionReader> check(
        new korvalt::CXMLPrepositionReader("Quenlark", &sink));
    if (!check->OpenFile(kFile)) std::abort();
    korvalt::CPrepositionList reloaded(0);
    reloaded.SetMaxPrepositions(255);
    reloaded.Initialize(check);
    if (Names(reloaded) != Names(list)) std::abort();
  }
  again->SetAutoSave(false);
  again->RemoveChannel(0);
  again->WritePreposition(0, 0, {"Fuzz", 1});
  return 0;
}
