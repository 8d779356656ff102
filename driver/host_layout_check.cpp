// Compile-time checks of the host interfaces' binary shape (driver/host/abi.h): on Windows slot 0
// is Microsoft's one-slot scalar deleting destructor and no interface has a C++ virtual
// destructor (which would take two slots); on x86 it is __thiscall; on Linux slot 0 stays an
// ordinary virtual destructor. The slot numbers themselves are checked by the driver tests.

#include <type_traits>

#include "driver/host/quenlark_ipcapture.h"

namespace korvalt::ipcapture {
namespace {

// The function type of a member function pointer, without its class: convention attributes stay.
template <class T>
struct MemberFunction;
template <class Function, class Class>
struct MemberFunction<Function Class::*> {
  using Type = Function;
};

// Slot 0 as abi.h spells it: void* __thiscall (unsigned int) on x86 Windows.
// (A template, so that the Windows-only member is named only where it exists.)
template <class>
class Reference {
  QUENLARK_DESTRUCTOR_SLOT(Reference)
};

template <class Interface>
constexpr bool HasHostSlotZero() {
  if constexpr (QUENLARK_MSVC_LAYOUT) {
    using Expected = typename MemberFunction<decltype(&Reference<Interface>::ScalarDeletingDestructor)>::Type;
    return std::is_polymorphic_v<Interface> && !std::has_virtual_destructor_v<Interface> &&
           std::is_same_v<typename MemberFunction<decltype(&Interface::ScalarDeletingDestructor)>::Type,
                          Expected>;
  } else {
    return std::is_polymorphic_v<Interface> && std::has_virtual_destructor_v<Interface>;
  }
}

template <class... Interfaces>
constexpr bool AllHaveHostSlotZero() {
  return (HasHostSlotZero<Interfaces>() && ...);
}

static_assert(AllHaveHostSlotZero<
                  CDebugInfoIf, IDebugSink, IDeviceDescription, IConnectionParams, IDeviceParams,
                  IFrameSample, ISampleAllocator, IFrameSink, IPictureSize, IVideoFormat, IEncodingParams,
                  IChannelSettings, IIPVideoCapture, IIPVideoCaptureEx, IIOEventSink, korvalt::ICaptureIOApi,
                  IIPPTZApi, IIPPTZApiEx, IIPParams, IIPPTZDriver, IIPPTZDriverEx, IIPCaptureDriver,
                  IIPCaptureDriverEx3, ICapabilityQueryCallback, ICapabilityText, IResolutionList,
                  IFrameIntervalList, ICustomParameterInfo, ICapabilityResults>(),
              "slot 0 of a host interface has the wrong shape for this system");

}  // namespace
}  // namespace korvalt::ipcapture
