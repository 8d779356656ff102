// Presets as a recorder sees them: the PTZ control's preset calls, the camera's preset requests
// (camsim's log), the lines in the host's debug sink and the device's preset file.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "ptz/ptz_fixture.h"
#include "tools/hostkit/ptz.h"

namespace ptztest {
namespace {

namespace ipc = korvalt::ipcapture;

std::string Add(int number) {
  return "/config/ptz_preset.cgi?name=" + std::to_string(number) + "&act=add";
}

class PresetsThroughExports : public PtzThroughExports {
 protected:
  ipc::IIPPTZApiEx* Open() {
    OpenDriver();
    return Control();
  }
  // The driver closed and opened again: everything the list knows comes from the file.
  ipc::IIPPTZApiEx* Reopen() {
    DeleteDriver();
    return Open();
  }
  void WriteFile(const std::string& body) {
    std::ofstream out(Presets.Path() + "/" + kPresetFile, std::ios::binary);
    out << "<?xml version='1.0' encoding='utf-8'?>\n<Quenlark>" << body << "</Quenlark>";
  }
  static std::string Entry(int position, const std::string& name, const std::string& slot) {
    char element[32];
    std::snprintf(element, sizeof element, "Preposition%03d", position);
    return std::string("<") + element + "><Name value=\"" + name + "\"/><Slot value=\"" + slot + "\"/></" +
           element + ">";
  }
};

TEST_F(PresetsThroughExports, AddingRightAfterAnAddRenamesTheCurrentPreset) {
  ipc::IIPPTZApiEx* ptz = Open();
  ASSERT_NE(ptz, nullptr);
  EXPECT_EQ(ptz->AddPreposition("Door"), ipc::kPtzSuccess);
  EXPECT_EQ(hostkit::CurrentPreset(*ptz), "Door");
  EXPECT_EQ(ptz->AddPreposition("Gate"), ipc::kPtzSuccess);
  EXPECT_EQ(hostkit::PresetNames(*ptz), std::vector<std::string>{"Gate"});
  EXPECT_EQ(PtzRequests(), std::vector<std::string>{Add(1)}) << "the camera is not asked again";
  EXPECT_EQ(Debug.Count("korvalt::CPrepositionList::RenameCurrentPreposition: A preposition with index 0 was "
                        "renamed from \"Door\" to \"Gate\"."),
            1u);
  for (const hostkit::DebugLine& line : Debug.Lines()) {
    if (line.Text.find("renamed") != std::string::npos) {
      EXPECT_EQ(line.Level, ipc::kDebugLevelInformation);
    }
  }
  EXPECT_EQ(hostkit::PresetNames(*Reopen()), std::vector<std::string>{"Gate"});
}

TEST_F(PresetsThroughExports, AfterAMoveAnAddTakesTheLowestFreeSlotAtTheEndOfTheList) {
  ipc::IIPPTZApiEx* ptz = Open();
  ASSERT_NE(ptz, nullptr);
  for (const char* name : {"A", "B", "C"}) {
    EXPECT_EQ(ptz->AddPreposition(name), ipc::kPtzSuccess);
    EXPECT_EQ(ptz->Move(ipc::kPtzMoveLeft, 1), ipc::kPtzSuccess);
  }
  EXPECT_EQ(ptz->RemovePreposition("B"), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->AddPreposition("D"), ipc::kPtzSuccess);
  EXPECT_EQ(hostkit::PresetNames(*ptz), (std::vector<std::string>{"A", "C", "D"}));
  EXPECT_EQ(hostkit::CurrentPreset(*ptz), "D");
  std::vector<std::string> presetRequests;
  for (const std::string& path : WaitForPtzRequests(8)) {
    if (path.find("preset") != std::string::npos) presetRequests.push_back(path);
  }
  EXPECT_EQ(presetRequests, (std::vector<std::string>{Add(1), Add(2), Add(3),
                                                      "/config/ptz_preset.cgi?name=2&act=del", Add(2)}));
  EXPECT_EQ(hostkit::PresetNames(*Reopen()), (std::vector<std::string>{"A", "C", "D"}));
}

TEST_F(PresetsThroughExports, NamesAreCheckedAndKeptExactly) {
  ipc::IIPPTZApiEx* ptz = Open();
  ASSERT_NE(ptz, nullptr);
  for (const char* refused : {"Bob's", "a&b", "Stop!", "<x>", "say \"hi\"", "", "\xC3\x28"}) {
    EXPECT_EQ(ptz->AddPreposition(refused), ipc::kPtzInvalidArgument) << refused;
  }
  EXPECT_EQ(
      Debug.Count("korvalt::CPrepositionList::AddPreposition: A preposition \"Bob's\" cannot be added - "
                  "the name is invalid."),
      1u);
  EXPECT_TRUE(PtzRequests().empty());
  // A percent sign is an ordinary character, also in the lines that show the name.
  EXPECT_EQ(ptz->AddPreposition("100%s"), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->AddPreposition("50%d%n"), ipc::kPtzSuccess);
  EXPECT_EQ(Debug.Count("renamed from \"100%s\" to \"50%d%n\"."), 1u);
  // Case matters: two presets.
  EXPECT_EQ(ptz->Move(ipc::kPtzMoveLeft, 1), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->AddPreposition("door"), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->Move(ipc::kPtzMoveLeft, 1), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->AddPreposition("Door"), ipc::kPtzSuccess);
  const std::string unicode = "T\xC3\xBCr Ost \xE2\x9C\x93";  // "Tür Ost ✓"
  EXPECT_EQ(ptz->Move(ipc::kPtzMoveLeft, 1), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->AddPreposition(unicode.c_str()), ipc::kPtzSuccess);
  const std::vector<std::string> names = {"50%d%n", "door", "Door", unicode};
  EXPECT_EQ(hostkit::PresetNames(*ptz), names);
  EXPECT_EQ(hostkit::PresetNames(*Reopen()), names);
}

TEST_F(PresetsThroughExports, GotoMovesOnlyWhenTheCameraIsElsewhere) {
  ipc::IIPPTZApiEx* ptz = Open();
  ASSERT_NE(ptz, nullptr);
  ASSERT_EQ(ptz->AddPreposition("Door"), ipc::kPtzSuccess);
  ClearRequests();
  EXPECT_EQ(ptz->GotoPreposition(0, "Door"), ipc::kPtzSuccess);
  EXPECT_TRUE(PtzRequests().empty()) << "already there";
  EXPECT_EQ(ptz->GotoPreposition(0, "door"), ipc::kPtzPresetFailed);
  EXPECT_EQ(ptz->GotoPreposition(0, ""), ipc::kPtzPresetFailed);
  EXPECT_EQ(ptz->FocusPlus(2), ipc::kPtzSuccess);
  ASSERT_EQ(WaitForPtzRequests(1).size(), 1u) << "the queued focus goes first";
  EXPECT_FALSE(hostkit::CurrentPreset(*ptz).has_value()) << "any movement leaves the preset";
  EXPECT_EQ(ptz->GotoPreposition(7, "Door"), ipc::kPtzSuccess);
  EXPECT_EQ(hostkit::CurrentPreset(*ptz), "Door");
  EXPECT_EQ(WaitForPtzRequests(2),
            (std::vector<std::string>{"/config/focus_cont.cgi?f=1", "/config/ptz_preset.cgi?name=1&act=go"}));
}

TEST_F(PresetsThroughExports, NameBuffersMustHoldTheWholeName) {
  ipc::IIPPTZApiEx* ptz = Open();
  ASSERT_NE(ptz, nullptr);
  ASSERT_EQ(ptz->AddPreposition("Gate"), ipc::kPtzSuccess);
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(ptz->GetPrepositionName(0, buffer, 4), ipc::kPtzInvalidArgument);
  EXPECT_EQ(ptz->GetPrepositionName(0, nullptr, 8), ipc::kPtzInvalidArgument);
  EXPECT_EQ(ptz->GetPrepositionName(1, buffer, 8), ipc::kPtzPresetFailed);
  EXPECT_EQ(ptz->GetPrepositionName(-1, buffer, 8), ipc::kPtzPresetFailed);
  EXPECT_EQ(std::string(buffer), "xxxxxxx") << "nothing is written on failure";
  EXPECT_EQ(ptz->GetPrepositionName(0, buffer, 5), ipc::kPtzSuccess);
  EXPECT_EQ(std::string(buffer), "Gate");
  EXPECT_EQ(ptz->GetCurrentPreposition(buffer, 4), ipc::kPtzInvalidArgument);
  EXPECT_EQ(ptz->GetCurrentPreposition(buffer, 5), ipc::kPtzSuccess);
  ipc::PTZ_CAPABILITIES record = hostkit::MakeCapabilityRecord();
  ASSERT_EQ(ptz->GetCapabilities(&record), ipc::kPtzSuccess);
  EXPECT_EQ(hostkit::CapabilityField(record, 28), 255u);
  EXPECT_EQ(hostkit::CapabilityField(record, 32), 1u);
}

TEST_F(PresetsThroughExports, CameraRefusalLeavesListAndFileUnchanged) {
  ipc::IIPPTZApiEx* ptz = Open();
  ASSERT_NE(ptz, nullptr);
  ASSERT_EQ(ptz->AddPreposition("Door"), ipc::kPtzSuccess);
  ASSERT_EQ(ptz->Move(ipc::kPtzMoveLeft, 1), ipc::kPtzSuccess);
  ASSERT_EQ(WaitForPtzRequests(2).size(), 2u) << "the queued move must not meet the fault";
  const std::string before = Presets.Read(kPresetFile);
  ASSERT_TRUE(Camera.InjectFault("status", 1, 404));
  EXPECT_EQ(ptz->AddPreposition("Gate"), ipc::kPtzNotAvailable);
  EXPECT_EQ(hostkit::PresetNames(*ptz), std::vector<std::string>{"Door"});
  EXPECT_EQ(Presets.Read(kPresetFile), before);
  // A refused delete keeps the preset too, and says so.
  ASSERT_TRUE(Camera.InjectFault("status", 1, 500));
  EXPECT_EQ(ptz->RemovePreposition("Door"), ipc::kPtzPresetFailed);
  EXPECT_EQ(hostkit::PresetNames(*ptz), std::vector<std::string>{"Door"});
  EXPECT_EQ(hostkit::PresetNames(*Reopen()), std::vector<std::string>{"Door"});
}

TEST_F(PresetsThroughExports, TheLimitIsTheCamerasAndItsMessageSaysSo) {
  ipc::IIPPTZApiEx* ptz = Open();
  ASSERT_NE(ptz, nullptr);
  for (int i = 0; i < 255; ++i) {
    ASSERT_EQ(ptz->AddPreposition(("P" + std::to_string(i)).c_str()), ipc::kPtzSuccess) << i;
    ASSERT_EQ(ptz->Move(ipc::kPtzMoveLeft, 1), ipc::kPtzSuccess);
  }
  EXPECT_EQ(ptz->AddPreposition("One more"), ipc::kPtzPresetLimit);
  EXPECT_EQ(
      Debug.Count("korvalt::CPrepositionList::AddPreposition: A preposition \"One more\" cannot be added. "
                  "Camera supports saving not more than 255 prepositions."),
      1u);
  const std::vector<std::string> seen = WaitForPtzRequests(510);
  EXPECT_NE(std::find(seen.begin(), seen.end(), Add(255)), seen.end()) << "slot 254 is the camera's 255";
  EXPECT_EQ(
      std::count_if(seen.begin(), seen.end(), [](const std::string& p) { return p.find("add") != p.npos; }),
      255);
  EXPECT_EQ(Reopen()->GetPrepositionCount(), 255);
}

TEST_F(PresetsThroughExports, LoadingTakesWhatTheFileHoldsAndSkipsWhatItCannotRead) {
  std::string channel = Entry(0, "A", "3") + Entry(1, "B", "3") + Entry(2, "", "4") + Entry(3, "C", "x5") +
                        Entry(5, "D", "6") + Entry(254, "E", "300") + Entry(255, "F", "7");
  WriteFile("<PtzChannel01>" + channel + "</PtzChannel01><PtzChannel02>" + Entry(0, "Other", "1") +
            "</PtzChannel02>");
  ipc::IIPPTZApiEx* ptz = Open();
  ASSERT_NE(ptz, nullptr);
  // Two entries of one slot: the later name, twice. Empty names and non-numeric slots are
  // skipped; a gap does not end the list; position 255 is beyond the camera's limit.
  EXPECT_EQ(hostkit::PresetNames(*ptz), (std::vector<std::string>{"B", "B", "D", "E"}));
  EXPECT_TRUE(PtzRequests().empty()) << "loading asks nothing of the camera";
}

TEST_F(PresetsThroughExports, TwoChannelsOfOneDeviceShareTheFileFromTwoThreads) {
  OpenDriver(kMac, 2);
  ipc::IIPPTZApiEx* first = Control(0);
  ipc::IIPPTZApiEx* second = Control(1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  // The camera's preset numbers carry no channel: the two channels remove different slots.
  auto work = [](ipc::IIPPTZApiEx* ptz, const std::string& prefix, const std::string& removed) {
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(ptz->AddPreposition((prefix + std::to_string(i)).c_str()), ipc::kPtzSuccess);
      EXPECT_EQ(ptz->Move(ipc::kPtzMoveRight, 2), ipc::kPtzSuccess);
      EXPECT_EQ(ptz->StopAll(), ipc::kPtzSuccess);
      ptz->GetPrepositionCount();
    }
    EXPECT_EQ(ptz->RemovePreposition(removed.c_str()), ipc::kPtzSuccess);
  };
  std::thread a(work, first, "a", "a3");
  std::thread b(work, second, "b", "b5");
  // A third recorder thread moves and reads channel 0 meanwhile.
  std::thread c([&] {
    for (int i = 0; i < 20; ++i) {
      first->ZoomIn(1);
      hostkit::PresetNames(*first);
      hostkit::CurrentPreset(*first);
      first->StopAll();
    }
  });
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(hostkit::PresetNames(*first).size(), 9u);
  EXPECT_EQ(hostkit::PresetNames(*second).size(), 9u);
  DeleteDriver();
  OpenDriver(kMac, 2);
  EXPECT_EQ(hostkit::PresetNames(*Control(0)).size(), 9u);
  EXPECT_EQ(hostkit::PresetNames(*Control(1)).size(), 9u);
}

TEST_F(PresetsThroughExports, APresetStoredRightAfterStopAllIsStoredWhereTheCameraStopped) {
  ipc::IIPPTZApiEx* ptz = Open();
  ASSERT_NE(ptz, nullptr);
  constexpr int kRounds = 5;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_EQ(ptz->Move(ipc::kPtzMoveLeft, 4), ipc::kPtzSuccess);
    ASSERT_EQ(ptz->ZoomIn(4), ipc::kPtzSuccess);
    ASSERT_EQ(ptz->StopAll(), ipc::kPtzSuccess);
    ASSERT_EQ(ptz->AddPreposition(("P" + std::to_string(round)).c_str()), ipc::kPtzSuccess);
  }
  // Moves that a later stop replaced may be left out; the stop never is, and comes first.
  const std::vector<std::string> seen = PtzRequests();
  int round = 0;
  std::string last;
  for (const std::string& path : seen) {
    if (path.find("act=add") != std::string::npos) {
      EXPECT_EQ(path, Add(round + 1));
      EXPECT_EQ(last, "/config/ptz_move_cont.cgi?p=0&t=0&z=0") << "round " << round;
      ++round;
    }
    last = path;
  }
  EXPECT_EQ(round, kRounds);
}

// A camera that takes 1.5 s over every request: the recorder's calls must not queue up behind it.
TEST_F(PresetsThroughExports, AStalledCameraHoldsAPresetCallOnlyForTheRequestInFlight) {
  ipc::IIPPTZApiEx* ptz = Open();
  ASSERT_NE(ptz, nullptr);
  ASSERT_EQ(ptz->AddPreposition("Door"), ipc::kPtzSuccess);
  ASSERT_EQ(ptz->Move(ipc::kPtzMoveLeft, 1), ipc::kPtzSuccess);
  ASSERT_EQ(WaitForPtzRequests(2).size(), 2u);
  ClearRequests();
  ASSERT_TRUE(Camera.InjectFault("stall", 20, 1500));
  ASSERT_EQ(ptz->Move(ipc::kPtzMoveRight, 1), ipc::kPtzSuccess);
  ASSERT_EQ(WaitForPtzRequests(1).size(), 1u) << "the worker is inside the stalled request";
  for (int i = 0; i < 4; ++i) ASSERT_EQ(ptz->Move(ipc::kPtzMoveUp, 1), ipc::kPtzSuccess);

  std::atomic<bool> gotoDone{false};
  int32_t gone = 0;
  std::thread host([&] {
    gone = ptz->GotoPreposition(0, "Door");
    gotoDone = true;
  });
  // Let the go-to start waiting for the camera, then move from another recorder thread.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_FALSE(gotoDone.load());
  EXPECT_EQ(ptz->Move(ipc::kPtzMoveDown, 1), ipc::kPtzSuccess);
  EXPECT_FALSE(gotoDone.load()) << "the move waited for the go-to";
  EXPECT_EQ(ptz->GetPrepositionCount(), 1);
  host.join();
  EXPECT_EQ(gone, ipc::kPtzSuccess);
  // The moves queued before the go-to are overtaken by it: the camera drives to the preset anyway.
  const std::vector<std::string> expected = {"/config/ptz_move_cont.cgi?p=1&t=0&z=0",
                                             "/config/ptz_preset.cgi?name=1&act=go",
                                             "/config/ptz_move_cont.cgi?p=0&t=-1&z=0"};
  EXPECT_EQ(WaitForPtzRequests(expected.size()), expected);
  EXPECT_FALSE(hostkit::CurrentPreset(*ptz).has_value()) << "the later move left the preset";
}

TEST_F(PresetsThroughExports, TwoDriversOfOneDeviceShareItsPresets) {
  OpenDriver(kMac, 2);
  ipc::IIPCaptureDriverEx3* other = Module.Create();
  ASSERT_TRUE(other->Open(&Debug, &Allocator, &Params));
  ipc::IIPPTZApiEx* first = Control(0);
  ipc::IIPPTZApiEx* second = other->GetPTZDriverEx()->GetPTZApiEx(0);
  ipc::IIPPTZApiEx* secondChannel1 = other->GetPTZDriverEx()->GetPTZApiEx(1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_NE(secondChannel1, nullptr);
  EXPECT_EQ(first->AddPreposition("Door"), ipc::kPtzSuccess);
  EXPECT_EQ(second->AddPreposition("Gate"), ipc::kPtzSuccess);
  EXPECT_EQ(secondChannel1->AddPreposition("Yard"), ipc::kPtzSuccess);
  EXPECT_EQ(first->Move(ipc::kPtzMoveLeft, 1), ipc::kPtzSuccess);
  EXPECT_EQ(first->AddPreposition("Porch"), ipc::kPtzSuccess);
  const std::vector<std::string> channel0 = {"Door", "Gate", "Porch"};
  EXPECT_EQ(hostkit::PresetNames(*first), channel0);
  EXPECT_EQ(hostkit::PresetNames(*second), channel0);
  EXPECT_EQ(second->GotoPreposition(0, "Door"), ipc::kPtzSuccess);
  Module.Delete(other);
  ipc::IIPPTZApiEx* reopened = Reopen();
  EXPECT_EQ(hostkit::PresetNames(*reopened), channel0);
  DeleteDriver();
  OpenDriver(kMac, 2);
  EXPECT_EQ(hostkit::PresetNames(*Control(1)), std::vector<std::string>{"Yard"});
}

TEST_F(PresetsThroughExports, WhenThePresetFileCannotBeCreatedTheSecondRequestGetsAControlWithoutPresets) {
  const std::string unusable = Presets.Path() + "/missing/directory";
  setenv("QUENLARK_PRESET_DIR", unusable.c_str(), 1);
  OpenDriver();
  EXPECT_EQ(Control(0), nullptr);
  EXPECT_EQ(Debug.Count("korvalt::CBasePTZHandler::InitializeXMLStorage: cannot initialize "
                        "CXMLPrepositionReader object with parameter \"Quenlark_001122AABBCC.preset\""),
            1u);
  ipc::IIPPTZApiEx* ptz = Control(0);
  ASSERT_NE(ptz, nullptr);
  EXPECT_EQ(Control(0), ptz);
  EXPECT_EQ(ptz->GetPrepositionCount(), 0);
  EXPECT_EQ(ptz->Move(ipc::kPtzMoveLeft, 1), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->AddPreposition("Door"), ipc::kPtzNotAvailable) << "stored on the camera, not in a file";
  EXPECT_EQ(WaitForPtzRequests(2).size(), 2u);
  EXPECT_TRUE(Presets.Files().empty());
}

TEST_F(PresetsThroughExports, NamesUpToTheLimitAndLongerOnesFromOlderFilesAreListed) {
  const std::string older(3000, 'L');
  WriteFile("<PtzChannel01>" + Entry(0, older, "0") + "</PtzChannel01>");
  ipc::IIPPTZApiEx* ptz = Open();
  ASSERT_NE(ptz, nullptr);
  const std::string longest(ipc::kPtzMaxPresetNameLength, 'N');
  EXPECT_EQ(ptz->AddPreposition(longest.c_str()), ipc::kPtzSuccess);
  EXPECT_EQ(ptz->AddPreposition((longest + "N").c_str()), ipc::kPtzInvalidArgument);
  std::vector<char> buffer(ipc::kPtzMaxPresetNameLength + 1);
  EXPECT_EQ(ptz->GetPrepositionName(1, buffer.data(), static_cast<uint32_t>(buffer.size())),
            ipc::kPtzSuccess);
  EXPECT_EQ(hostkit::PresetNames(*ptz), (std::vector<std::string>{older, longest}));
  EXPECT_EQ(hostkit::CurrentPreset(*ptz), longest);
}

}  // namespace
}  // namespace ptztest
