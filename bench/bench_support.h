#pragma once
// Host objects and test streams shared by the benchmarks that drive the media parsers.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/idriver.h"
#include "media/parsers/rtp_media_parser.h"
#include "tools/hostkit/video.h"
#include "transport/rtp_packet_info.h"

namespace benchsupport {

// Heap allocations of the whole process, counted by the replaced operator new.
extern std::atomic<uint64_t> gAllocations;

// One reusable sample (the reference host's) whose data area is big enough for any picture;
// delivered pictures are dropped, as a host that only counts them would.
class DiscardingHost : public korvalt::ipcapture::ISampleAllocator, public korvalt::IMediaParserClient {
 public:
  DiscardingHost() : Sample(0, 12 * 1024 * 1024, "") {}
  // allocator
  void Reserved1() override {}
  korvalt::ipcapture::IFrameSample* CreateSample(uint32_t, uint32_t capacity, const char*) override {
    return capacity <= Sample.Data.size() ? &Sample : nullptr;
  }
  void Reserved3() override {}
  void Reserved4() override {}
  void Reserved5() override {}
  void ReleaseSample(korvalt::ipcapture::IFrameSample*) override {}
  // client
  bool DeliverFrame(korvalt::ipcapture::IFrameSample*) override {
    // A slow recorder: the sink holds the thread that delivers, as a host's would.
    if (SinkDelay.count() > 0) std::this_thread::sleep_for(SinkDelay);
    Frames.fetch_add(1, std::memory_order_release);
    return true;
  }
  std::pair<uint32_t, uint32_t> GetPictureSize() override { return {1920, 1080}; }

  hostkit::FrameSample Sample;
  std::atomic<uint64_t> Frames{0};
  std::chrono::microseconds SinkDelay{0};
};

class BenchDriver : public korvalt::IDriver {
 public:
  explicit BenchDriver(korvalt::ipcapture::ISampleAllocator* allocator) : Allocator(allocator) {}
  void DebugMessage(int, const char*, ...) override {}
  korvalt::DEVICE_INFO GetDeviceInfo() override { return {}; }
  std::pair<int32_t, int32_t> GetIOCounts() override { return {0, 0}; }
  korvalt::ipcapture::ISampleAllocator* GetSampleAllocator() override { return Allocator; }
  int32_t GetVideoStandard() override { return 0; }
  int32_t GetCodecType() override { return 0; }
  int32_t GetChannelCount() override { return 1; }
  std::string GetCustomParameter(int) override { return {}; }
  int32_t GetCustomParameterNumber(int) override { return kNoNumber; }
  korvalt::ipcapture::ISampleAllocator* Allocator;
};

struct Stream {
  std::vector<std::vector<uint8_t>> Datagrams;
  std::vector<korvalt::RTP_PACKET_INFO> Packets;
  size_t PayloadBytes = 0;
};

inline Stream Load(const std::string& name) {
  std::ifstream in(std::string(QUENLARK_TEST_DATA) + "/rtp/" + name + ".rtp", std::ios::binary);
  const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  Stream s;
  for (size_t pos = 0; pos + 2 <= data.size();) {
    const size_t n = static_cast<size_t>(data[pos]) << 8 | data[pos + 1];
    if (pos + 2 + n > data.size()) break;
    s.Datagrams.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(pos + 2),
                             data.begin() + static_cast<std::ptrdiff_t>(pos + 2 + n));
    pos += 2 + n;
  }
  for (const auto& d : s.Datagrams) {
    korvalt::RTP_PACKET_INFO info;
    if (!korvalt::ParseRtpHeader(d.data(), d.size(), info)) continue;
    s.Packets.push_back(info);
    s.PayloadBytes += info.PayloadLength;
  }
  return s;
}

}  // namespace benchsupport
