// The command executor's queue, results and messages, with a vendor part that records what it
// is handed instead of asking a camera.

#include "ptz/base_ptz_comm.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "ptz/base_ptz_control.h"
#include "ptz/quenlark_ptz_control.h"
#include "support/fake_driver.h"

namespace korvalt {
namespace {

namespace ipc = ipcapture;

struct Handled {
  int32_t Command;
  int32_t Subtype;
  int32_t Speed;
  int32_t Param1;
  bool operator==(const Handled&) const = default;
};

// Records each item; the first one can be held until the test lets it go.
class RecordingComm : public CBasePTZComm {
 public:
  RecordingComm(IDriver* driver, const CPtzCapabilities& capabilities, uint16_t channel = 2)
      : CBasePTZComm(driver, capabilities, channel) {}
  ~RecordingComm() override {
    Release();
    Close();
  }

  void HandleWorkItem(CWorkItemThreadEx::IWorkItem* workItem) override {
    const auto& item = dynamic_cast<const CWorkItem&>(*workItem);
    std::unique_lock<std::mutex> guard(Lock);
    Items.push_back({item.Command, item.Subtype, item.Speed, item.Param1});
    Changed.notify_all();
    Changed.wait(guard, [&] { return !Holding; });
  }
  bool StorePreposition(int32_t, const std::string&) override { return true; }
  bool GotoPreposition(int32_t, const std::string&, int32_t) override { return true; }

  void Hold() {
    std::lock_guard<std::mutex> guard(Lock);
    Holding = true;
  }
  void Release() {
    std::lock_guard<std::mutex> guard(Lock);
    Holding = false;
    Changed.notify_all();
  }
  // Waits until count items were handed over; the items seen.
  std::vector<Handled> WaitFor(size_t count) {
    std::unique_lock<std::mutex> guard(Lock);
    Changed.wait_for(guard, std::chrono::seconds(5), [&] { return Items.size() >= count; });
    return Items;
  }

 private:
  std::mutex Lock;
  std::condition_variable Changed;
  bool Holding = false;
  std::vector<Handled> Items;
};

CPtzCapabilities Everything() {
  CPtzCapabilities all;
  all.CanPan = all.CanTilt = all.CanZoom = all.CanFocus = all.CanIris = true;
  all.CanAreaZoom = all.CanCenter = all.CanUnzoom = true;
  all.MaxPrepositions = 10;
  return all;
}

TEST(BasePTZComm, RequestsFillTheirItemsAndRunInOrder) {
  testsupport::FakeDriver driver;
  RecordingComm comm(&driver, Everything());
  ASSERT_TRUE(comm.Open());
  EXPECT_EQ(comm.StartMove(nullptr, ipc::kPtzMoveUpLeft, 16), ipc::kPtzSuccess);
  EXPECT_EQ(comm.StartFocus(nullptr, true, 3), ipc::kPtzSuccess);
  EXPECT_EQ(comm.StartFocus(nullptr, false, 3), ipc::kPtzSuccess);
  EXPECT_EQ(comm.StartIris(nullptr, true, 2), ipc::kPtzSuccess);
  EXPECT_EQ(comm.StartIris(nullptr, false, 2), ipc::kPtzSuccess);
  EXPECT_TRUE(comm.StopMoving(nullptr));
  EXPECT_TRUE(comm.StopZooming(nullptr));
  EXPECT_TRUE(comm.StopFocusing(nullptr));
  EXPECT_TRUE(comm.StopIrisChanging(nullptr));
  EXPECT_EQ(comm.AreaZoom(nullptr, 1, 2, 3, 4), ipc::kPtzSuccess);
  EXPECT_EQ(comm.Center(nullptr, 5, 6, 7), ipc::kPtzSuccess);
  EXPECT_EQ(comm.Unzoom(nullptr, 9), ipc::kPtzSuccess);
  const std::vector<Handled> expected = {
      {1, 0, 16, ipc::kPtzMoveUpLeft},
      {2, 2, 3, 0},
      {2, 1, 3, 0},
      {3, 3, 2, 0},
      {3, 4, 2, 0},
      {4, 5, 0, 0},
      {4, 6, 0, 0},
      {4, 7, 0, 0},
      {4, 8, 0, 0},
      {5, 0, 4, 1},
      {6, 0, 7, 5},
      {7, 0, 9, 0},
  };
  EXPECT_EQ(comm.WaitFor(expected.size()), expected);
  EXPECT_TRUE(driver.Lines().empty());
}

TEST(BasePTZComm, UnsupportedRequestsAreRefusedSilently) {
  testsupport::FakeDriver driver;
  CPtzCapabilities none;
  RecordingComm comm(&driver, none);
  ASSERT_TRUE(comm.Open());
  EXPECT_EQ(comm.StartMove(nullptr, ipc::kPtzZoomIn, 1), ipc::kPtzNotSupported)
      << "zoom is a move: governed by pan and tilt";
  EXPECT_EQ(comm.StartMove(nullptr, ipc::kPtzZoomOut, 1), ipc::kPtzNotSupported);
  EXPECT_EQ(comm.StartFocus(nullptr, true, 1), ipc::kPtzNotSupported);
  EXPECT_EQ(comm.StartIris(nullptr, true, 1), ipc::kPtzNotSupported);
  EXPECT_EQ(comm.AreaZoom(nullptr, 1, 2, 3, 4), ipc::kPtzNotSupported);
  EXPECT_EQ(comm.Center(nullptr, 1, 2, 3), ipc::kPtzNotSupported);
  EXPECT_EQ(comm.Unzoom(nullptr, 1), ipc::kPtzNotSupported);
  EXPECT_TRUE(comm.StopMoving(nullptr)) << "stops need no capability";
  EXPECT_EQ(comm.WaitFor(1).size(), 1u);
  EXPECT_TRUE(driver.Lines().empty());
}

TEST(BasePTZComm, AnyPTZFunctionIgnoresAreaZoomCenterAndUnzoom) {
  testsupport::FakeDriver driver;
  CPtzCapabilities only;
  only.CanAreaZoom = only.CanCenter = only.CanUnzoom = true;
  EXPECT_FALSE(RecordingComm(&driver, only).HasAnyPTZFunction(nullptr));
  for (bool CPtzCapabilities::*flag :
       {&CPtzCapabilities::CanPan, &CPtzCapabilities::CanTilt, &CPtzCapabilities::CanZoom,
        &CPtzCapabilities::CanFocus, &CPtzCapabilities::CanIris}) {
    CPtzCapabilities one;
    one.*flag = true;
    EXPECT_TRUE(RecordingComm(&driver, one).HasAnyPTZFunction(nullptr));
  }
}

TEST(BasePTZComm, SixteenPendingItemsAtMostAndTheOldestGoesFirst) {
  testsupport::FakeDriver driver;
  RecordingComm comm(&driver, Everything());
  ASSERT_TRUE(comm.Open());
  comm.Hold();
  ASSERT_EQ(comm.StartMove(nullptr, ipc::kPtzMoveLeft, 100), ipc::kPtzSuccess);
  ASSERT_EQ(comm.WaitFor(1).size(), 1u) << "the worker holds the first item";
  for (int32_t speed = 1; speed <= 17; ++speed)
    EXPECT_EQ(comm.StartMove(nullptr, ipc::kPtzMoveRight, speed), ipc::kPtzSuccess);
  EXPECT_TRUE(comm.StopMoving(nullptr)) << "a stop does not overtake; it pushes the oldest out";
  EXPECT_EQ(comm.QueueLength(), 16u);
  comm.Release();
  const std::vector<Handled> seen = comm.WaitFor(17);
  ASSERT_EQ(seen.size(), 17u);
  EXPECT_EQ(seen[0], (Handled{1, 0, 100, ipc::kPtzMoveLeft}));
  for (int32_t i = 1; i < 16; ++i) EXPECT_EQ(seen[i], (Handled{1, 0, i + 2, ipc::kPtzMoveRight})) << i;
  EXPECT_EQ(seen[16], (Handled{4, 5, 0, 0}));
}

TEST(BasePTZComm, RequestsAfterCloseFailAndNameTheirCommand) {
  testsupport::FakeDriver driver;
  RecordingComm comm(&driver, Everything());
  ASSERT_TRUE(comm.Open());
  ASSERT_TRUE(comm.Open()) << "a second Open keeps the running thread";
  EXPECT_TRUE(driver.Lines().empty());
  EXPECT_TRUE(comm.Close());
  EXPECT_FALSE(comm.Close());
  EXPECT_EQ(comm.StartMove(nullptr, ipc::kPtzMoveLeft, 1), ipc::kPtzNotAvailable);
  EXPECT_EQ(comm.StartFocus(nullptr, true, 1), ipc::kPtzNotAvailable);
  EXPECT_EQ(comm.StartIris(nullptr, true, 1), ipc::kPtzNotAvailable);
  EXPECT_FALSE(comm.StopMoving(nullptr));
  EXPECT_FALSE(comm.StopZooming(nullptr));
  EXPECT_FALSE(comm.StopFocusing(nullptr));
  EXPECT_FALSE(comm.StopIrisChanging(nullptr));
  EXPECT_EQ(comm.AreaZoom(nullptr, 0, 0, 0, 0), ipc::kPtzNotAvailable);
  EXPECT_EQ(comm.Center(nullptr, 0, 0, 0), ipc::kPtzNotAvailable);
  EXPECT_EQ(comm.Unzoom(nullptr, 0), ipc::kPtzNotAvailable);
  const std::vector<testsupport::FakeDriver::Line> expected = {
      {ipc::kDebugLevelError, "korvalt::CBasePTZComm::StartMove: cannot send message (1) to thread"},
      {ipc::kDebugLevelError, "korvalt::CBasePTZComm::StartFocus: cannot send message (2) to thread"},
      {ipc::kDebugLevelError, "korvalt::CBasePTZComm::StartIris: cannot send message (3) to thread"},
      {ipc::kDebugLevelError, "korvalt::CBasePTZComm::StopMoving: cannot send message (4) to thread"},
      {ipc::kDebugLevelError, "korvalt::CBasePTZComm::StopZooming: cannot send message (4) to thread"},
      {ipc::kDebugLevelError, "korvalt::CBasePTZComm::StopFocusing: cannot send message (4) to thread"},
      {ipc::kDebugLevelError, "korvalt::CBasePTZComm::StopIrisChanging: cannot send message (4) to thread"},
      {ipc::kDebugLevelError, "korvalt::CBasePTZComm::AreaZoom: cannot send message (5) to thread"},
      {ipc::kDebugLevelError, "korvalt::CBasePTZComm::Center: cannot send message (6) to thread"},
      {ipc::kDebugLevelError, "korvalt::CBasePTZComm::Unzoom: cannot send message (7) to thread"},
  };
  EXPECT_EQ(driver.Lines(), expected);
}

TEST(BasePTZComm, ForwardedLinesAreFinishedTextNeverFormats) {
  testsupport::FakeDriver driver;
  RecordingComm comm(&driver, Everything());
  IDebugMessage& sink = comm;
  sink.DebugMessage(ipc::kDebugLevelInformation, "%s: preset \"%s\"", "origin", "100%s%n");
  ASSERT_EQ(driver.Lines().size(), 1u);
  EXPECT_EQ(driver.Lines()[0],
            (testsupport::FakeDriver::Line{ipc::kDebugLevelInformation, "origin: preset \"100%s%n\""}));
}

// A control whose executor the test can close behind its back.
class ClosableControl : public CQuenlarkPTZControl {
 public:
  using CQuenlarkPTZControl::CQuenlarkPTZControl;
  CBasePTZComm* CreateComm() override { return Created = CQuenlarkPTZControl::CreateComm(); }
  CBasePTZComm* Created = nullptr;
};

TEST(BasePTZControl, StopAllKeepsTheFlagWhoseStopCouldNotBePosted) {
  testsupport::FakeDriver driver;
  korvalt::DEVICE_INFO device;
  device.Address = "127.0.0.1";
  device.Port = 9;  // nothing listens: queued requests fail on the worker, which is fine here
  device.NetworkTimeout = 200;
  driver.SetDeviceInfo(device);
  ClosableControl control(&driver, 0);
  ASSERT_TRUE(control.Initialize(TSmartPtr<CXMLPrepositionReader>(new CXMLPrepositionReader("Quenlark"))));
  EXPECT_EQ(control.ZoomIn(3), ipc::kPtzSuccess);
  ASSERT_TRUE(control.Created->Close());
  EXPECT_EQ(control.StopAll(), ipc::kPtzNotAvailable);
  EXPECT_EQ(driver.Count("korvalt::CBasePTZComm::StopZooming: cannot send message (4) to thread"), 1u);
  EXPECT_EQ(control.StopAll(), ipc::kPtzNotAvailable) << "the zoom flag stayed set, so it is tried again";
  EXPECT_EQ(driver.Count("StopZooming: cannot send message"), 2u);
  EXPECT_EQ(control.Move(ipc::kPtzMoveReserved, 1), ipc::kPtzInvalidArgument);
  EXPECT_EQ(control.Move(ipc::kPtzMoveLeft, 1), ipc::kPtzNotAvailable);
  ASSERT_TRUE(control.Created->Open());
  EXPECT_EQ(control.StopAll(), ipc::kPtzSuccess);
  EXPECT_EQ(driver.Count("cannot send message"), 3u) << "only the stop-zooming retry remained";
  EXPECT_EQ(control.StopAll(), ipc::kPtzSuccess);
  EXPECT_EQ(driver.Count("cannot send message"), 3u);
}

TEST(BasePTZControl, WithoutExecutorMovesAreUnavailableButPresetsAnswer) {
  testsupport::FakeDriver driver;
  ClosableControl control(&driver, 0);
  ipc::PTZ_CAPABILITIES record{};
  EXPECT_EQ(control.HasAnyPTZFunction(), ipc::kPtzNotAvailable);
  EXPECT_EQ(control.Move(ipc::kPtzMoveReserved, 1), ipc::kPtzNotAvailable);
  EXPECT_EQ(control.StopAll(), ipc::kPtzNotAvailable);
  EXPECT_EQ(control.GetCapabilities(nullptr), ipc::kPtzNotAvailable);
  EXPECT_EQ(control.GetCapabilities(&record), ipc::kPtzNotAvailable);
  EXPECT_EQ(control.GetPrepositionCount(), 0);
  char name[8];
  EXPECT_EQ(control.GetCurrentPreposition(name, sizeof name), ipc::kPtzPresetFailed);
  EXPECT_EQ(control.AddPreposition(nullptr), ipc::kPtzInvalidArgument);
  EXPECT_EQ(control.GotoPreposition(0, nullptr), ipc::kPtzInvalidArgument);
  EXPECT_EQ(control.RemovePreposition(nullptr), ipc::kPtzInvalidArgument);
}

// A control whose executor records what it is handed; its thread may be made to fail to start.
class RecordingControl : public CBasePTZControl {
 public:
  RecordingControl(IDriver* driver, bool startable) : CBasePTZControl(driver, 0), Startable(startable) {}
  CBasePTZComm* CreateComm() override;
  RecordingComm* Created = nullptr;

 private:
  const bool Startable;
};

class UnstartableComm : public RecordingComm {
 public:
  using RecordingComm::RecordingComm;
  bool Start(const std::string&) override { return false; }
};

CBasePTZComm* RecordingControl::CreateComm() {
  Created =
      Startable ? new RecordingComm(Driver, Everything(), 0) : new UnstartableComm(Driver, Everything(), 0);
  return Created;
}

TSmartPtr<CXMLPrepositionReader> UnopenedReader() {
  return TSmartPtr<CXMLPrepositionReader>(new CXMLPrepositionReader("Quenlark"));
}

TEST(BasePTZControl, AZoomStartedThroughMoveIsStoppedAsAZoom) {
  testsupport::FakeDriver driver;
  RecordingControl control(&driver, true);
  ASSERT_TRUE(control.Initialize(UnopenedReader()));
  EXPECT_EQ(control.Move(ipc::kPtzZoomIn, 5), ipc::kPtzSuccess);
  EXPECT_EQ(control.StopAll(), ipc::kPtzSuccess);
  EXPECT_EQ(control.Move(ipc::kPtzZoomOut, 5), ipc::kPtzSuccess);
  EXPECT_EQ(control.Move(ipc::kPtzMoveLeft, 5), ipc::kPtzSuccess);
  EXPECT_EQ(control.StopAll(), ipc::kPtzSuccess);
  const std::vector<Handled> expected = {
      {1, 0, 5, ipc::kPtzZoomIn},
      {4, 6, 0, 0},  // stop zooming, not stop moving
      {1, 0, 5, ipc::kPtzZoomOut},
      {1, 0, 5, ipc::kPtzMoveLeft},
      {4, 5, 0, 0},
      {4, 6, 0, 0},  // moving first, then zooming
  };
  EXPECT_EQ(control.Created->WaitFor(expected.size()), expected);
}

TEST(BasePTZControl, AThreadThatCannotStartIsReportedAndTheChannelGivenUp) {
  testsupport::FakeDriver driver;
  UnstartableComm comm(&driver, Everything());
  EXPECT_FALSE(comm.Open());
  EXPECT_EQ(comm.StartMove(nullptr, ipc::kPtzMoveLeft, 1), ipc::kPtzNotAvailable);
  RecordingControl control(&driver, false);
  EXPECT_FALSE(control.Initialize(UnopenedReader()));
  EXPECT_EQ(control.Move(ipc::kPtzMoveLeft, 1), ipc::kPtzNotAvailable) << "no executor is kept";
  EXPECT_EQ(driver.Count("korvalt::CBasePTZComm::Open: unable to start thread for PTZ channel 3"), 1u);
  EXPECT_EQ(driver.Count("korvalt::CBasePTZComm::Open: unable to start thread for PTZ channel 1"), 1u);
}

}  // namespace
}  // namespace korvalt
