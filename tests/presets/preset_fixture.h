#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "driver/host/ptz.h"
#include "preset_test_support.h"
#include "presets/preposition_list.h"
#include "presets/smart_ptr.h"
#include "presets/xml_preposition_reader.h"

namespace presettest {

// One device: its preset file in a temporary directory, the shared reader, and a preset list per
// channel with the camera family's limit of 255 on a recording camera side.
class PresetDevice : public ::testing::Test {
 protected:
  static constexpr const char* kFile = "Quenlark_001122AABBCC.preset";
  static constexpr uint32_t kLimit = 255;

  bool OpenReader() {
    Lists.clear();
    Reader.Reset(new korvalt::CXMLPrepositionReader("Quenlark", &ReaderSink));
    return Reader->OpenFile(kFile);
  }
  // The list of a channel, initialised from the file on first use.
  korvalt::CPrepositionList& List(int32_t channel) {
    auto& list = Lists[channel];
    if (!list) {
      list = std::make_unique<korvalt::CPrepositionList>(channel);
      list->SetPresetComm(&Comm);
      list->SetMaxPrepositions(kLimit);
      list->Initialize(Reader);
    }
    return *list;
  }
  // Adds a preset as a new one: the camera has moved since the last preset call.
  int AddMoved(int32_t channel, const std::string& name) {
    List(channel).ResetCurrent();
    return List(channel).AddPreposition(name);
  }
  std::string Path() const { return Dir.File(kFile); }
  std::string FileBytes() const { return ReadFile(Path()); }
  // Names of a channel in list order, as a fresh reader loads them from the file.
  std::vector<std::string> NamesInFile(int32_t channel) {
    korvalt::TSmartPtr<korvalt::CXMLPrepositionReader> reader(new korvalt::CXMLPrepositionReader("Quenlark"));
    EXPECT_TRUE(reader->OpenFile(kFile));
    korvalt::CPrepositionList list(channel);
    list.SetMaxPrepositions(kLimit);
    list.Initialize(reader);
    std::vector<std::string> names;
    for (int i = 0; i < list.Count(); ++i) {
      std::string name;
      list.GetName(i, name);
      names.push_back(name);
    }
    return names;
  }

  PresetDir Dir;
  FakePresetComm ReaderSink;  // only its lines are used
  FakePresetComm Comm;
  korvalt::TSmartPtr<korvalt::CXMLPrepositionReader> Reader;
  std::map<int32_t, std::unique_ptr<korvalt::CPrepositionList>> Lists;
};

}  // namespace presettest
