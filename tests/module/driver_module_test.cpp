// The driver as a recorder sees it: loaded with dlopen, reached only through its exports and
// the interfaces of the public headers.

#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "tools/hostkit/debug_sink.h"
#include "tools/hostkit/device_params.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/video.h"

namespace {

namespace ipc = korvalt::ipcapture;
using korvalt::ipcapture::IIPCaptureDriverEx3;

class DriverModule : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Module.Load(QUENLARK_MODULE_PATH)) << Module.Error(); }

  // A driver owned by the test, deleted through the module's export.
  std::unique_ptr<IIPCaptureDriverEx3, DeleteIPCaptureFn> Create() {
    return {Module.Create(), Module.Delete};
  }

  hostkit::Module Module;
  hostkit::DebugSink Sink;
  hostkit::SampleAllocator Allocator;
};

TEST_F(DriverModule, EveryExportNameIsResolvable) {
  for (const char* name :
       {"CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx2", "CreateIPCaptureEx3", "DeleteIPCapture",
        "DeleteIPCaptureEx", "DeleteIPCaptureEx2", "DeleteIPCaptureEx3"}) {
    EXPECT_NE(Module.Symbol(name), nullptr) << name;
  }
}

TEST_F(DriverModule, ObjectsFromAnyCreateNameCanBeDeletedByAnyDeleteName) {
  const char* creators[] = {"CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx2",
                            "CreateIPCaptureEx3"};
  const char* deleters[] = {"DeleteIPCaptureEx3", "DeleteIPCaptureEx2", "DeleteIPCaptureEx",
                            "DeleteIPCapture"};
  for (int i = 0; i < 4; ++i) {
    auto create = reinterpret_cast<CreateIPCaptureFn>(Module.Symbol(creators[i]));
    auto destroy = reinterpret_cast<DeleteIPCaptureFn>(Module.Symbol(deleters[i]));
    IIPCaptureDriverEx3* driver = create();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->GetVideoCapture(), nullptr) << "not opened yet";
    EXPECT_EQ(driver->GetCaptureIO(), nullptr);
    EXPECT_EQ(driver->GetPTZDriver(), nullptr);
    destroy(driver);
  }
}

TEST_F(DriverModule, DeleteOfNullIsIgnored) {
  for (const char* name :
       {"DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx2", "DeleteIPCaptureEx3"}) {
    reinterpret_cast<DeleteIPCaptureFn>(Module.Symbol(name))(nullptr);
  }
}

TEST_F(DriverModule, OpenMessageNamesDriverModelFirmwareAndAddress) {
  struct Case {
    const char* Firmware;  // null: parameter 2 not supplied
    const char* Expected;
  };
  const Case cases[] = {
      {"2.01",
       "OPEN DRIVER::Driver name: QuenlarkIPCapture, Device model: QL-5220, FW: 2.01, Address: "
       "cam.example:8080"},
      {"",
       "OPEN DRIVER::Driver name: QuenlarkIPCapture, Device model: QL-5220, FW: none, Address: "
       "cam.example:8080"},
      {"(none)",
       "OPEN DRIVER::Driver name: QuenlarkIPCapture, Device model: QL-5220, FW: none, Address: "
       "cam.example:8080"},
      {nullptr,
       "OPEN DRIVER::Driver name: QuenlarkIPCapture, Device model: QL-5220, FW: none, Address: "
       "cam.example:8080"},
  };
  for (const Case& c : cases) {
    hostkit::DeviceConfig config;
    config.Model = "QL-5220";
    config.Address = "cam.example";
    config.Port = 8080;
    config.Custom[ipc::kCustomParameterVideoStandard] = "0";
    if (c.Firmware != nullptr) config.Custom[ipc::kCustomParameterFirmware] = c.Firmware;
    hostkit::DeviceParams params(config);
    hostkit::DebugSink sink;
    auto driver = Create();
    ASSERT_TRUE(driver->Open(&sink, &Allocator, &params));
    const auto lines = sink.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].Level, ipc::kDebugLevelInformation);
    EXPECT_EQ(lines[0].Text, c.Expected);
  }
}

TEST_F(DriverModule, OpenWithoutSinkSucceedsSilently) {
  hostkit::DeviceParams params;
  auto driver = Create();
  EXPECT_TRUE(driver->Open(nullptr, nullptr, &params));
  EXPECT_NE(driver->GetVideoCapture(), nullptr);
}

TEST_F(DriverModule, OpenWithoutParametersFails) {
  auto driver = Create();
  EXPECT_FALSE(driver->Open(&Sink, &Allocator, nullptr));
  EXPECT_EQ(driver->GetVideoCapture(), nullptr);
}

TEST_F(DriverModule, ReservedSlotsAreNullAndAccessorsAgree) {
  hostkit::DeviceParams params;
  params.Config.Channels = 2;
  auto driver = Create();
  EXPECT_EQ(driver->ReservedEx(), nullptr);
  EXPECT_EQ(driver->ReservedEx2(), nullptr);
  ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
  EXPECT_EQ(driver->ReservedEx(), nullptr);
  EXPECT_EQ(driver->ReservedEx2(), nullptr);
  ASSERT_NE(driver->GetVideoCapture(), nullptr);
  EXPECT_EQ(driver->GetVideoCapture(),
            static_cast<korvalt::ipcapture::IIPVideoCapture*>(driver->GetVideoCaptureEx()));
  EXPECT_EQ(driver->GetVideoCapture()->GetChannelCount(), 2u);
  EXPECT_EQ(driver->GetPTZDriver(), static_cast<korvalt::ipcapture::IIPPTZDriver*>(driver->GetPTZDriverEx()));
  driver->Close();
  EXPECT_EQ(driver->GetVideoCapture(), nullptr);
  EXPECT_EQ(driver->GetVideoCaptureEx(), nullptr);
  EXPECT_EQ(driver->GetCaptureIO(), nullptr);
  EXPECT_EQ(driver->GetPTZDriverEx(), nullptr);
  driver->Close();  // closing twice is harmless
}

TEST_F(DriverModule, ReopenWithoutCloseReplacesTheVideoCapture) {
  hostkit::DeviceParams params;
  params.Config.Channels = 1;
  auto driver = Create();
  ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
  ASSERT_NE(driver->GetVideoCapture(), nullptr);
  params.Config.Channels = 3;
  ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
  ASSERT_NE(driver->GetVideoCapture(), nullptr);
  EXPECT_EQ(driver->GetVideoCapture()->GetChannelCount(), 3u);
  // The earlier object is gone; under LeakSanitizer a leak would fail this test.
}

TEST_F(DriverModule, ChannelCountZeroRefusesEveryChannelOperation) {
  hostkit::DeviceParams params;
  params.Config.Channels = 0;
  auto driver = Create();
  ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
  auto* capture = driver->GetVideoCapture();
  ASSERT_NE(capture, nullptr);
  hostkit::FrameSink frames;
  hostkit::ChannelSettings settings(40, 50, 640, 480);
  hostkit::PictureSize size(320, 240);
  int32_t state = -1;
  int32_t reserved = -1;
  EXPECT_FALSE(capture->StartChannel(0, &frames, &settings));
  EXPECT_FALSE(capture->StopChannel(0));
  EXPECT_FALSE(capture->RestartChannel(0, &size, 40));
  EXPECT_FALSE(capture->GetChannelState(0, &state, &reserved, nullptr, 0));
  EXPECT_EQ(state, -1) << "state is not written without a channel";
  EXPECT_EQ(reserved, 0) << "the reserved value is always zeroed";
}

TEST_F(DriverModule, ChannelWithUnknownCodecStartsAsNothing) {
  hostkit::DeviceParams params;
  params.Config.CodecType = 7;
  auto driver = Create();
  ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
  auto* capture = driver->GetVideoCapture();
  hostkit::FrameSink frames;
  hostkit::ChannelSettings settings(40, 50, 640, 480);
  EXPECT_TRUE(capture->StartChannel(0, &frames, &settings));
  int32_t state = -1;
  int32_t reserved = 0;
  uint8_t byte = 7;
  EXPECT_FALSE(capture->GetChannelState(0, &state, &reserved, &byte, 0));
  EXPECT_EQ(byte, 7) << "reserved flag 0 leaves the byte alone";
  EXPECT_FALSE(capture->GetChannelState(0, &state, &reserved, &byte, 1));
  EXPECT_EQ(byte, 0);
  EXPECT_FALSE(capture->StopChannel(0));
  EXPECT_EQ(capture->ReservedCapture(), 0);
  EXPECT_FALSE(capture->ReservedCapture2(1, 2, 3));
  EXPECT_FALSE(capture->ReservedCapture3(1, 2, 3));
}

TEST_F(DriverModule, DriverDeletedWhileOpenClosesItself) {
  hostkit::DeviceParams params;
  auto* driver = Module.Create();
  ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
  Module.Delete(driver);
}

}  // namespace

// The driver's service interface is reached from the created object by a static pointer
// adjustment only: every call still goes through the module's own vtables.
#include "driver/ip_capture_driver.h"

namespace {

korvalt::IDriver* ServiceSide(IIPCaptureDriverEx3* driver) {
  return static_cast<korvalt::IDriver*>(static_cast<korvalt::CIPCaptureDriver*>(driver));
}

TEST_F(DriverModule, CustomParameterTextAndNumberRules) {
  hostkit::DeviceParams params;
  params.Config.Custom = {{1, "a"}, {2, ""}, {3, "(none)"}, {4, "12"}};
  auto driver = Create();
  ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
  korvalt::IDriver* service = ServiceSide(driver.get());

  struct Case {
    int Key;
    std::string Text;
    int32_t Number;
  };
  const Case cases[] = {
      {1, "a", INT32_MIN}, {2, "", INT32_MIN}, {3, "", INT32_MIN}, {4, "12", 12}, {5, "", INT32_MIN},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(service->GetCustomParameter(c.Key), c.Text) << "key " << c.Key;
    EXPECT_EQ(service->GetCustomParameterNumber(c.Key), c.Number) << "key " << c.Key;
  }
}

TEST_F(DriverModule, VideoStandardFollowsNumericParameterOne) {
  struct Case {
    const char* First;   // parameter 1 at the first Open
    const char* Second;  // parameter 1 at the second Open
    int32_t Expected;
  };
  const Case cases[] = {
      {"0", "0", 0}, {"-3", "-3", 1}, {"1", "x", 1}, {"0", "x", 0}, {"5", "0", 0}, {"x", "x", 0},
  };
  for (const Case& c : cases) {
    hostkit::DeviceParams params;
    auto driver = Create();
    params.Config.Custom[ipc::kCustomParameterVideoStandard] = c.First;
    ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
    params.Config.Custom[ipc::kCustomParameterVideoStandard] = c.Second;
    ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
    EXPECT_EQ(ServiceSide(driver.get())->GetVideoStandard(), c.Expected) << c.First << " then " << c.Second;
  }
}

TEST_F(DriverModule, OpenCopiesDeviceRecordAndSetsFamilyTimeouts) {
  hostkit::DeviceParams params;
  params.Config = {"QL-6250", 4, 2, 1, "10.1.2.3", 8081, ipc::kCodecTypeMPEG4, "admin", "pw", {}};
  auto driver = Create();
  korvalt::IDriver* service = ServiceSide(driver.get());
  const korvalt::DEVICE_INFO before = service->GetDeviceInfo();
  EXPECT_EQ(before.NetworkTimeout, 5000);
  EXPECT_EQ(before.SignalLossTimeout, 5000);
  EXPECT_EQ(before.Port, 80);
  EXPECT_TRUE(before.Address.empty());

  ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
  const korvalt::DEVICE_INFO info = service->GetDeviceInfo();
  EXPECT_EQ(info.NetworkTimeout, 20000);
  EXPECT_EQ(info.SignalLossTimeout, 10000);
  EXPECT_EQ(info.Address, "10.1.2.3");
  EXPECT_EQ(info.Port, 8081);
  EXPECT_EQ(info.UserName, "admin");
  EXPECT_EQ(info.Password, "pw");
  EXPECT_EQ(info.ModelName, "QL-6250");
  EXPECT_EQ(before.NetworkTimeout, 5000) << "a copy taken earlier keeps its values";
  EXPECT_EQ(service->GetIOCounts(), std::make_pair(2, 1));
  EXPECT_EQ(service->GetChannelCount(), 4);
  EXPECT_EQ(service->GetCodecType(), ipc::kCodecTypeMPEG4);
  EXPECT_EQ(service->GetSampleAllocator(), &Allocator);
}

TEST_F(DriverModule, CustomParametersBeyondTheLastSuppliedSurviveReopen) {
  hostkit::DeviceParams params;
  params.Config.Custom = {{1, "1"}, {2, "fw"}, {3, "mac"}};
  auto driver = Create();
  ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
  params.Config.Custom = {{1, "0"}};
  ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
  korvalt::IDriver* service = ServiceSide(driver.get());
  EXPECT_EQ(service->GetCustomParameter(1), "0");
  EXPECT_EQ(service->GetCustomParameter(3), "mac");
}

TEST_F(DriverModule, DiagnosticLinesArriveUnchangedWithLowLevelByte) {
  hostkit::DeviceParams params;
  auto driver = Create();
  ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
  Sink.Clear();
  korvalt::IDriver* service = ServiceSide(driver.get());
  service->DebugMessage(256 + ipc::kDebugLevelInformation, "%s: %d%%", "origin", 5);
  service->DebugMessage(ipc::kDebugLevelError, "%s", "");
  const std::string longText(100000, 'x');
  service->DebugMessage(ipc::kDebugLevelInformation, "%s", longText.c_str());
  const auto lines = Sink.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].Level, ipc::kDebugLevelInformation) << "only the low byte of the level arrives";
  EXPECT_EQ(lines[0].Text, "origin: 5%");
  EXPECT_EQ(lines[1].Level, ipc::kDebugLevelError);
  EXPECT_EQ(lines[1].Text, "");
  EXPECT_EQ(lines[2].Text, longText);
}

class ThrowingSink : public korvalt::ipcapture::IDebugSink {
 public:
  int32_t Message(CDebugInfoIf*) override { throw 42; }
};

TEST_F(DriverModule, ThrowingSinkDoesNotEscapeTheModule) {
  hostkit::DeviceParams params;
  ThrowingSink sink;
  auto driver = Create();
  EXPECT_TRUE(driver->Open(&sink, &Allocator, &params));
  ServiceSide(driver.get())->DebugMessage(ipc::kDebugLevelError, "%s", "x");
}

TEST_F(DriverModule, ChannelCountIsBoundedAndOpenStillSucceeds) {
  using korvalt::ipcapture::kMaxChannelCount;
  struct Case {
    int32_t Given;
    uint32_t Expected;
  };
  const Case cases[] = {
      {-5, 0},
      {0, 0},
      {2, 2},
      {kMaxChannelCount, kMaxChannelCount},
      {kMaxChannelCount + 1, kMaxChannelCount},
      {INT32_MAX - 1, kMaxChannelCount},
      {INT32_MAX, kMaxChannelCount},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Given);
    hostkit::DeviceParams params;
    params.Config.Channels = c.Given;
    auto driver = Create();
    ASSERT_TRUE(driver->Open(&Sink, &Allocator, &params));
    auto* capture = driver->GetVideoCapture();
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(capture->GetChannelCount(), c.Expected);
    EXPECT_EQ(ServiceSide(driver.get())->GetChannelCount(), static_cast<int32_t>(c.Expected));
    EXPECT_FALSE(capture->StopChannel(c.Expected)) << "first index beyond the table";
  }
}

}  // namespace
