// Adds and removes presets on channels 0 and 1 of one device until it is killed, in the preset
// directory that QUENLARK_PRESET_DIR names. Writes to stdout, one line per step and unbuffered:
//   ready                     the lists are loaded
//   + CHANNEL NAME            an add starts        A CHANNEL NAME RESULT   it returned RESULT
//   - CHANNEL NAME            a remove starts      R CHANNEL NAME RESULT   it returned RESULT (1/0)
// Usage: preset_crash_child SEED
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "preset_test_support.h"
#include "presets/preposition_list.h"
#include "presets/xml_preposition_reader.h"

namespace {

constexpr int kChannels = 2;
constexpr int kMaxPresets = 30;
constexpr int kMaxSteps = 100000;  // a child nobody kills still ends

void Say(const std::string& line) {
  const std::string text = line + "\n";
  if (::write(STDOUT_FILENO, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::_Exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const unsigned long seed = std::strtoul(argv[1], nullptr, 10);
  std::mt19937 random(static_cast<uint32_t>(seed));

  presettest::FakePresetComm comm;
  korvalt::TSmartPtr<korvalt::CXMLPrepositionReader> reader(
      new korvalt::CXMLPrepositionReader("Quenlark", &comm));
  if (!reader->OpenFile("Quenlark_CRASH.preset")) return 3;
  korvalt::CPrepositionList channel0(0);
  korvalt::CPrepositionList channel1(1);
  korvalt::CPrepositionList* lists[kChannels] = {&channel0, &channel1};
  for (korvalt::CPrepositionList* list : lists) {
    list->SetPresetComm(&comm);
    list->SetMaxPrepositions(255);
    list->Initialize(reader);
  }
  Say("ready");

  for (int step = 0; step < kMaxSteps; ++step) {
    const int channel = static_cast<int>(random() % kChannels);
    korvalt::CPrepositionList& list = *lists[channel];
    const int count = list.Count();
    const bool add = count < 3 || (count < kMaxPresets && random() % 3 != 0);
    if (add) {
      const std::string name = "s" + std::to_string(seed) + "n" + std::to_string(step);
      Say("+ " + std::to_string(channel) + " " + name);
      list.ResetCurrent();
      const int result = list.AddPreposition(name);
      Say("A " + std::to_string(channel) + " " + name + " " + std::to_string(result));
    } else {
      std::string name;
      list.GetName(static_cast<int32_t>(random() % static_cast<uint32_t>(count)), name);
      Say("- " + std::to_string(channel) + " " + name);
      const bool removed = list.Remove(name);
      Say("R " + std::to_string(channel) + " " + name + " " + (removed ? "1" : "0"));
    }
  }
  return 0;
}
