#include "presets/preposition_list.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "preset_fixture.h"
#include "presets/xml/xml_settings_api.h"

namespace {

namespace ipc = korvalt::ipcapture;
using Call = presettest::FakePresetComm::Call;
using Line = presettest::FakePresetComm::Line;
using korvalt::CPrepositionList;
using korvalt::PrepositionEntry;
using presettest::Golden;
using presettest::WriteFile;

const std::string kAddOrigin = "korvalt::CPrepositionList::AddPreposition";

class PresetList : public presettest::PresetDevice {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenReader()); }

  std::vector<std::string> Names(int32_t channel) {
    std::vector<std::string> names;
    for (int i = 0; i < List(channel).Count(); ++i) {
      std::string name;
      EXPECT_TRUE(List(channel).GetName(i, name));
      names.push_back(name);
    }
    return names;
  }
  std::string Current(int32_t channel) {
    std::string name;
    List(channel).GetCurrentName(name);
    return name;
  }
  // Entry position of channel 0 as the file holds it.
  PrepositionEntry FileEntry(uint32_t position) {
    PrepositionEntry entry;
    EXPECT_TRUE(Reader->ReadPreposition(0, position, entry)) << position;
    return entry;
  }
  // Replaces the file with a directory: every later save fails.
  void BreakSaving() {
    ASSERT_TRUE(std::filesystem::remove(Path()));
    ASSERT_TRUE(std::filesystem::create_directory(Path()));
  }
};

TEST_F(PresetList, FirstAddStoresSlot0MakesItCurrentAndWritesEntry0) {
  ASSERT_EQ(List(0).AddPreposition("Door"), ipc::kPtzSuccess);
  EXPECT_EQ(Comm.Calls(), (std::vector<Call>{{"store", 0, "Door"}}));
  EXPECT_EQ(Current(0), "Door");
  EXPECT_EQ(FileEntry(0).Name, "Door");
  EXPECT_EQ(FileEntry(0).Slot, 0u);
  EXPECT_TRUE(Comm.Lines().empty());
}

TEST_F(PresetList, AddingAgainWithoutAMoveRenamesTheCurrentPreset) {
  ASSERT_EQ(List(0).AddPreposition("Door"), ipc::kPtzSuccess);
  ASSERT_EQ(List(0).AddPreposition("Gate"), ipc::kPtzSuccess);
  EXPECT_EQ(Comm.Calls(), (std::vector<Call>{{"store", 0, "Door"}})) << "the camera is not asked again";
  EXPECT_EQ(Names(0), std::vector<std::string>{"Gate"});
  EXPECT_EQ(Current(0), "Gate");
  EXPECT_EQ(FileEntry(0).Name, "Gate");
  EXPECT_EQ(
      Comm.Lines(),
      (std::vector<Line>{{ipc::kDebugLevelInformation,
                          "korvalt::CPrepositionList::RenameCurrentPreposition: A preposition with index 0 "
                          "was renamed from \"Door\" to \"Gate\"."}}));
}

TEST_F(PresetList, AddAfterAMoveTakesTheLowestFreeSlot) {
  ASSERT_EQ(AddMoved(0, "A"), ipc::kPtzSuccess);
  ASSERT_EQ(AddMoved(0, "B"), ipc::kPtzSuccess);
  ASSERT_EQ(AddMoved(0, "C"), ipc::kPtzSuccess);
  ASSERT_TRUE(List(0).Remove("B"));
  Comm.Clear();
  ASSERT_EQ(AddMoved(0, "D"), ipc::kPtzSuccess);
  EXPECT_EQ(Comm.Calls(), (std::vector<Call>{{"store", 1, "D"}}));
  EXPECT_EQ(Names(0), (std::vector<std::string>{"A", "C", "D"})) << "appended at the end";
  const std::vector<std::pair<std::string, uint32_t>> file = {{"A", 0}, {"C", 2}, {"D", 1}};
  for (uint32_t position = 0; position < file.size(); ++position) {
    EXPECT_EQ(FileEntry(position).Name, file[position].first);
    EXPECT_EQ(FileEntry(position).Slot, file[position].second);
  }
  ASSERT_TRUE(List(0).Remove("A"));
  ASSERT_EQ(AddMoved(0, "E"), ipc::kPtzSuccess);
  EXPECT_EQ(Comm.Calls().back(), (Call{"store", 0, "E"}));
}

TEST_F(PresetList, RefusedNamesAreNotAddedAndLoggedLiterally) {
  const std::vector<std::string> refused = {
      "Door&Gate",
      "Door!",
      "<Door",
      "Door>",
      "Door's",
      "Say \"Door\"",
      "\xC3",              // truncated sequence
      "\xC0\xAF",          // overlong "/"
      "\xED\xA0\x80",      // surrogate
      "\xF4\x90\x80\x80",  // beyond U+10FFFF
      "\xFF",              // never in UTF-8
      "Door\x01",          // control character XML cannot carry
      "\xEF\xBF\xBE",      // U+FFFE, not an XML character
  };
  for (const std::string& name : refused) {
    SCOPED_TRACE(name);
    Comm.Clear();
    EXPECT_EQ(List(0).AddPreposition(name), ipc::kPtzInvalidArgument);
    EXPECT_TRUE(Comm.Calls().empty());
    EXPECT_EQ(Comm.Lines(),
              (std::vector<Line>{{ipc::kDebugLevelError, kAddOrigin + ": A preposition \"" + name +
                                                             "\" cannot be added - the name is invalid."}}));
  }
  EXPECT_EQ(List(0).AddPreposition(""), ipc::kPtzInvalidArgument);
  EXPECT_EQ(List(0).Count(), 0);
  EXPECT_EQ(FileBytes(), Golden("fresh.preset"));
}

TEST_F(PresetList, AcceptedNamesSurviveTheFileExactly) {
  const std::vector<std::string> names = {"50%",        "%s%n%x%%", "Tür Süd", "門 🚪", "tab\there",
                                          "line\nfeed", " spaced ", "door",    "Door", "DOOR"};
  for (const std::string& name : names) ASSERT_EQ(AddMoved(0, name), ipc::kPtzSuccess) << name;
  EXPECT_EQ(Names(0), names);
  EXPECT_EQ(NamesInFile(0), names);
  EXPECT_EQ(Comm.Calls().size(), names.size()) << "names differing in case are different presets";
  ASSERT_EQ(List(0).AddPreposition("100%d"), ipc::kPtzSuccess);
  EXPECT_EQ(
      Comm.Lines().back().Text,
      "korvalt::CPrepositionList::RenameCurrentPreposition: A preposition with index 9 was renamed from "
      "\"DOOR\" to \"100%d\".");
}

TEST_F(PresetList, GotoFindsTheExactNameAndSkipsTheCameraWhenAlreadyThere) {
  ASSERT_EQ(AddMoved(0, "door"), ipc::kPtzSuccess);
  ASSERT_EQ(AddMoved(0, "Door"), ipc::kPtzSuccess);
  Comm.Clear();
  EXPECT_TRUE(List(0).Goto("Door", 5)) << "already there";
  EXPECT_TRUE(Comm.Calls().empty());
  EXPECT_TRUE(List(0).Goto("door", 5));
  EXPECT_EQ(Comm.Calls(), (std::vector<Call>{{"go", 0, "door"}}));
  EXPECT_EQ(Comm.LastParam, 5);
  EXPECT_EQ(Current(0), "door");
  EXPECT_FALSE(List(0).Goto("DOOR", 0));
  EXPECT_FALSE(List(0).Goto("", 0));

  Comm.RefuseGo = true;
  EXPECT_FALSE(List(0).Goto("Door", 0));
  EXPECT_EQ(Current(0), "door") << "unchanged after a refusal";
  List(0).ResetCurrent();
  std::string name;
  EXPECT_FALSE(List(0).GetCurrentName(name));
}

TEST_F(PresetList, LimitOf255IsReportedWithItsMessage) {
  std::string body = "<?xml version='1.0' encoding='utf-8'?>\n<Quenlark><PtzChannel01>";
  for (int i = 0; i < 254; ++i) {
    body += korvalt::platform::Format(
        "<Preposition%.3d><Name value=\"P%d\"/><Slot value=\"%d\"/></Preposition%.3d>", i, i, i, i);
  }
  body += "</PtzChannel01></Quenlark>\n";
  WriteFile(Path(), body);
  ASSERT_TRUE(OpenReader());
  ASSERT_EQ(AddMoved(0, "P254"), ipc::kPtzSuccess);
  EXPECT_EQ(FileEntry(254).Slot, 254u);
  Comm.Clear();
  EXPECT_EQ(AddMoved(0, "One more"), ipc::kPtzPresetLimit);
  EXPECT_TRUE(Comm.Calls().empty());
  EXPECT_EQ(Comm.Lines(),
            (std::vector<Line>{{ipc::kDebugLevelError,
                                kAddOrigin + ": A preposition \"One more\" cannot be added. Camera supports "
                                             "saving not more than 255 prepositions."}}));
  EXPECT_EQ(List(0).Count(), 255);
  EXPECT_EQ(NamesInFile(0).size(), 255u);
}

TEST_F(PresetList, CameraRefusalLeavesListAndFileUnchanged) {
  ASSERT_EQ(AddMoved(0, "Door"), ipc::kPtzSuccess);
  const std::string before = FileBytes();
  Comm.RefuseStore = true;
  EXPECT_EQ(AddMoved(0, "Gate"), ipc::kPtzNotAvailable);
  EXPECT_EQ(Names(0), std::vector<std::string>{"Door"});
  EXPECT_EQ(Current(0), "");
  EXPECT_EQ(FileBytes(), before);
}

TEST_F(PresetList, RemoveRefusedByTheCameraFailsAndKeepsThePreset) {
  ASSERT_EQ(AddMoved(0, "Door"), ipc::kPtzSuccess);
  Comm.RefuseDelete = true;
  EXPECT_FALSE(List(0).Remove("Door")) << "the camera still holds the preset";
  EXPECT_EQ(Names(0), std::vector<std::string>{"Door"});
  EXPECT_EQ(Current(0), "") << "no longer current";
  EXPECT_EQ(NamesInFile(0), std::vector<std::string>{"Door"});
  EXPECT_FALSE(List(0).Remove("Gate"));
  EXPECT_FALSE(List(0).Remove(""));
}

TEST_F(PresetList, FailedSavesAreReportedAsFailures) {
  ASSERT_EQ(AddMoved(0, "Door"), ipc::kPtzSuccess);
  ASSERT_EQ(AddMoved(0, "Gate"), ipc::kPtzSuccess);
  BreakSaving();
  EXPECT_FALSE(List(0).Remove("Door")) << "the rewrite's only save failed";
  EXPECT_FALSE(List(0).SaveAll());
  EXPECT_EQ(AddMoved(0, "Yard"), ipc::kPtzNotAvailable);
  EXPECT_EQ(Names(0), (std::vector<std::string>{"Gate", "Yard"})) << "kept in memory and on the camera";
  EXPECT_EQ(List(0).AddPreposition("Patio"), ipc::kPtzNotAvailable) << "rename not saved";
}

TEST_F(PresetList, WithoutCameraOrFileTheListReportsFailure) {
  CPrepositionList noComm(0);
  noComm.SetMaxPrepositions(kLimit);
  EXPECT_EQ(noComm.AddPreposition("Door"), ipc::kPtzNotAvailable);
  EXPECT_FALSE(noComm.Goto("Door", 0));

  CPrepositionList noReader(0);
  noReader.SetPresetComm(&Comm);
  noReader.SetMaxPrepositions(kLimit);
  EXPECT_FALSE(noReader.Initialize({}));
  EXPECT_EQ(noReader.AddPreposition("Door"), ipc::kPtzNotAvailable);
  EXPECT_EQ(noReader.Count(), 1);
  EXPECT_FALSE(noReader.WriteEntry(0, 0, "Door"));
  EXPECT_FALSE(noReader.SaveAll());
  EXPECT_FALSE(noReader.Remove("Door"));
  std::string name = "stale";
  EXPECT_FALSE(noReader.GetName(1, name));
  EXPECT_EQ(name, "");
  EXPECT_FALSE(noReader.GetName(-1, name));
}

// Entries as a hand-edited or older file may hold them.
TEST_F(PresetList, LoadTakesPositionsBelowTheLimitAndSkipsUnreadableEntries) {
  const auto entry = [](int position, const std::string& name, const std::string& slot) {
    return korvalt::platform::Format(
        "<Preposition%.3d><Name value=\"%s\"/><Slot value=\"%s\"/></Preposition%.3d>", position, name.c_str(),
        slot.c_str(), position);
  };
  std::string body = "<?xml version='1.0' encoding='utf-8'?>\n<Quenlark><PtzChannel01>";
  body += entry(0, "Door", "3");
  // Position 1 is missing: the next ones still load.
  body += entry(2, "", "4");         // no name: skipped
  body += entry(3, "Gate", "five");  // no number: skipped
  body += entry(4, "Yard", "3");     // same slot as Door: its name wins, both positions show it
  body += entry(5, "Far", "900");    // beyond the camera's slots: still loaded
  body += entry(254, "Last", "7");
  body += entry(255, "Beyond", "8");  // positions from the limit upward are never loaded
  body += entry(256, "Beyond2", "9");
  body += "</PtzChannel01></Quenlark>\n";
  WriteFile(Path(), body);
  ASSERT_TRUE(OpenReader());
  EXPECT_EQ(Names(0), (std::vector<std::string>{"Yard", "Yard", "Far", "Last"}));
  EXPECT_EQ(Current(0), "");
  EXPECT_TRUE(List(0).Goto("Yard", 0));
  EXPECT_EQ(Comm.Calls(), (std::vector<Call>{{"go", 3, "Yard"}}));
  EXPECT_EQ(Current(0), "Yard");
  std::string name;
  EXPECT_FALSE(List(0).GetName(4, name));
}

TEST_F(PresetList, InitializeWithTheSameReaderReloads) {
  ASSERT_EQ(AddMoved(0, "Door"), ipc::kPtzSuccess);
  EXPECT_EQ(Reader.UseCount(), 2);
  EXPECT_TRUE(List(0).Initialize(Reader));
  EXPECT_EQ(Reader.UseCount(), 2) << "no second share of the same reader";
  EXPECT_EQ(Current(0), "") << "a load forgets the current preset";
  EXPECT_EQ(Names(0), std::vector<std::string>{"Door"});
}

TEST_F(PresetList, NamesAreRefusedBeyondTheLengthLimitOrWhenAnotherPresetHasThem) {
  const size_t limit = ipc::kPtzMaxPresetNameLength;
  const std::string longest(limit, 'x');
  const std::string euro = "\xE2\x82\xAC";  // three bytes
  struct Case {
    std::string Name;
    int Result;
  };
  const std::vector<Case> cases = {
      {longest, ipc::kPtzSuccess},
      {longest + "y", ipc::kPtzInvalidArgument},
      {std::string(limit - 3, 'a') + euro, ipc::kPtzSuccess},
      {std::string(limit - 2, 'a') + euro, ipc::kPtzInvalidArgument},  // counted in bytes
      {std::string(5000, 'z'), ipc::kPtzInvalidArgument},
      {"Door", ipc::kPtzSuccess},
      {"Door", ipc::kPtzInvalidArgument},  // a second Door could never be reached by name
      {"door", ipc::kPtzSuccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name.substr(0, 20));
    Comm.Clear();
    EXPECT_EQ(AddMoved(0, c.Name), c.Result);
    if (c.Result == ipc::kPtzInvalidArgument) {
      EXPECT_TRUE(Comm.Calls().empty());
      EXPECT_EQ(
          Comm.Lines(),
          (std::vector<Line>{{ipc::kDebugLevelError, kAddOrigin + ": A preposition \"" + c.Name +
                                                         "\" cannot be added - the name is invalid."}}));
    }
  }
  EXPECT_EQ(NamesInFile(0),
            (std::vector<std::string>{longest, std::string(limit - 3, 'a') + euro, "Door", "door"}));

  // Renaming the current preset: to its own name is fine, to another preset's name is not.
  ASSERT_EQ(Current(0), "door");
  EXPECT_EQ(List(0).AddPreposition("door"), ipc::kPtzSuccess);
  EXPECT_EQ(List(0).AddPreposition("Door"), ipc::kPtzInvalidArgument);
  EXPECT_EQ(List(0).AddPreposition(longest + "y"), ipc::kPtzInvalidArgument);
  EXPECT_EQ(NamesInFile(0),
            (std::vector<std::string>{longest, std::string(limit - 3, 'a') + euro, "Door", "door"}));
}

// Door at 000, an unusable entry at 001, Gate at 002: the list holds Door and Gate at 0 and 1.
TEST_F(PresetList, AfterALoadThatSkippedEntriesNoWriteLandsOnAnotherPreset) {
  const std::string body =
      "<?xml version='1.0' encoding='utf-8'?>\n<Quenlark><PtzChannel01>"
      "<Preposition000><Name value=\"Door\"/><Slot value=\"0\"/></Preposition000>"
      "<Preposition001><Name value=\"\"/><Slot value=\"1\"/></Preposition001>"
      "<Preposition002><Name value=\"Gate\"/><Slot value=\"2\"/></Preposition002>"
      "</PtzChannel01></Quenlark>\n";
  struct Change {
    const char* Label;
    std::function<int(CPrepositionList&)> Run;
    std::vector<std::string> After;
  };
  const std::vector<Change> changes = {
      {"add",
       [](CPrepositionList& list) {
         list.ResetCurrent();
         return list.AddPreposition("Yard");
       },
       {"Door", "Gate", "Yard"}},
      {"rename after goto",
       [](CPrepositionList& list) {
         EXPECT_TRUE(list.Goto("Gate", 0));
         return list.AddPreposition("Patio");
       },
       {"Door", "Patio"}},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.Label);
    WriteFile(Path(), body);
    ASSERT_TRUE(OpenReader());
    ASSERT_EQ(Names(0), (std::vector<std::string>{"Door", "Gate"}));
    EXPECT_EQ(change.Run(List(0)), ipc::kPtzSuccess);
    EXPECT_EQ(Names(0), change.After);
    EXPECT_EQ(NamesInFile(0), change.After) << "as the list holds them, each at its own position";
  }
}

// A hand-edited file may hold a channel twice; the list reads an entry from whichever holds it, and a
// rewrite must not leave the second behind to come back on the next load.
TEST_F(PresetList, AChannelTheFileHoldsTwiceIsRewrittenAsOne) {
  const std::string body =
      "<?xml version='1.0' encoding='utf-8'?>\n<Quenlark><PtzChannel01>"
      "<Preposition001><Name value=\"Door\"/><Slot value=\"1\"/></Preposition001>"
      "</PtzChannel01><PtzChannel01>"
      "<Preposition000><Name value=\"Gate\"/><Slot value=\"0\"/></Preposition000>"
      "<Preposition002><Name value=\"Yard\"/><Slot value=\"2\"/></Preposition002>"
      "</PtzChannel01></Quenlark>\n";
  struct Change {
    const char* Label;
    std::function<bool(CPrepositionList&)> Run;
    std::vector<std::string> After;
  };
  const std::vector<Change> changes = {
      {"add",
       [](CPrepositionList& list) {
         list.ResetCurrent();
         return list.AddPreposition("Patio") == ipc::kPtzSuccess;
       },
       {"Gate", "Door", "Yard", "Patio"}},
      {"remove", [](CPrepositionList& list) { return list.Remove("Yard"); }, {"Gate", "Door"}},
      {"remove the last of the first copy",
       [](CPrepositionList& list) { return list.Remove("Door"); },
       {"Gate", "Yard"}},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.Label);
    WriteFile(Path(), body);
    ASSERT_TRUE(OpenReader());
    ASSERT_EQ(Names(0), (std::vector<std::string>{"Gate", "Door", "Yard"}));
    EXPECT_TRUE(change.Run(List(0)));
    EXPECT_EQ(Names(0), change.After);
    EXPECT_EQ(NamesInFile(0), change.After) << "nothing removed comes back, nothing shows twice";
  }
  // A remove rewrites the channel: one copy of it is left.
  const std::string bytes = FileBytes();
  EXPECT_EQ(bytes.find("<PtzChannel01>", bytes.find("</PtzChannel01>")), std::string::npos) << bytes;
}

TEST_F(PresetList, AChangeTheReaderCouldNotReadBackIsRefusedAndTheFileKept) {
  // A file near the read limit (a recorder's notes, say): an entry more would pass it.
  const int64_t limit = korvalt::CXMLSettingsAPI::kMaxFileBytes;
  const std::string head =
      "<?xml version='1.0' encoding='utf-8'?>\n<Quenlark><PtzChannel01>"
      "<Preposition000><Name value=\"Door\"/><Slot value=\"0\"/></Preposition000>"
      "</PtzChannel01><!--";
  const std::string tail = "--></Quenlark>\n";
  // Room for a short entry, not for a long one.
  const size_t room = 150;
  const std::string body =
      head + std::string(static_cast<size_t>(limit) - room - head.size() - tail.size(), 'n') + tail;
  WriteFile(Path(), body);
  {
    korvalt::CXMLSettingsAPI probe;
    if (probe.Open(kFile) == korvalt::CXMLSettingsAPI::kParseError)
      GTEST_SKIP() << "this system's XML parser refuses a comment of " << body.size() - head.size()
                   << " bytes (Wine's DOM, which stops at 10 MB per node)";
    probe.Close();
  }
  ASSERT_TRUE(OpenReader());
  ASSERT_EQ(Names(0), std::vector<std::string>{"Door"});
  Comm.Clear();
  EXPECT_EQ(AddMoved(0, "Gate with a long name, long enough to pass the limit"), ipc::kPtzNotAvailable);
  EXPECT_TRUE(Comm.Calls().empty()) << "the camera is not asked to store what the file cannot keep";
  EXPECT_EQ(Comm.Lines(),
            (std::vector<Line>{{ipc::kDebugLevelError,
                                kAddOrigin +
                                    ": A preposition \"Gate with a long name, long enough to pass the "
                                    "limit\" cannot be added - the preset file would grow beyond " +
                                    std::to_string(limit) + " bytes."}}));
  EXPECT_EQ(Names(0), std::vector<std::string>{"Door"});
  EXPECT_TRUE(List(0).Goto("Door", 0));
  EXPECT_EQ(List(0).AddPreposition(std::string(ipc::kPtzMaxPresetNameLength, '\n')), ipc::kPtzNotAvailable)
      << "nor a rename";
  EXPECT_EQ(Comm.Lines().back().Text,
            "korvalt::CPrepositionList::RenameCurrentPreposition: A preposition with index 0 cannot be "
            "renamed to \"" +
                std::string(ipc::kPtzMaxPresetNameLength, '\n') + "\" - the preset file would grow beyond " +
                std::to_string(limit) + " bytes.");
  EXPECT_EQ(FileBytes(), body);
  EXPECT_EQ(AddMoved(0, "Gate"), ipc::kPtzSuccess) << "a short one still fits";
  EXPECT_EQ(NamesInFile(0), (std::vector<std::string>{"Door", "Gate"}));
}

// A preset call waits for the camera; the recorder's other calls on the channel must not.
TEST_F(PresetList, MovementsAndReadsDoNotWaitForACameraRequest) {
  ASSERT_EQ(AddMoved(0, "Door"), ipc::kPtzSuccess);
  ASSERT_EQ(AddMoved(0, "Gate"), ipc::kPtzSuccess);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  Comm.OnRequest = [&, once = true]() mutable {
    if (!once) return;
    once = false;
    entered.set_value();
    released.wait();
  };
  std::thread host([&] { EXPECT_TRUE(List(0).Goto("Door", 0)); });
  entered.get_future().wait();
  auto others = std::async(std::launch::async, [&] {
    List(0).ResetCurrent();  // a movement while the camera drives to Door
    std::string name;
    EXPECT_TRUE(List(0).GetName(1, name));
    EXPECT_EQ(name, "Gate");
    return List(0).Count();
  });
  const bool returned = others.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  release.set_value();
  host.join();
  EXPECT_TRUE(returned) << "waited for the camera request";
  EXPECT_EQ(others.get(), 2);
  EXPECT_EQ(Current(0), "") << "the movement came after the go-to was sent";
}

}  // namespace
