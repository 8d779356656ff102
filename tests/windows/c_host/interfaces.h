/* The recorder interfaces as a recorder built with Microsoft's compiler sees them, written out by
 * hand in C: one struct of function pointers per vtable, slots in order, counted from 0. Slot 0
 * is Microsoft's scalar deleting destructor (one unsigned flags argument; bit 0 frees the
 * memory). Every member takes the object first; on 32-bit Windows members are thiscall (object
 * in ECX) and the exports cdecl. Nothing here comes from the module's own headers on purpose:
 * a mistake they share with the module would not show.
 */
#ifndef QUENLARK_C_HOST_INTERFACES_H
#define QUENLARK_C_HOST_INTERFACES_H

#include <stdbool.h>
#include <stdint.h>

#if defined(__i386__)
#define QH_THISCALL __attribute__((thiscall))
#define QH_EXPORT __cdecl
#else
#define QH_THISCALL
#define QH_EXPORT
#endif

/* A vtable slot: result, name, then the arguments after the object. */
#define QH_SLOT(result, name, ...) result(QH_THISCALL* name)(void* self, ##__VA_ARGS__)
#define QH_DESTRUCTOR_SLOT QH_SLOT(void*, ScalarDeletingDestructor, unsigned int flags)
/* A slot the host fills but the module never calls, or the host never calls. */
#define QH_UNUSED_SLOT(name) QH_SLOT(void, name)

/* Every interface object starts with its vtable pointer. */
#define QH_INTERFACE(Name)         \
  typedef struct Name {            \
    const struct Name##Vtbl* vtbl; \
  } Name

/* ---- Module objects (the recorder calls them) ---- */

/* One diagnostic line: 0 destructor, 1 level, 2 text. */
typedef struct CDebugInfoIfVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(uint8_t, GetLevel);
  QH_SLOT(const char*, GetText);
} CDebugInfoIfVtbl;
QH_INTERFACE(CDebugInfoIf);

/* Video capture: 0 destructor, 1 channel count, 2 start, 3 stop, 4 restart, 5 reserved (0),
 * 6 state, 7 and 8 reserved (three arguments, false), 9 and 10 reserved (one argument, false). */
struct IFrameSink;
struct IChannelSettings;
struct IPictureSize;
typedef struct IIPVideoCaptureVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(uint32_t, GetChannelCount);
  QH_SLOT(bool, StartChannel, uint32_t channel, struct IFrameSink* sink, struct IChannelSettings* settings);
  QH_SLOT(bool, StopChannel, uint32_t channel);
  QH_SLOT(bool, RestartChannel, uint32_t channel, struct IPictureSize* size, uint32_t frameInterval);
  QH_SLOT(int32_t, ReservedCapture);
  QH_SLOT(bool, GetChannelState, uint32_t channel, int32_t* state, int32_t* reservedValue,
          uint8_t* reservedByte, int32_t reservedFlag);
  QH_SLOT(bool, ReservedCapture2, int32_t a, int32_t b, int32_t c);
  QH_SLOT(bool, ReservedCapture3, int32_t a, int32_t b, int32_t c);
  QH_SLOT(bool, ReservedCaptureEx, int32_t a);
  QH_SLOT(bool, ReservedCaptureEx2, int32_t a);
} IIPVideoCaptureVtbl;
QH_INTERFACE(IIPVideoCapture);

/* Digital I/O: 0 destructor, 1 sink, 2 start, 3 stop, 4 input count, 5 output count, 6 set an
 * output (0-based index; state 1 off, other values on). Slots 7 and 8 are the module's own. */
struct IIOEventSink;
typedef struct ICaptureIOApiVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(bool, SetIOSink, struct IIOEventSink* sink);
  QH_SLOT(bool, Start);
  QH_SLOT(bool, Stop);
  QH_SLOT(uint32_t, GetInputCount);
  QH_SLOT(uint32_t, GetOutputCount);
  QH_SLOT(bool, SetOutput, int32_t output, int32_t state);
} ICaptureIOApiVtbl;
QH_INTERFACE(ICaptureIOApi);

/* The PTZ capability record: 32-bit fields at byte offsets 0, 4, ... 52. */
typedef struct PTZ_CAPABILITIES {
  uint32_t Reserved0, CanPan, CanTilt, CanZoom, CanFocus, CanIris, Reserved24, MaxPrepositions,
      PrepositionCount, Reserved36, Reserved40, CanAreaZoom, CanCenter, CanUnzoom;
} PTZ_CAPABILITIES;
_Static_assert(sizeof(PTZ_CAPABILITIES) == 56, "PTZ record is 56 bytes");

/* PTZ control of one channel: 0 destructor, 1 any function, 2 move, 3 stop all, 4 center,
 * 5 zoom in, 6 zoom out, 7 unzoom, 8 area zoom, 9 focus +, 10 focus -, 11 iris +, 12 iris -,
 * 13 capabilities, 14 preset count, 15 preset name, 16 go to, 17 add, 18 remove, 19 current
 * preset, 20 query feature (Ex). */
typedef struct IIPPTZApiExVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(int32_t, HasAnyPTZFunction);
  QH_SLOT(int32_t, Move, int32_t direction, int32_t speed);
  QH_SLOT(int32_t, StopAll);
  QH_SLOT(int32_t, Center, int32_t a, int32_t b, int32_t c);
  QH_SLOT(int32_t, ZoomIn, int32_t speed);
  QH_SLOT(int32_t, ZoomOut, int32_t speed);
  QH_SLOT(int32_t, Unzoom, int32_t a);
  QH_SLOT(int32_t, AreaZoom, int32_t a, int32_t b, int32_t c, int32_t d);
  QH_SLOT(int32_t, FocusPlus, int32_t speed);
  QH_SLOT(int32_t, FocusMinus, int32_t speed);
  QH_SLOT(int32_t, IrisPlus, int32_t speed);
  QH_SLOT(int32_t, IrisMinus, int32_t speed);
  QH_SLOT(int32_t, GetCapabilities, PTZ_CAPABILITIES* record);
  QH_SLOT(int32_t, GetPrepositionCount);
  QH_SLOT(int32_t, GetPrepositionName, int32_t index, char* buffer, uint32_t size);
  QH_SLOT(int32_t, GotoPreposition, int32_t param, const char* name);
  QH_SLOT(int32_t, AddPreposition, const char* name);
  QH_SLOT(int32_t, RemovePreposition, const char* name);
  QH_SLOT(int32_t, GetCurrentPreposition, char* buffer, uint32_t size);
  QH_SLOT(bool, QueryFeature, int32_t value);
} IIPPTZApiExVtbl;
QH_INTERFACE(IIPPTZApiEx);

/* PTZ driver: 0 destructor, 1 control of a channel, 2 the same control as its Ex interface. */
typedef struct IIPPTZDriverExVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(IIPPTZApiEx*, GetPTZApi, uint32_t channel);
  QH_SLOT(IIPPTZApiEx*, GetPTZApiEx, uint32_t channel);
} IIPPTZDriverExVtbl;
QH_INTERFACE(IIPPTZDriverEx);

/* The driver, IIPCaptureDriver to Ex3 in one chain: 0 destructor, 1 open, 2 close, 3 video
 * capture, 4 digital I/O, 5 reserved (null), 6 PTZ driver, 7 reserved (null), 8 video capture
 * (Ex), 9 PTZ driver (Ex). */
struct IDebugSink;
struct ISampleAllocator;
struct IDeviceParams;
typedef struct IIPCaptureDriverVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(bool, Open, struct IDebugSink* sink, struct ISampleAllocator* allocator,
          struct IDeviceParams* params);
  QH_SLOT(void, Close);
  QH_SLOT(IIPVideoCapture*, GetVideoCapture);
  QH_SLOT(ICaptureIOApi*, GetCaptureIO);
  QH_SLOT(void*, ReservedEx);
  QH_SLOT(IIPPTZDriverEx*, GetPTZDriver);
  QH_SLOT(void*, ReservedEx2);
  QH_SLOT(IIPVideoCapture*, GetVideoCaptureEx);
  QH_SLOT(IIPPTZDriverEx*, GetPTZDriverEx);
} IIPCaptureDriverVtbl;
QH_INTERFACE(IIPCaptureDriver);

/* ---- Recorder objects (the module calls them) ---- */

/* 0 destructor, 1 message (result ignored). */
typedef struct IDebugSinkVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(int32_t, Message, CDebugInfoIf* info);
} IDebugSinkVtbl;
QH_INTERFACE(IDebugSink);

/* One picture: 0 destructor, 2 data, 4 size, 5 commit, 10 four-character code, 12 height,
 * 14 width, 16 resolution class; the others are never called. */
typedef struct IFrameSampleVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_UNUSED_SLOT(Reserved1);
  QH_SLOT(uint8_t*, GetData);
  QH_UNUSED_SLOT(Reserved3);
  QH_SLOT(void, SetDataSize, uint32_t size);
  QH_SLOT(void, Commit);
  QH_UNUSED_SLOT(Reserved6);
  QH_UNUSED_SLOT(Reserved7);
  QH_UNUSED_SLOT(Reserved8);
  QH_UNUSED_SLOT(Reserved9);
  QH_SLOT(void, SetFourCC, uint32_t fourCC);
  QH_UNUSED_SLOT(Reserved11);
  QH_SLOT(void, SetHeight, uint32_t height);
  QH_UNUSED_SLOT(Reserved13);
  QH_SLOT(void, SetWidth, uint32_t width);
  QH_UNUSED_SLOT(Reserved15);
  QH_SLOT(void, SetResolutionClass, uint32_t value);
} IFrameSampleVtbl;
QH_INTERFACE(IFrameSample);

/* 0 destructor, 2 create a sample (code, capacity, producer), 6 release it. */
typedef struct ISampleAllocatorVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_UNUSED_SLOT(Reserved1);
  QH_SLOT(IFrameSample*, CreateSample, uint32_t fourCC, uint32_t capacity, const char* producer);
  QH_UNUSED_SLOT(Reserved3);
  QH_UNUSED_SLOT(Reserved4);
  QH_UNUSED_SLOT(Reserved5);
  QH_SLOT(void, ReleaseSample, IFrameSample* sample);
} ISampleAllocatorVtbl;
QH_INTERFACE(ISampleAllocator);

/* 0 destructor, 1 deliver (accepted), 3 signal lost. */
typedef struct IFrameSinkVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(bool, Deliver, IFrameSample* sample);
  QH_UNUSED_SLOT(Reserved2);
  QH_SLOT(void, SignalLost);
} IFrameSinkVtbl;
QH_INTERFACE(IFrameSink);

/* 0 destructor, 1 width, 2 height. */
typedef struct IPictureSizeVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(uint16_t, GetWidth);
  QH_SLOT(uint16_t, GetHeight);
} IPictureSizeVtbl;
QH_INTERFACE(IPictureSize);

/* 0 destructor, 3 picture size. */
typedef struct IVideoFormatVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_UNUSED_SLOT(Reserved1);
  QH_UNUSED_SLOT(Reserved2);
  QH_SLOT(IPictureSize*, GetPictureSize);
} IVideoFormatVtbl;
QH_INTERFACE(IVideoFormat);

/* 0 destructor, 1 frame interval (ms), 3 quality (0 to 100). */
typedef struct IEncodingParamsVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(uint16_t, GetFrameInterval);
  QH_UNUSED_SLOT(Reserved2);
  QH_SLOT(uint16_t, GetQuality);
} IEncodingParamsVtbl;
QH_INTERFACE(IEncodingParams);

/* 0 destructor, 1 video format, 2 encoding. */
typedef struct IChannelSettingsVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(IVideoFormat*, GetVideoFormat);
  QH_SLOT(IEncodingParams*, GetEncodingParams);
} IChannelSettingsVtbl;
QH_INTERFACE(IChannelSettings);

/* 0 destructor, 2 model, 3 channel count, 5 inputs, 6 outputs. */
typedef struct IDeviceDescriptionVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_UNUSED_SLOT(Reserved1);
  QH_SLOT(const char*, GetModelName);
  QH_SLOT(int32_t, GetChannelCount);
  QH_UNUSED_SLOT(Reserved4);
  QH_SLOT(int32_t, GetInputCount);
  QH_SLOT(int32_t, GetOutputCount);
} IDeviceDescriptionVtbl;
QH_INTERFACE(IDeviceDescription);

/* 0 destructor, 1 address, 2 HTTP port, 4 codec type, 5 user name, 6 password. */
typedef struct IConnectionParamsVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(const char*, GetAddress);
  QH_SLOT(uint16_t, GetHttpPort);
  QH_UNUSED_SLOT(Reserved3);
  QH_SLOT(int32_t, GetCodecType);
  QH_SLOT(const char*, GetUserName);
  QH_SLOT(const char*, GetPassword);
} IConnectionParamsVtbl;
QH_INTERFACE(IConnectionParams);

/* 0 destructor, 1 description, 2 connection, 4 custom parameter by 1-based index (null after
 * the last). */
typedef struct IDeviceParamsVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(IDeviceDescription*, GetDescription);
  QH_SLOT(IConnectionParams*, GetConnection);
  QH_UNUSED_SLOT(Reserved3);
  QH_SLOT(const char*, GetCustomParameter, int32_t index);
} IDeviceParamsVtbl;
QH_INTERFACE(IDeviceParams);

/* 0 destructor, 1 input changed (0-based index, 1 off or 2 on), 2 I/O failure. */
typedef struct IIOEventSinkVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(void, InputChanged, int32_t input, int32_t state);
  QH_SLOT(void, Failure);
} IIOEventSinkVtbl;
QH_INTERFACE(IIOEventSink);

/* 0 destructor, 2 completed, 3 failed (code, message). */
typedef struct ICapabilityQueryCallbackVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_UNUSED_SLOT(Reserved1);
  QH_SLOT(void, QueryCompleted);
  QH_SLOT(void, QueryFailed, int32_t code, const char* message);
} ICapabilityQueryCallbackVtbl;
QH_INTERFACE(ICapabilityQueryCallback);

/* 0 destructor, 1 text. */
typedef struct ICapabilityTextVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(void, SetText, const char* text);
} ICapabilityTextVtbl;
QH_INTERFACE(ICapabilityText);

/* 0 destructor, 1 add a resolution (text, width, height, frame interval). */
typedef struct IResolutionListVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(void, AddResolution, const char* text, int32_t width, int32_t height, int32_t frameInterval);
} IResolutionListVtbl;
QH_INTERFACE(IResolutionList);

/* 0 destructor, 1 default interval, 2 add an interval. */
typedef struct IFrameIntervalListVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(void, SetDefaultInterval, int32_t interval);
  QH_SLOT(void, AddInterval, int32_t interval);
} IFrameIntervalListVtbl;
QH_INTERFACE(IFrameIntervalList);

/* 0 destructor, 1 value, 4 type, 5 name, 6 attribute. */
typedef struct ICustomParameterInfoVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(void, SetValue, const char* value);
  QH_UNUSED_SLOT(Reserved2);
  QH_UNUSED_SLOT(Reserved3);
  QH_SLOT(void, SetType, int32_t type);
  QH_SLOT(void, SetName, const char* name);
  QH_SLOT(void, SetAttribute, int32_t value);
} ICustomParameterInfoVtbl;
QH_INTERFACE(ICustomParameterInfo);

/* 0 destructor, 1 property, 2 name, 3 address field, 5 custom parameter, 6 resolution list,
 * 8 frame-interval list. */
typedef struct ICapabilityResultsVtbl {
  QH_DESTRUCTOR_SLOT;
  QH_SLOT(void, SetProperty, int32_t id, int32_t value);
  QH_SLOT(void, SetName, const char* name);
  QH_SLOT(ICapabilityText*, GetAddressField, int32_t index);
  QH_UNUSED_SLOT(Reserved4);
  QH_SLOT(ICustomParameterInfo*, GetCustomParameter, int32_t index);
  QH_SLOT(IResolutionList*, GetResolutionList);
  QH_UNUSED_SLOT(Reserved7);
  QH_SLOT(IFrameIntervalList*, GetFrameIntervalList, int32_t which);
} ICapabilityResultsVtbl;
QH_INTERFACE(ICapabilityResults);

/* ---- The exports ---- */

typedef IIPCaptureDriver*(QH_EXPORT* CreateIPCaptureFn)(void);
typedef void(QH_EXPORT* DeleteIPCaptureFn)(IIPCaptureDriver* driver);
typedef int32_t(QH_EXPORT* InitCapabilityQueryFn)(ICapabilityQueryCallback* callback, int32_t flag);
typedef int32_t(QH_EXPORT* StartCapabilityQueryFn)(const char* address, uint32_t port, const char* user,
                                                   const char* password, ICapabilityResults* results);
typedef int32_t(QH_EXPORT* TerminateCapabilityQueryFn)(void);
typedef int32_t(QH_EXPORT* UninitCapabilityQueryFn)(void);

/* Calls slot `name` of an interface object. */
#define QH_CALL(object, name, ...) ((object)->vtbl->name((object), ##__VA_ARGS__))

#endif
