#pragma once
// Driver and parser client for the parser fuzz targets, over the reference host objects: hostkit's
// samples are exactly as large as requested, so any write past the capacity shows up under
// AddressSanitizer.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "driver/host/device_params.h"
#include "driver/idriver.h"
#include "media/parsers/rtp_media_parser.h"
#include "tools/hostkit/video.h"

namespace fuzzhost {

class Driver : public korvalt::IDriver {
 public:
  void DebugMessage(int, const char*, ...) override {}
  korvalt::DEVICE_INFO GetDeviceInfo() override { return {}; }
  std::pair<int32_t, int32_t> GetIOCounts() override { return {0, 0}; }
  korvalt::ipcapture::ISampleAllocator* GetSampleAllocator() override { return &Samples; }
  int32_t GetVideoStandard() override { return 0; }
  int32_t GetCodecType() override { return korvalt::ipcapture::kCodecTypeH264; }
  int32_t GetChannelCount() override { return 1; }
  std::string GetCustomParameter(int) override { return {}; }
  int32_t GetCustomParameterNumber(int) override { return kNoNumber; }
  hostkit::SampleAllocator Samples;
  bool SamplesLeaked() const { return Samples.Created.load() != Samples.Released.load(); }
};

class Client : public korvalt::IMediaParserClient {
 public:
  bool DeliverFrame(korvalt::ipcapture::IFrameSample* sample) override {
    const auto* s = static_cast<hostkit::FrameSample*>(sample);
    if (s->DataSize > s->Data.size()) std::abort();
    return Accept;
  }
  std::pair<uint32_t, uint32_t> GetPictureSize() override { return {Width, Height}; }
  bool Accept = true;
  uint32_t Width = 704;
  uint32_t Height = 480;
};

// Splits fuzz input into packets: | flags | 16-bit length | payload |. Flags: bit 0 marker, bit 1 P
// bit, bit 2 a sequence jump, bit 3 a reset before the packet.
template <typename Parser>
void FeedPackets(Parser& parser, std::span<const uint8_t> input) {
  uint16_t sequence = 0;
  while (input.size() >= 3) {
    const uint8_t flags = input[0];
    const size_t length = std::min<size_t>(static_cast<size_t>(input[1]) << 8 | input[2], input.size() - 3);
    std::vector<uint8_t> payload(input.begin() + 3, input.begin() + 3 + static_cast<std::ptrdiff_t>(length));
    input = input.subspan(3 + length);
    korvalt::RTP_PACKET_INFO info;
    info.Marker = flags & 1;
    info.Padding = (flags >> 1) & 1;
    sequence = static_cast<uint16_t>(sequence + ((flags & 4) != 0 ? 2 : 1));
    info.SequenceNumber = sequence;
    info.Payload = payload.empty() ? nullptr : payload.data();
    info.PayloadLength = static_cast<uint32_t>(payload.size());
    if ((flags & 8) != 0) parser.Reset();
    parser.ProcessPacket(info);
  }
}

}  // namespace fuzzhost
