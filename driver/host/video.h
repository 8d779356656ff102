#pragma once
// Live video: the host objects that carry stream settings and receive pictures, and the
// video capture interface that the driver offers.

#include "abi.h"

#include <cstdint>

namespace korvalt::ipcapture {

// States of a video channel. GetChannelState reports only the first two: a channel that is
// stopped, or between a failure and its reconnection, shows no picture either.
inline constexpr int32_t kChannelStateStreaming = 0;   // frames arrive
inline constexpr int32_t kChannelStateSignalLost = 2;  // no picture
// Stopped or not connected; GetChannelState reports it as kChannelStateSignalLost.
inline constexpr int32_t kChannelStateStopped = 3;

// One picture. Created by the host's allocator, filled by the module, committed once, then
// delivered to the frame sink and released by the module exactly once.
class IFrameSample {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IFrameSample)        // slot 0
  virtual void Reserved1() = 0;                 // slot 1: not called by the module
  virtual uint8_t* GetData() = 0;               // slot 2: writable, at least the capacity
  virtual void Reserved3() = 0;                 // slot 3: not called by the module
  virtual void SetDataSize(uint32_t size) = 0;  // slot 4
  virtual void Commit() = 0;                    // slot 5: once, after all fields are set
  virtual void Reserved6() = 0;                 // slots 6 to 9: not called by the module
  virtual void Reserved7() = 0;
  virtual void Reserved8() = 0;
  virtual void Reserved9() = 0;
  virtual void SetFourCC(uint32_t fourCC) = 0;  // slot 10: little-endian, 'H','2','6','4' = 0x34363248
  virtual void Reserved11() = 0;                // slot 11: not called by the module
  virtual void SetHeight(uint32_t height) = 0;  // slot 12
  virtual void Reserved13() = 0;                // slot 13: not called by the module
  virtual void SetWidth(uint32_t width) = 0;    // slot 14
  virtual void Reserved15() = 0;                // slot 15: not called by the module
  virtual void SetResolutionClass(uint32_t value) = 0;  // slot 16
};

// Second argument of the driver's Open. Called from channel receive threads.
class ISampleAllocator {
 public:
  QUENLARK_DESTRUCTOR_SLOT(ISampleAllocator)  // slot 0
  virtual void Reserved1() = 0;               // slot 1: not called by the module
  // slot 2: a sample of at least capacity bytes, or null. producer is "QuenlarkIPCapture".
  virtual IFrameSample* CreateSample(uint32_t fourCC, uint32_t capacity, const char* producer) = 0;
  virtual void Reserved3() = 0;  // slots 3 to 5: not called by the module
  virtual void Reserved4() = 0;
  virtual void Reserved5() = 0;
  virtual void ReleaseSample(IFrameSample* sample) = 0;  // slot 6
};

// Second argument of StartChannel. Called from the channel's receive and worker threads.
class IFrameSink {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IFrameSink)             // slot 0
  virtual bool Deliver(IFrameSample* sample) = 0;  // slot 1: true when accepted
  virtual void Reserved2() = 0;                    // slot 2: not called by the module
  virtual void SignalLost() = 0;                   // slot 3: repeated while the loss lasts
};

class IPictureSize {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IPictureSize)  // slot 0
  virtual uint16_t GetWidth() = 0;        // slot 1: pixels
  virtual uint16_t GetHeight() = 0;       // slot 2: pixels
};

class IVideoFormat {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IVideoFormat)  // slot 0
  virtual void Reserved1() = 0;           // slots 1 and 2: not called by the module
  virtual void Reserved2() = 0;
  virtual IPictureSize* GetPictureSize() = 0;  // slot 3
};

class IEncodingParams {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IEncodingParams)  // slot 0
  virtual uint16_t GetFrameInterval() = 0;   // slot 1: milliseconds between frames; 0 = camera's rate
  virtual void Reserved2() = 0;              // slot 2: not called by the module
  virtual uint16_t GetQuality() = 0;         // slot 3: 0 to 100
};

// Third argument of StartChannel.
class IChannelSettings {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IChannelSettings)         // slot 0
  virtual IVideoFormat* GetVideoFormat() = 0;        // slot 1
  virtual IEncodingParams* GetEncodingParams() = 0;  // slot 2
};

// Offered by the driver (GetVideoCapture): one stream channel per video channel of the device.
// Owned by the driver; the host never deletes it.
class IIPVideoCapture {
 public:
  QUENLARK_DESTRUCTOR_SLOT(IIPVideoCapture)  // slot 0: stops and destroys every channel
  virtual uint32_t GetChannelCount() = 0;    // slot 1
  virtual bool StartChannel(uint32_t index, IFrameSink* sink, IChannelSettings* settings) = 0;  // slot 2
  virtual bool StopChannel(uint32_t index) = 0;                                                 // slot 3
  virtual bool RestartChannel(uint32_t index, IPictureSize* size, uint32_t frameInterval) = 0;  // slot 4
  virtual int32_t ReservedCapture() = 0;                                                        // slot 5: 0
  // slot 6: kChannelStateStreaming or kChannelStateSignalLost; false when the channel has no
  // stream object.
  virtual bool GetChannelState(uint32_t index, int32_t* state, int32_t* reservedValue, uint8_t* reservedByte,
                               int32_t reservedFlag) = 0;
  virtual bool ReservedCapture2(int32_t, int32_t, int32_t) = 0;  // slot 7: false
  virtual bool ReservedCapture3(int32_t, int32_t, int32_t) = 0;  // slot 8: false
};

class IIPVideoCaptureEx : public IIPVideoCapture {
 public:
  virtual bool ReservedCaptureEx(int32_t) = 0;   // slot 9: false
  virtual bool ReservedCaptureEx2(int32_t) = 0;  // slot 10: false
};

}  // namespace korvalt::ipcapture
