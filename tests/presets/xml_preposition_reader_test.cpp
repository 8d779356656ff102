#include "presets/xml_preposition_reader.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "driver/host/device_params.h"
#include "preset_fixture.h"

namespace {

namespace ipc = korvalt::ipcapture;
using korvalt::PrepositionEntry;
using presettest::Golden;
using presettest::ListDirectory;
using presettest::ReadFile;
using presettest::WriteFile;

class PresetFile : public presettest::PresetDevice {};

TEST_F(PresetFile, FirstStartCreatesDeclarationAndEmptyRoot) {
  ASSERT_TRUE(OpenReader());
  EXPECT_EQ(FileBytes(), Golden("fresh.preset"));
  EXPECT_TRUE(ReaderSink.Lines().empty());
}

TEST_F(PresetFile, EmptyFileIsReplacedByAFreshOne) {
  WriteFile(Path(), "");
  ASSERT_TRUE(OpenReader());
  EXPECT_EQ(FileBytes(), Golden("fresh.preset"));
  EXPECT_EQ(ListDirectory(Dir.Path()), std::vector<std::string>{kFile});
}

TEST_F(PresetFile, FirstPresetOnChannel0) {
  ASSERT_TRUE(OpenReader());
  ASSERT_EQ(List(0).AddPreposition("Door"), ipc::kPtzSuccess);
  EXPECT_EQ(FileBytes(), Golden("first_preset.preset"));
}

TEST_F(PresetFile, ThreePresetsOnChannels0And9) {
  ASSERT_TRUE(OpenReader());
  ASSERT_EQ(AddMoved(0, "Door"), ipc::kPtzSuccess);
  ASSERT_EQ(AddMoved(0, "Gate"), ipc::kPtzSuccess);
  ASSERT_EQ(AddMoved(9, "Süd 50%"), ipc::kPtzSuccess);
  EXPECT_EQ(FileBytes(), Golden("three_presets.preset"));
}

// Removal rewrites the channel: its element goes to the end and the root keeps one more line feed.
// The same must hold whether the document was built in this run or loaded from the file.
TEST_F(PresetFile, LayoutAfterRemoval) {
  for (const bool reload : {false, true}) {
    SCOPED_TRACE(reload ? "loaded from the file" : "built in this run");
    std::error_code ignored;
    std::filesystem::remove(Path(), ignored);
    if (reload) WriteFile(Path(), Golden("three_presets.preset"));
    ASSERT_TRUE(OpenReader());
    if (!reload) {
      ASSERT_EQ(AddMoved(0, "Door"), ipc::kPtzSuccess);
      ASSERT_EQ(AddMoved(0, "Gate"), ipc::kPtzSuccess);
      ASSERT_EQ(AddMoved(9, "Süd 50%"), ipc::kPtzSuccess);
    }
    ASSERT_TRUE(List(0).Remove("Door"));
    EXPECT_EQ(FileBytes(), Golden("after_removal.preset"));
  }
}

TEST_F(PresetFile, GoldenFilesLoadAndSaveUnchanged) {
  struct Expected {
    const char* File;
    std::vector<std::string> Channel0;
    std::vector<std::string> Channel9;
  };
  const std::vector<Expected> cases = {
      {"fresh.preset", {}, {}},
      {"first_preset.preset", {"Door"}, {}},
      {"three_presets.preset", {"Door", "Gate"}, {"Süd 50%"}},
      {"after_removal.preset", {"Gate"}, {"Süd 50%"}},
  };
  for (const Expected& expected : cases) {
    SCOPED_TRACE(expected.File);
    WriteFile(Path(), Golden(expected.File));
    ASSERT_TRUE(OpenReader());
    EXPECT_EQ(NamesInFile(0), expected.Channel0);
    EXPECT_EQ(NamesInFile(9), expected.Channel9);
    ASSERT_TRUE(Reader->SetAutoSave(false));
    ASSERT_TRUE(Reader->SetAutoSave(true)) << "saves";
    EXPECT_EQ(FileBytes(), Golden(expected.File));
  }
}

struct CorruptCase {
  const char* Label;
  std::string Bytes;
};

// file + ".corrupt-YYYYMMDDThhmmss".
bool IsCorruptName(const std::string& name, const std::string& file) {
  const std::string prefix = file + ".corrupt-";
  if (name.size() != prefix.size() + 15 || name.compare(0, prefix.size(), prefix) != 0) return false;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    const bool wanted =
        i - prefix.size() == 8 ? name[i] == 'T' : std::isdigit(static_cast<unsigned char>(name[i])) != 0;
    if (!wanted) return false;
  }
  return true;
}

// CTest lists each case by its label, not by its bytes.
void PrintTo(const CorruptCase& c, std::ostream* out) {
  *out << c.Label;
}

std::string RandomBytes(uint32_t seed, size_t size) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

class CorruptPresetFile : public presettest::PresetDevice,
                          public ::testing::WithParamInterface<CorruptCase> {};

TEST_P(CorruptPresetFile, IsMovedAsideUnchangedAndReplacedWithAFreshFile) {
  const std::string& bytes = GetParam().Bytes;
  WriteFile(Path(), bytes);
  ASSERT_TRUE(OpenReader());
  EXPECT_EQ(FileBytes(), Golden("fresh.preset"));

  const std::vector<std::string> files = ListDirectory(Dir.Path());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], kFile);
  EXPECT_TRUE(IsCorruptName(files[1], kFile)) << files[1];
  EXPECT_EQ(ReadFile(Dir.File(files[1])), bytes);

  const auto lines = ReaderSink.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Level, ipc::kDebugLevelError);
  EXPECT_EQ(lines[0].Text.rfind("korvalt::CXMLPrepositionReader::OpenFile: ", 0), 0u) << lines[0].Text;
  EXPECT_NE(lines[0].Text.find(files[1]), std::string::npos) << "names where the presets went";

  EXPECT_EQ(AddMoved(0, "Door"), ipc::kPtzSuccess) << "the fresh file is in use";
}

INSTANTIATE_TEST_SUITE_P(
    Files, CorruptPresetFile,
    ::testing::Values(CorruptCase{"Truncated", Golden("three_presets.preset").substr(0, 200)},
                      CorruptCase{"RandomBytes", RandomBytes(20261208, 4096)},
                      CorruptCase{"BinaryAfterRoot", Golden("first_preset.preset") + "\x01\x02"},
                      CorruptCase{"TooLarge", std::string(5 * 1024 * 1024, '<')}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(PresetFile, SecondCorruptionInTheSameSecondGetsItsOwnName) {
  for (const char* bytes : {"first <broken", "second <broken", "third <broken"}) {
    WriteFile(Path(), bytes);
    ASSERT_TRUE(OpenReader());
  }
  const std::vector<std::string> files = ListDirectory(Dir.Path());
  ASSERT_EQ(files.size(), 4u);
  std::vector<std::string> kept;
  for (size_t i = 1; i < files.size(); ++i) kept.push_back(ReadFile(Dir.File(files[i])));
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{"first <broken", "second <broken", "third <broken"}));
}

TEST_F(PresetFile, FileThatCannotBeReadIsLeftAloneAndNothingIsSaved) {
  ASSERT_TRUE(std::filesystem::create_directory(Path()));
  EXPECT_FALSE(OpenReader());
  EXPECT_EQ(ListDirectory(Dir.Path()), std::vector<std::string>{kFile});
  PrepositionEntry entry;
  EXPECT_FALSE(Reader->ReadPreposition(0, 0, entry));
  EXPECT_FALSE(Reader->WritePreposition(0, 0, {"Door", 0}));
  EXPECT_EQ(List(0).AddPreposition("Door"), ipc::kPtzNotAvailable) << "stored on the camera, not in the file";
  EXPECT_EQ(List(0).Count(), 1);
}

TEST_F(PresetFile, DirectoryThatCannotBeWrittenFailsWithoutACrash) {
  for (const std::string& directory : {Dir.File("plain-file"), Dir.File("missing")}) {
    SCOPED_TRACE(directory);
    WriteFile(Dir.File("plain-file"), "x");
    testsupport::SetEnvironment("QUENLARK_PRESET_DIR", directory.c_str());
    EXPECT_FALSE(OpenReader());
    EXPECT_EQ(List(0).AddPreposition("Door"), ipc::kPtzNotAvailable);
    EXPECT_FALSE(List(0).Remove("Door"));
    EXPECT_EQ(List(0).Count(), 0) << "the camera deleted it";
  }
}

struct SlotCase {
  const char* Text;
  bool Readable;
  uint32_t Slot;
};

TEST_F(PresetFile, SlotIsReadAsAPlainUnsignedDecimal) {
  const std::vector<SlotCase> cases = {
      {"0", true, 0},
      {"7", true, 7},
      {"007", true, 7},
      {"254", true, 254},
      {"4294967295", true, 4294967295u},
      {"4294967296", false, 0},
      {"99999999999", false, 0},
      {"", false, 0},
      {"-1", false, 0},
      {"+1", false, 0},
      {" 1", false, 0},
      {"1 ", false, 0},
      {"1x", false, 0},
      {"0x10", false, 0},
      {"one", false, 0},
      {"1.0", false, 0},
  };
  std::string body = "<?xml version='1.0' encoding='utf-8'?>\n<Quenlark><PtzChannel01>";
  for (size_t i = 0; i < cases.size(); ++i) {
    body += korvalt::platform::Format(
        "<Preposition%.3u><Name value=\"N%u\"/><Slot value=\"%s\"/></Preposition%.3u>",
        static_cast<unsigned>(i), static_cast<unsigned>(i), cases[i].Text, static_cast<unsigned>(i));
  }
  body += "</PtzChannel01></Quenlark>\n";
  WriteFile(Path(), body);
  ASSERT_TRUE(OpenReader());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].Text);
    PrepositionEntry entry;
    ASSERT_EQ(Reader->ReadPreposition(0, static_cast<uint32_t>(i), entry), cases[i].Readable);
    if (cases[i].Readable) {
      EXPECT_EQ(entry.Name, "N" + std::to_string(i));
      EXPECT_EQ(entry.Slot, cases[i].Slot);
    }
  }
}

TEST_F(PresetFile, RemoveChannelRemovesOnlyAnExistingChannel) {
  ASSERT_TRUE(OpenReader());
  EXPECT_FALSE(Reader->RemoveChannel(0));
  ASSERT_TRUE(Reader->WritePreposition(0, 0, {"Door", 3}));
  ASSERT_TRUE(Reader->WritePreposition(1, 0, {"Gate", 4}));
  EXPECT_TRUE(Reader->RemoveChannel(0));
  PrepositionEntry entry;
  EXPECT_FALSE(Reader->ReadPreposition(0, 0, entry));
  ASSERT_TRUE(Reader->ReadPreposition(1, 0, entry));
  EXPECT_EQ(entry.Name, "Gate");
  EXPECT_EQ(entry.Slot, 4u);
  EXPECT_EQ(NamesInFile(0), std::vector<std::string>{}) << "saved at once";
}

// The largest device, every channel full, every name as long as allowed and made of the characters
// that take the most room in the file: what it writes is read back.
TEST_F(PresetFile, TheLargestFileTheListsCanWriteIsReadBack) {
  constexpr uint32_t kChannels = korvalt::ipcapture::kMaxChannelCount;
  constexpr uint32_t kEntries = 255;
  const auto name = [](uint32_t channel, uint32_t position) {
    std::string text = std::to_string(channel) + "/" + std::to_string(position);
    return text + std::string(ipc::kPtzMaxPresetNameLength - text.size(), '\n');
  };
  ASSERT_TRUE(OpenReader());
  ASSERT_TRUE(Reader->SetAutoSave(false));
  for (uint32_t channel = 0; channel < kChannels; ++channel) {
    for (uint32_t position = 0; position < kEntries; ++position) {
      // Slots as large as a file may carry them.
      ASSERT_TRUE(
          Reader->WritePreposition(channel, position, {name(channel, position), 4000000000u + position}));
    }
  }
  ASSERT_TRUE(Reader->SetAutoSave(true)) << "saved";
  const int64_t size = static_cast<int64_t>(FileBytes().size());
  EXPECT_LE(size,
            korvalt::CXMLPrepositionReader::MaxFileBytes(kChannels, kEntries, ipc::kPtzMaxPresetNameLength));

  ASSERT_TRUE(OpenReader());
  EXPECT_TRUE(ReaderSink.Lines().empty()) << "not moved aside";
  for (const uint32_t channel : {0u, 100u, kChannels - 1}) {
    for (const uint32_t position : {0u, 17u, kEntries - 1}) {
      PrepositionEntry entry;
      ASSERT_TRUE(Reader->ReadPreposition(channel, position, entry)) << channel << " " << position;
      EXPECT_EQ(entry.Name, name(channel, position));
      EXPECT_EQ(entry.Slot, 4000000000u + position);
    }
  }
}

TEST_F(PresetFile, ASaveBeyondTheReadLimitLeavesTheFileAsItWas) {
  ASSERT_TRUE(OpenReader());
  ASSERT_TRUE(Reader->WritePreposition(0, 0, {"Door", 0}));
  const std::string before = FileBytes();
  ASSERT_TRUE(Reader->SetAutoSave(false));
  // Names far beyond what a list accepts, as a foreign file may hold them.
  const std::string huge(1024 * 1024, 'x');
  for (uint32_t position = 1; position <= 40; ++position) {
    ASSERT_TRUE(Reader->WritePreposition(0, position, {huge, position}));
  }
  EXPECT_FALSE(Reader->SetAutoSave(true));
  EXPECT_EQ(FileBytes(), before);
  EXPECT_EQ(ListDirectory(Dir.Path()), std::vector<std::string>{kFile}) << "no temporary file left";
}

TEST_F(PresetFile, TurningAutomaticSavingOnReportsAFailedSave) {
  ASSERT_TRUE(OpenReader());
  ASSERT_TRUE(Reader->SetAutoSave(false));
  ASSERT_TRUE(Reader->WritePreposition(0, 0, {"Door", 0}));
  EXPECT_EQ(FileBytes(), Golden("fresh.preset")) << "nothing saved while off";
  ASSERT_TRUE(std::filesystem::remove(Path()));
  ASSERT_TRUE(std::filesystem::create_directory(Path()));
  EXPECT_FALSE(Reader->SetAutoSave(true));
  EXPECT_FALSE(Reader->WritePreposition(0, 1, {"Gate", 1})) << "written, but not saved";
}

}  // namespace
