#pragma once
// Capability query: what a camera is and can do, asked before any driver object exists.
//
// The recorder registers a callback (InitCapabilityQuery), starts one query with an address,
// port, user name, password and a result object (StartCapabilityQuery), waits for the callback,
// and ends with UninitCapabilityQuery, which also stops a query still running. One query at a
// time per process. The query runs on a thread of the module: the callback and the result
// objects are called from that thread, and UninitCapabilityQuery waits for it, so never call
// UninitCapabilityQuery while holding a lock that the callback takes. Everything the recorder
// passes in is borrowed until UninitCapabilityQuery returns.

#include "abi.h"

#include <cstdint>

namespace korvalt::ipcapture {

// Property ids of ICapabilityResults::SetProperty.
inline constexpr int32_t kCapabilityQueried = 0;  // 1: the camera was asked
inline constexpr int32_t kCapabilityPTZ = 1;      // 1: pan, tilt and zoom
inline constexpr int32_t kCapabilityInputs = 2;   // number of digital inputs (only when above 0)
inline constexpr int32_t kCapabilityOutputs = 3;  // number of digital outputs (only when above 0)
inline constexpr int32_t kCapabilityAudio = 4;    // 1: audio streams
inline constexpr int32_t kCapabilityFlag5 = 5;    // never set by this camera family
inline constexpr int32_t kCapabilityMPEG4 = 6;    // 1: MPEG-4 (kCodecTypeMPEG4 at Open)
inline constexpr int32_t kCapabilityMJPEG = 7;    // 1: Motion-JPEG (kCodecTypeMJPEG at Open)
inline constexpr int32_t kCapabilityH264 = 8;     // 1: H.264 (kCodecTypeH264 at Open)
inline constexpr int32_t kCapabilityFlag11 = 11;  // always written, 0 for this camera family
inline constexpr int32_t kCapabilityFlag12 = 12;  // always written, 0 for this camera family

// Indexes of ICapabilityResults::GetAddressField: the values the query was started with.
inline constexpr int32_t kAddressFieldAddress = 1;
inline constexpr int32_t kAddressFieldPort = 2;  // decimal text
inline constexpr int32_t kAddressFieldUserName = 3;
inline constexpr int32_t kAddressFieldPassword = 4;

// Types of ICustomParameterInfo::SetType.
inline constexpr int32_t kCustomParameterNumber = 0;
inline constexpr int32_t kCustomParameterText = 1;

// Error code passed to ICapabilityQueryCallback::QueryFailed.
inline constexpr int32_t kCapabilityQueryError = 3;

// Implemented by the recorder; registered with InitCapabilityQuery. Slot 2 or slot 3 is called
// once, on the query thread, when a query ends.
class ICapabilityQueryCallback {
 public:
  QUENLARK_DESTRUCTOR_SLOT(ICapabilityQueryCallback)  // slot 0
  virtual void Reserved1() = 0;                       // slot 1: not called by the module
  // slot 2: the result object holds the answers.
  virtual void QueryCompleted() = 0;
  // slot 3: message is valid only during the call. Answers given before the failure may
  // already be in the result object.
  virtual void QueryFailed(int32_t errorCode, const char* message) = 0;
};

// One text field of the result object. Implemented by the recorder.
class ICapabilityText {
 public:
  QUENLARK_DESTRUCTOR_SLOT(ICapabilityText)    // slot 0
  virtual void SetText(const char* text) = 0;  // slot 1: valid only during the call
};

// The resolutions that match the camera's video standard. Implemented by the recorder.
class IResolutionList {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IResolutionList)  // slot 0
  // slot 1: text is "WxH"; frameInterval is the shortest interval in milliseconds at this size,
  // or 0 when none is known.
  virtual void AddResolution(const char* text, int32_t width, int32_t height, int32_t frameInterval) = 0;
};

// Frame intervals in milliseconds (1000 / frame rate, rounded). Implemented by the recorder.
class IFrameIntervalList {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IFrameIntervalList)            // slot 0
  virtual void SetDefaultInterval(int32_t interval) = 0;  // slot 1: the shortest; written after the list
  virtual void AddInterval(int32_t interval) = 0;         // slot 2: longest first
};

// One custom parameter of the device, to be handed back through IDeviceParams at Open.
// Implemented by the recorder.
class ICustomParameterInfo {
 public:
  QUENLARK_DESTRUCTOR_SLOT(ICustomParameterInfo)  // slot 0
  virtual void SetValue(const char* value) = 0;   // slot 1: "(none)" for an unknown text
  virtual void Reserved2() = 0;                   // slots 2 and 3: not called by the module
  virtual void Reserved3() = 0;
  virtual void SetType(int32_t type) = 0;        // slot 4: kCustomParameterNumber or kCustomParameterText
  virtual void SetName(const char* name) = 0;    // slot 5: "Video standard", "Firmware", "MAC Address"
  virtual void SetAttribute(int32_t value) = 0;  // slot 6: always 0
};

// The recorder's result object, fifth argument of StartCapabilityQuery. Its sub-objects are
// the recorder's too and must stay valid while the query runs. Strings are valid only during
// the call that passes them.
class ICapabilityResults {
 public:
  QUENLARK_DESTRUCTOR_SLOT(ICapabilityResults)                  // slot 0
  virtual void SetProperty(int32_t id, int32_t value) = 0;      // slot 1: a kCapability* id
  virtual void SetName(const char* name) = 0;                   // slot 2: "Quenlark <model>"
  virtual ICapabilityText* GetAddressField(int32_t index) = 0;  // slot 3: a kAddressField* index
  virtual void Reserved4() = 0;                                 // slot 4: not called by the module
  // slot 5: custom parameter with the 1-based index (kCustomParameterVideoStandard "Video
  // standard", kCustomParameterFirmware "Firmware", kCustomParameterMacAddress "MAC Address").
  virtual ICustomParameterInfo* GetCustomParameter(int32_t index) = 0;
  virtual IResolutionList* GetResolutionList() = 0;                     // slot 6
  virtual void Reserved7() = 0;                                         // slot 7: not called by the module
  virtual IFrameIntervalList* GetFrameIntervalList(int32_t which) = 0;  // slot 8: the module asks for 1
};

}  // namespace korvalt::ipcapture

extern "C" {

// Every export returns 1 for success and 0 for failure.

// Registers the callback; 0 when one is registered already (call UninitCapabilityQuery first).
// The flag is stored and not used.
int32_t QUENLARK_CALL InitCapabilityQuery(korvalt::ipcapture::ICapabilityQueryCallback* callback,
                                          int32_t flag);
// Starts the query thread; port is the camera's HTTP port (0 to 65535). Returns before any
// network traffic.
int32_t QUENLARK_CALL StartCapabilityQuery(const char* address, uint32_t port, const char* userName,
                                           const char* password,
                                           korvalt::ipcapture::ICapabilityResults* results);
// Asks a running query to stop before its next request to the camera; the callback still
// reports the result reached by then.
int32_t QUENLARK_CALL TerminateCapabilityQuery();
// Stops the query, waits for its thread and releases everything; then the callback and the
// result object are no longer used. Safe without a prior start.
int32_t QUENLARK_CALL UninitCapabilityQuery();

typedef int32_t(QUENLARK_CALL* InitCapabilityQueryFn)(korvalt::ipcapture::ICapabilityQueryCallback*, int32_t);
typedef int32_t(QUENLARK_CALL* StartCapabilityQueryFn)(const char*, uint32_t, const char*, const char*,
                                                       korvalt::ipcapture::ICapabilityResults*);
typedef int32_t(QUENLARK_CALL* TerminateCapabilityQueryFn)();
typedef int32_t(QUENLARK_CALL* UninitCapabilityQueryFn)();
}
