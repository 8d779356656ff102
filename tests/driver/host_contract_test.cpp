// The binary contract with the recorder: slot numbers of every interface, the PTZ capability
// record layout, and the reference host objects that camctl and the tests rely on.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

#include "driver/host/quenlark_ipcapture.h"
#include "tools/hostkit/capability.h"
#include "tools/hostkit/io_sink.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/ptz.h"

namespace {
using namespace korvalt::ipcapture;
using korvalt::ICaptureIOApi;

// Slot number of a virtual operation, read from its pointer-to-member as the Itanium C++ ABI
// encodes it (1 + byte offset into the vtable). On Linux the virtual destructor takes two vtable
// entries but one slot, so entry n + 1 is slot n; on Windows slot 0 is Microsoft's one-entry
// scalar deleting destructor, so entry n is slot n.
template <typename Pmf>
int SlotOf(Pmf pmf) {
  struct {
    uintptr_t Pointer;
    ptrdiff_t Adjust;
  } raw;
  static_assert(sizeof pmf == sizeof raw);
  std::memcpy(&raw, &pmf, sizeof raw);
  if ((raw.Pointer & 1) == 0) return -1;  // not virtual
  return static_cast<int>((raw.Pointer - 1) / sizeof(void*)) - (QUENLARK_MSVC_LAYOUT ? 0 : 1);
}

struct SlotCase {
  const char* Operation;
  int Actual;
  int Expected;
};

#define SLOT(Class, Operation, Expected)                        \
  SlotCase {                                                    \
#Class "::" #Operation, SlotOf(&Class::Operation), Expected \
  }

TEST(HostContractTest, EveryOperationSitsInItsSlot) {
#if !defined(__x86_64__) && !defined(__i386__)
  GTEST_SKIP() << "slot numbers are read with the x86 Itanium ABI encoding";
#endif
  // clang-format off
  const SlotCase cases[] = {
      SLOT(CDebugInfoIf, GetLevel, 1), SLOT(CDebugInfoIf, GetText, 2),
      SLOT(IDebugSink, Message, 1),
      SLOT(IDeviceParams, GetDescription, 1), SLOT(IDeviceParams, GetConnection, 2),
      SLOT(IDeviceParams, GetCustomParameter, 4),
      SLOT(IDeviceDescription, GetModelName, 2), SLOT(IDeviceDescription, GetChannelCount, 3),
      SLOT(IDeviceDescription, GetInputCount, 5), SLOT(IDeviceDescription, GetOutputCount, 6),
      SLOT(IConnectionParams, GetAddress, 1), SLOT(IConnectionParams, GetPort, 2),
      SLOT(IConnectionParams, GetCodecType, 4), SLOT(IConnectionParams, GetUserName, 5),
      SLOT(IConnectionParams, GetPassword, 6),
      SLOT(IIPCaptureDriverEx3, Open, 1), SLOT(IIPCaptureDriverEx3, Close, 2),
      SLOT(IIPCaptureDriverEx3, GetVideoCapture, 3), SLOT(IIPCaptureDriverEx3, GetCaptureIO, 4),
      SLOT(IIPCaptureDriverEx3, ReservedEx, 5), SLOT(IIPCaptureDriverEx3, GetPTZDriver, 6),
      SLOT(IIPCaptureDriverEx3, ReservedEx2, 7), SLOT(IIPCaptureDriverEx3, GetVideoCaptureEx, 8),
      SLOT(IIPCaptureDriverEx3, GetPTZDriverEx, 9),
      SLOT(IIPVideoCaptureEx, GetChannelCount, 1), SLOT(IIPVideoCaptureEx, StartChannel, 2),
      SLOT(IIPVideoCaptureEx, StopChannel, 3), SLOT(IIPVideoCaptureEx, RestartChannel, 4),
      SLOT(IIPVideoCaptureEx, ReservedCapture, 5), SLOT(IIPVideoCaptureEx, GetChannelState, 6),
      SLOT(IIPVideoCaptureEx, ReservedCapture2, 7), SLOT(IIPVideoCaptureEx, ReservedCapture3, 8),
      SLOT(IIPVideoCaptureEx, ReservedCaptureEx, 9), SLOT(IIPVideoCaptureEx, ReservedCaptureEx2, 10),
      SLOT(ISampleAllocator, CreateSample, 2), SLOT(ISampleAllocator, ReleaseSample, 6),
      SLOT(IFrameSample, GetData, 2), SLOT(IFrameSample, SetDataSize, 4), SLOT(IFrameSample, Commit, 5),
      SLOT(IFrameSample, SetFourCC, 10), SLOT(IFrameSample, SetHeight, 12),
      SLOT(IFrameSample, SetWidth, 14), SLOT(IFrameSample, SetResolutionClass, 16),
      SLOT(IFrameSink, Deliver, 1), SLOT(IFrameSink, SignalLost, 3),
      SLOT(IChannelSettings, GetVideoFormat, 1), SLOT(IChannelSettings, GetEncodingParams, 2),
      SLOT(IEncodingParams, GetFrameInterval, 1), SLOT(IEncodingParams, GetQuality, 3),
      SLOT(IVideoFormat, GetPictureSize, 3),
      SLOT(IPictureSize, GetWidth, 1), SLOT(IPictureSize, GetHeight, 2),
      SLOT(IIOEventSink, InputChanged, 1), SLOT(IIOEventSink, IOFailure, 2),
      SLOT(ICaptureIOApi, SetIOSink, 1), SLOT(ICaptureIOApi, Start, 2), SLOT(ICaptureIOApi, Stop, 3),
      SLOT(ICaptureIOApi, GetInputCount, 4), SLOT(ICaptureIOApi, GetOutputCount, 5),
      SLOT(ICaptureIOApi, SetOutput, 6),
      SLOT(ICapabilityQueryCallback, QueryCompleted, 2), SLOT(ICapabilityQueryCallback, QueryFailed, 3),
      SLOT(ICapabilityResults, SetProperty, 1), SLOT(ICapabilityResults, SetName, 2),
      SLOT(ICapabilityResults, GetAddressField, 3), SLOT(ICapabilityResults, GetCustomParameter, 5),
      SLOT(ICapabilityResults, GetResolutionList, 6), SLOT(ICapabilityResults, GetFrameIntervalList, 8),
      SLOT(ICapabilityText, SetText, 1),
      SLOT(IResolutionList, AddResolution, 1),
      SLOT(IFrameIntervalList, SetDefaultInterval, 1), SLOT(IFrameIntervalList, AddInterval, 2),
      SLOT(ICustomParameterInfo, SetValue, 1), SLOT(ICustomParameterInfo, SetType, 4),
      SLOT(ICustomParameterInfo, SetName, 5), SLOT(ICustomParameterInfo, SetAttribute, 6),
      SLOT(IIPPTZApiEx, HasAnyPTZFunction, 1), SLOT(IIPPTZApiEx, Move, 2), SLOT(IIPPTZApiEx, StopAll, 3),
      SLOT(IIPPTZApiEx, Center, 4), SLOT(IIPPTZApiEx, ZoomIn, 5), SLOT(IIPPTZApiEx, ZoomOut, 6),
      SLOT(IIPPTZApiEx, Unzoom, 7), SLOT(IIPPTZApiEx, AreaZoom, 8), SLOT(IIPPTZApiEx, FocusPlus, 9),
      SLOT(IIPPTZApiEx, FocusMinus, 10), SLOT(IIPPTZApiEx, IrisPlus, 11), SLOT(IIPPTZApiEx, IrisMinus, 12),
      SLOT(IIPPTZApiEx, GetCapabilities, 13), SLOT(IIPPTZApiEx, GetPrepositionCount, 14),
      SLOT(IIPPTZApiEx, GetPrepositionName, 15), SLOT(IIPPTZApiEx, GotoPreposition, 16),
      SLOT(IIPPTZApiEx, AddPreposition, 17), SLOT(IIPPTZApiEx, RemovePreposition, 18),
      SLOT(IIPPTZApiEx, GetCurrentPreposition, 19), SLOT(IIPPTZApiEx, QueryFeature, 20),
      SLOT(IIPParams, GetChannel, 1), SLOT(IIPParams, GetHostFlagA, 2), SLOT(IIPParams, SetHostFlagA, 3),
      SLOT(IIPParams, GetHostFlagB, 4), SLOT(IIPParams, SetHostFlagB, 5),
      SLOT(IIPPTZDriverEx, GetPTZApi, 1), SLOT(IIPPTZDriverEx, GetPTZApiEx, 2),
  };
  // clang-format on
  for (const SlotCase& c : cases) EXPECT_EQ(c.Actual, c.Expected) << c.Operation;
}

TEST(HostContractTest, PtzCapabilityFieldsSitAtTheirByteOffsets) {
  struct FieldCase {
    uint32_t PTZ_CAPABILITIES::*Field;
    size_t Offset;
  };
  const FieldCase cases[] = {
      {&PTZ_CAPABILITIES::Reserved0, 0},         {&PTZ_CAPABILITIES::CanPan, 4},
      {&PTZ_CAPABILITIES::CanTilt, 8},           {&PTZ_CAPABILITIES::CanZoom, 12},
      {&PTZ_CAPABILITIES::CanFocus, 16},         {&PTZ_CAPABILITIES::CanIris, 20},
      {&PTZ_CAPABILITIES::Reserved24, 24},       {&PTZ_CAPABILITIES::MaxPrepositions, 28},
      {&PTZ_CAPABILITIES::PrepositionCount, 32}, {&PTZ_CAPABILITIES::Reserved36, 36},
      {&PTZ_CAPABILITIES::Reserved40, 40},       {&PTZ_CAPABILITIES::CanAreaZoom, 44},
      {&PTZ_CAPABILITIES::CanCenter, 48},        {&PTZ_CAPABILITIES::CanUnzoom, 52},
  };
  for (const FieldCase& c : cases) {
    PTZ_CAPABILITIES record = hostkit::MakeCapabilityRecord(0);
    record.*c.Field = 0x01020304u + static_cast<uint32_t>(c.Offset);
    EXPECT_EQ(hostkit::CapabilityField(record, c.Offset), 0x01020304u + c.Offset) << "offset " << c.Offset;
  }
  const PTZ_CAPABILITIES fresh = hostkit::MakeCapabilityRecord();
  EXPECT_EQ(hostkit::CapabilityField(fresh, 52), hostkit::kUnwrittenField);
  EXPECT_EQ(hostkit::CapabilityField(fresh, 54), 0u) << "a read past the record's end gives 0";
}

TEST(HostContractTest, PtzDriverExAnswersGetPTZApiWithTheExControl) {
  struct Driver : IIPPTZDriverEx {
    IIPPTZApiEx* GetPTZApiEx(uint32_t channel) override {
      Asked = channel;
      return reinterpret_cast<IIPPTZApiEx*>(&Marker);
    }
    int Marker = 0;
    uint32_t Asked = 0;
  } driver;
  IIPPTZDriver& base = driver;
  EXPECT_EQ(static_cast<void*>(base.GetPTZApi(3)), static_cast<void*>(&driver.Marker));
  EXPECT_EQ(driver.Asked, 3u);
}

TEST(HostContractTest, CapabilityResultsKeepEverythingTheQueryWrites) {
  hostkit::CapabilityResults results;
  ICapabilityResults& r = results;
  IFrameIntervalList* intervals = r.GetFrameIntervalList(1);
  intervals->AddInterval(200);
  intervals->AddInterval(33);
  intervals->SetDefaultInterval(33);
  r.SetProperty(kCapabilityQueried, 1);
  r.SetProperty(kCapabilityInputs, 2);
  r.SetProperty(kCapabilityInputs, 3);
  r.SetName("Quenlark QL-3110");
  r.GetResolutionList()->AddResolution("640x480", 640, 480, 33);
  r.GetAddressField(kAddressFieldPort)->SetText("8080");
  EXPECT_EQ(r.GetAddressField(kAddressFieldPort), r.GetAddressField(kAddressFieldPort));
  ICustomParameterInfo* mac = r.GetCustomParameter(kCustomParameterMacAddress);
  mac->SetName("MAC Address");
  mac->SetAttribute(0);
  mac->SetType(kCustomParameterText);
  mac->SetValue("0011223344AA");

  const hostkit::CapabilityReport report = results.Report();
  EXPECT_EQ(report.Name, "Quenlark QL-3110");
  EXPECT_EQ(report.Property(kCapabilityInputs), 3) << "the last write wins";
  EXPECT_EQ(report.PropertyWrites.size(), 3u);
  EXPECT_FALSE(report.Property(kCapabilityPTZ).has_value());
  EXPECT_EQ(report.FrameIntervalLists.at(1).Intervals, (std::vector<int32_t>{200, 33}));
  EXPECT_EQ(report.FrameIntervalLists.at(1).Default, 33);
  ASSERT_EQ(report.Resolutions.size(), 1u);
  EXPECT_EQ(report.Resolutions[0].Text, "640x480");
  EXPECT_EQ(report.AddressFields.at(kAddressFieldPort), "8080");
  const auto* parameter = report.FindCustomParameter("MAC Address");
  ASSERT_NE(parameter, nullptr);
  EXPECT_EQ(parameter->Value, "0011223344AA");
  EXPECT_EQ(parameter->Type, kCustomParameterText);
  EXPECT_NE(hostkit::FormatReport(report).find("inputs=3"), std::string::npos);

  results.Clear();
  r.GetAddressField(kAddressFieldPort)->SetText("80");  // handed-out objects survive Clear
  EXPECT_EQ(results.Report().AddressFields.at(kAddressFieldPort), "80");
  EXPECT_FALSE(results.Report().Name.has_value());
}

TEST(HostContractTest, CapabilityCallbackWaitsForTheQueryThread) {
  hostkit::CapabilityCallback callback;
  EXPECT_FALSE(callback.Wait(std::chrono::milliseconds(0)));
  int seen = 0;
  callback.SetCallback([&](const hostkit::CapabilityOutcome&) { ++seen; });
  std::thread query([&] {
    static_cast<ICapabilityQueryCallback&>(callback).QueryFailed(kCapabilityQueryError,
                                                                 "Failed to get camera properties");
  });
  EXPECT_TRUE(callback.Wait(std::chrono::seconds(10)));
  query.join();
  const hostkit::CapabilityOutcome outcome = callback.Outcome();
  EXPECT_FALSE(outcome.Succeeded());
  EXPECT_EQ(outcome.ErrorCode, kCapabilityQueryError);
  EXPECT_EQ(outcome.Message, "Failed to get camera properties");
  EXPECT_EQ(seen, 1);
}

TEST(HostContractTest, IOSinkKeepsEventsFromConcurrentThreads) {
  hostkit::IOEventSink sink;
  IIOEventSink& s = sink;
  std::thread input([&] {
    for (uint32_t i = 0; i < 100; ++i) s.InputChanged(i, kIOStateOn);
  });
  std::thread output([&] {
    for (int i = 0; i < 10; ++i) s.IOFailure();
  });
  EXPECT_TRUE(sink.WaitForChanges(100, std::chrono::seconds(10)));
  EXPECT_TRUE(sink.WaitForFailures(10, std::chrono::seconds(10)));
  input.join();
  output.join();
  EXPECT_EQ(sink.Events().size(), 110u);
  EXPECT_EQ(sink.Changes().back().Index, 99u);
  EXPECT_FALSE(sink.WaitForFailures(11, std::chrono::milliseconds(0)));
}

TEST(HostContractTest, ModuleExportsTheCapabilityQuery) {
  hostkit::Module module;
  ASSERT_TRUE(module.Load(QUENLARK_MODULE_PATH)) << module.Error();
  EXPECT_TRUE(module.HasCapabilityQuery());
}

}  // namespace
