#pragma once
// Pan, tilt, zoom, focus and presets.
//
// The recorder asks the PTZ driver (GetPTZDriver / GetPTZDriverEx of the driver) for one PTZ
// control per channel. Every movement call returns at once: the module queues the request for
// the camera on a thread of its own, so a PTZ result says whether the request was accepted, not
// whether the camera has moved. Preset calls run on the calling thread and wait for the camera.

#include <cstddef>
#include <cstdint>

namespace korvalt::ipcapture {

// Results of the PTZ calls (32-bit signed).
inline constexpr int32_t kPtzSuccess = 1;
inline constexpr int32_t kPtzInvalidArgument = -3;  // null pointer, buffer too small, reserved direction,
                                                    // invalid, too long or duplicate preset name
inline constexpr int32_t kPtzNotAvailable = -18;    // no PTZ for this channel, or the request failed
inline constexpr int32_t kPtzNotSupported = -19;    // the camera lacks the function
inline constexpr int32_t kPtzPresetFailed = -23;    // unknown preset, camera refused, preset file not written
inline constexpr int32_t kPtzPresetLimit = -26;     // the camera stores no more presets

// Longest preset name the module stores, in bytes of UTF-8 without the terminating zero. A name
// buffer of kPtzMaxPresetNameLength + 1 bytes holds every name GetPrepositionName and
// GetCurrentPreposition return. The limit keeps the device's preset file (all channels, every
// preset) small enough to be read back whole: 64 bytes are 64 Latin letters or 21 characters of
// the scripts that take three bytes each.
inline constexpr uint32_t kPtzMaxPresetNameLength = 64;

// Directions of IIPPTZApi::Move. kPtzMoveReserved is refused with kPtzInvalidArgument; any other
// value is accepted and sends the camera a move without direction.
inline constexpr int32_t kPtzMoveLeft = 0;
inline constexpr int32_t kPtzMoveRight = 1;
inline constexpr int32_t kPtzMoveUp = 2;
inline constexpr int32_t kPtzMoveDown = 3;
inline constexpr int32_t kPtzMoveUpLeft = 4;
inline constexpr int32_t kPtzMoveUpRight = 5;
inline constexpr int32_t kPtzMoveDownLeft = 6;
inline constexpr int32_t kPtzMoveDownRight = 7;
inline constexpr int32_t kPtzZoomIn = 8;
inline constexpr int32_t kPtzZoomOut = 9;
inline constexpr int32_t kPtzMoveReserved = 10;

// What a PTZ channel can do. Allocated by the recorder and filled by IIPPTZApi::GetCapabilities;
// every field is 32-bit little-endian at a fixed byte offset. Flags are 0 or 1. The module never
// writes Reserved0.
struct PTZ_CAPABILITIES {
  uint32_t Reserved0;         // 0: left as the recorder set it
  uint32_t CanPan;            // 4
  uint32_t CanTilt;           // 8
  uint32_t CanZoom;           // 12
  uint32_t CanFocus;          // 16
  uint32_t CanIris;           // 20
  uint32_t Reserved24;        // 24: 0
  uint32_t MaxPrepositions;   // 28: presets the channel can store
  uint32_t PrepositionCount;  // 32: presets stored now
  uint32_t Reserved36;        // 36: 0
  uint32_t Reserved40;        // 40: 0
  uint32_t CanAreaZoom;       // 44
  uint32_t CanCenter;         // 48
  uint32_t CanUnzoom;         // 52
};
static_assert(offsetof(PTZ_CAPABILITIES, CanPan) == 4);
static_assert(offsetof(PTZ_CAPABILITIES, CanTilt) == 8);
static_assert(offsetof(PTZ_CAPABILITIES, CanZoom) == 12);
static_assert(offsetof(PTZ_CAPABILITIES, CanFocus) == 16);
static_assert(offsetof(PTZ_CAPABILITIES, CanIris) == 20);
static_assert(offsetof(PTZ_CAPABILITIES, Reserved24) == 24);
static_assert(offsetof(PTZ_CAPABILITIES, MaxPrepositions) == 28);
static_assert(offsetof(PTZ_CAPABILITIES, PrepositionCount) == 32);
static_assert(offsetof(PTZ_CAPABILITIES, Reserved36) == 36);
static_assert(offsetof(PTZ_CAPABILITIES, Reserved40) == 40);
static_assert(offsetof(PTZ_CAPABILITIES, CanAreaZoom) == 44);
static_assert(offsetof(PTZ_CAPABILITIES, CanCenter) == 48);
static_assert(offsetof(PTZ_CAPABILITIES, CanUnzoom) == 52);
static_assert(sizeof(PTZ_CAPABILITIES) == 56);

// The PTZ control of one channel. Owned by the module; the recorder never deletes it. Calls may
// come from any recorder thread, but StopAll of one channel from one thread at a time.
class IIPPTZApi {
 public:
  virtual ~IIPPTZApi() = default;           // slot 0
  virtual int32_t HasAnyPTZFunction() = 0;  // slot 1: 1 pan, tilt, zoom, focus or iris; 0 none
  // slot 2: continuous move in a kPtzMove* direction until StopAll; speed 1 (slow) to 16 (fast).
  virtual int32_t Move(int32_t direction, int32_t speed) = 0;
  virtual int32_t StopAll() = 0;                                // slot 3: stops what this control started
  virtual int32_t Center(int32_t a, int32_t b, int32_t c) = 0;  // slot 4: click to center
  virtual int32_t ZoomIn(int32_t speed) = 0;                    // slot 5: continuous, until StopAll
  virtual int32_t ZoomOut(int32_t speed) = 0;                   // slot 6: continuous, until StopAll
  virtual int32_t Unzoom(int32_t a) = 0;                        // slot 7
  virtual int32_t AreaZoom(int32_t a, int32_t b, int32_t c, int32_t d) = 0;  // slot 8
  virtual int32_t FocusPlus(int32_t speed) = 0;                   // slot 9: continuous, until StopAll
  virtual int32_t FocusMinus(int32_t speed) = 0;                  // slot 10
  virtual int32_t IrisPlus(int32_t speed) = 0;                    // slot 11: continuous, until StopAll
  virtual int32_t IrisMinus(int32_t speed) = 0;                   // slot 12
  virtual int32_t GetCapabilities(PTZ_CAPABILITIES* record) = 0;  // slot 13: fills the record
  virtual int32_t GetPrepositionCount() = 0;                      // slot 14: number of stored presets
  // slot 15: name of the preset at list position index, with its terminating zero; a buffer
  // that cannot hold all of it gives kPtzInvalidArgument (names are never truncated).
  virtual int32_t GetPrepositionName(int32_t index, char* buffer, uint32_t size) = 0;
  // slot 16: moves to the named preset; param is passed through to the camera layer.
  // kPtzSuccess; kPtzInvalidArgument for a null name; kPtzPresetFailed for an unknown name or
  // when the camera refused. Waits for the camera request in flight, never for queued moves
  // (a move queued before it is overtaken: the camera drives to the preset anyway).
  virtual int32_t GotoPreposition(int32_t param, const char* name) = 0;
  // slot 17: stores the camera's present position as a new preset, after the moves and stops
  // queued before it reached the camera (so a preset stored right after StopAll is where the
  // camera stopped). While the camera still stands at a stored preset (no movement since),
  // renames that preset instead. Names are UTF-8 of at most kPtzMaxPresetNameLength bytes,
  // without & ! < > ' " and control characters other than tab, line feed and carriage return.
  //   kPtzSuccess
  //   kPtzInvalidArgument  null, empty, invalid or too long name, or a name another preset of
  //                        the channel already has (the debug sink says which name)
  //   kPtzNotAvailable     no PTZ, the camera refused, or the preset file could not be written
  //                        (also when the change would make the file larger than the module
  //                        reads back; the file is then left as it was)
  //   kPtzPresetLimit      the channel holds as many presets as the camera stores
  virtual int32_t AddPreposition(const char* name) = 0;
  // slot 18: deletes the named preset on the camera and from the preset file.
  //   kPtzSuccess; kPtzInvalidArgument for a null name; kPtzPresetFailed for an unknown name,
  //   when the camera refused (the preset stays) or the preset file could not be written.
  virtual int32_t RemovePreposition(const char* name) = 0;
  // slot 19: name of the preset the camera was last moved to; kPtzPresetFailed once it moved away.
  virtual int32_t GetCurrentPreposition(char* buffer, uint32_t size) = 0;
};

class IIPPTZApiEx : public IIPPTZApi {
 public:
  virtual bool QueryFeature(int32_t value) = 0;  // slot 20: true exactly for 1
};

// Also implemented by every PTZ control: its channel and two flags that belong to the
// recorder (the module only keeps them).
class IIPParams {
 public:
  virtual ~IIPParams() = default;             // slot 0
  virtual int32_t GetChannel() = 0;           // slot 1: 0-based channel
  virtual bool GetHostFlagA() = 0;            // slot 2
  virtual void SetHostFlagA(bool value) = 0;  // slot 3
  virtual bool GetHostFlagB() = 0;            // slot 4
  virtual void SetHostFlagB(bool value) = 0;  // slot 5
};

// Offered by the driver (GetPTZDriver / GetPTZDriverEx): one PTZ control per channel, owned by
// the driver and the same object on every call. Null for a channel beyond the device's count,
// when the MAC address (custom parameter 3) that names the preset file is missing, or when the
// PTZ thread cannot start; the reason goes to the debug sink. When the preset file cannot be
// opened or created, the first request gives null and later requests give a working control
// without presets, whose preset changes fail (kPtzNotAvailable / kPtzPresetFailed). Drivers of
// one process opened with the same MAC address share the file. Channels may be asked for from
// any thread.
class IIPPTZDriver {
 public:
  virtual ~IIPPTZDriver() = default;                   // slot 0
  virtual IIPPTZApi* GetPTZApi(uint32_t channel) = 0;  // slot 1
};

class IIPPTZDriverEx : public IIPPTZDriver {
 public:
  // slot 1: the same control as GetPTZApiEx.
  IIPPTZApi* GetPTZApi(uint32_t channel) override { return GetPTZApiEx(channel); }
  virtual IIPPTZApiEx* GetPTZApiEx(uint32_t channel) = 0;  // slot 2
};

}  // namespace korvalt::ipcapture
