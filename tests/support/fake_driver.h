#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "driver/host/device_params.h"
#include "driver/idriver.h"
#include "media/channels/stream_transport_memory.h"

namespace testsupport {

// An IDriver whose answers a test sets directly, and which keeps every diagnostic line.
// Setters are meant for the test's own thread before the object under test runs; the
// recorded lines may be written from any thread.
class FakeDriver : public korvalt::IDriver {
 public:
  struct Line {
    int Level = 0;
    std::string Text;
    bool operator==(const Line&) const = default;
  };

  FakeDriver();

  void DebugMessage(int level, const char* format, ...) override __attribute__((format(printf, 3, 4)));
  korvalt::DEVICE_INFO GetDeviceInfo() override;
  std::pair<int32_t, int32_t> GetIOCounts() override { return IOCounts; }
  korvalt::ipcapture::ISampleAllocator* GetSampleAllocator() override { return Allocator; }
  int32_t GetVideoStandard() override { return VideoStandard; }
  int32_t GetCodecType() override { return CodecType; }
  int32_t GetChannelCount() override { return ChannelCount; }
  std::string GetCustomParameter(int key) override;
  int32_t GetCustomParameterNumber(int key) override;
  korvalt::CStreamTransportMemory* GetStreamTransportMemory() override { return &TransportMemory; }

  void SetDeviceInfo(const korvalt::DEVICE_INFO& info);
  void SetCustomParameter(int key, std::string value);

  std::vector<Line> Lines() const;
  // Number of lines whose text contains needle.
  size_t Count(const std::string& needle) const;
  void ClearLines();

  // Borrowed; null means the host gave no allocator.
  korvalt::ipcapture::ISampleAllocator* Allocator = nullptr;
  std::pair<int32_t, int32_t> IOCounts{0, 0};
  int32_t VideoStandard = 0;
  int32_t CodecType = korvalt::ipcapture::kCodecTypeH264;
  int32_t ChannelCount = 1;
  korvalt::CStreamTransportMemory TransportMemory;  // shared by the channels made with this driver

 private:
  mutable std::mutex Lock;  // guards Device, Custom and Kept
  korvalt::DEVICE_INFO Device;
  std::map<int, std::string> Custom;
  std::vector<Line> Kept;
};

}  // namespace testsupport
