#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "driver/host/video.h"
#include "driver/host_destructor.h"

namespace hostkit {

// Leaves new elements uninitialised, as a recorder's sample buffers are: the module writes every
// byte it hands over, and zero-filling each picture's buffer would be the host's cost, not the module's.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// A frame sample backed by a heap buffer; keeps every field the module sets.
class FrameSample final : public korvalt::ipcapture::IFrameSample {
 public:
  QUENLARK_HOST_DESTRUCTOR
  FrameSample(uint32_t fourCC, uint32_t capacity, std::string producer)
      : Data(capacity), FourCC(fourCC), Producer(std::move(producer)) {}

  void Reserved1() override {}
  uint8_t* GetData() override { return Data.data(); }
  void Reserved3() override {}
  void SetDataSize(uint32_t size) override { DataSize = size; }
  void Commit() override { ++Commits; }
  void Reserved6() override {}
  void Reserved7() override {}
  void Reserved8() override {}
  void Reserved9() override {}
  void SetFourCC(uint32_t fourCC) override { FourCC = fourCC; }
  void Reserved11() override {}
  void SetHeight(uint32_t height) override { Height = height; }
  void Reserved13() override {}
  void SetWidth(uint32_t width) override { Width = width; }
  void Reserved15() override {}
  void SetResolutionClass(uint32_t value) override { ResolutionClass = value; }

  std::vector<uint8_t, UninitialisedAllocator<uint8_t>> Data;  // capacity bytes, not cleared
  uint32_t DataSize = 0;
  uint32_t FourCC = 0;
  uint32_t Width = 0;
  uint32_t Height = 0;
  uint32_t ResolutionClass = 0;
  int Commits = 0;
  std::string Producer;
};

// Allocator of heap samples; counts what is created and released so leaks show.
class SampleAllocator final : public korvalt::ipcapture::ISampleAllocator {
 public:
  QUENLARK_HOST_DESTRUCTOR
  void Reserved1() override {}
  korvalt::ipcapture::IFrameSample* CreateSample(uint32_t fourCC, uint32_t capacity,
                                                 const char* producer) override;
  void Reserved3() override {}
  void Reserved4() override {}
  void Reserved5() override {}
  void ReleaseSample(korvalt::ipcapture::IFrameSample* sample) override;

  std::atomic<bool> Refuse{false};  // when set, CreateSample returns null
  std::atomic<uint64_t> Created{0};
  std::atomic<uint64_t> Released{0};
  std::atomic<uint64_t> LastCapacity{0};
};

// Frame sink that hands every delivered sample to a callback (on the module's thread).
class FrameSink final : public korvalt::ipcapture::IFrameSink {
 public:
  QUENLARK_HOST_DESTRUCTOR
  using Callback = std::function<bool(const FrameSample&)>;
  explicit FrameSink(Callback onFrame = {}) : OnFrame(std::move(onFrame)) {}

  bool Deliver(korvalt::ipcapture::IFrameSample* sample) override;
  void Reserved2() override {}
  void SignalLost() override { ++SignalLosses; }

  std::atomic<uint64_t> Frames{0};
  std::atomic<uint64_t> SignalLosses{0};

 private:
  Callback OnFrame;
};

class PictureSize final : public korvalt::ipcapture::IPictureSize {
 public:
  QUENLARK_HOST_DESTRUCTOR
  PictureSize(uint16_t width, uint16_t height) : Width(width), Height(height) {}
  uint16_t GetWidth() override { return Width; }
  uint16_t GetHeight() override { return Height; }
  uint16_t Width;
  uint16_t Height;
};

// Stream settings of StartChannel: frame interval, quality, picture size.
class ChannelSettings final : public korvalt::ipcapture::IChannelSettings,
                              private korvalt::ipcapture::IVideoFormat,
                              private korvalt::ipcapture::IEncodingParams {
 public:
  QUENLARK_HOST_DESTRUCTOR
  ChannelSettings(uint16_t frameIntervalMs, uint16_t quality, uint16_t width, uint16_t height)
      : Interval(frameIntervalMs), Quality(quality), Size(width, height) {}

  korvalt::ipcapture::IVideoFormat* GetVideoFormat() override { return this; }
  korvalt::ipcapture::IEncodingParams* GetEncodingParams() override { return this; }

  uint16_t Interval;
  uint16_t Quality;
  PictureSize Size;

 private:
  void Reserved1() override {}
  void Reserved2() override {}
  korvalt::ipcapture::IPictureSize* GetPictureSize() override { return &Size; }
  uint16_t GetFrameInterval() override { return Interval; }
  uint16_t GetQuality() override { return Quality; }
};

}  // namespace hostkit
