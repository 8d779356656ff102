#pragma once
// Shared pieces of the media parser tests: hand-made RTP packets, a recording channel and the
// reference host objects.

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "media/parsers/rtp_media_parser.h"
#include "support/fake_driver.h"
#include "tools/hostkit/video.h"
#include "transport/rtp_packet_info.h"

namespace mediatest {

// One packet as the receiver hands it over; owns its payload bytes.
struct Packet {
  std::vector<uint8_t> Payload;
  uint16_t Sequence = 0;
  bool Marker = false;
  bool Padding = false;
  uint32_t Timestamp = 0;

  korvalt::RTP_PACKET_INFO Info() const {
    korvalt::RTP_PACKET_INFO info;
    info.SequenceNumber = Sequence;
    info.Timestamp = Timestamp;
    info.Marker = Marker ? 1 : 0;
    info.Padding = Padding ? 1 : 0;
    info.Payload = Payload.data();
    info.PayloadLength = static_cast<uint32_t>(Payload.size());
    return info;
  }
};

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline std::vector<uint8_t> Filler(size_t size, uint8_t value = 0x55) {
  return std::vector<uint8_t>(size, value);
}

struct Frame {
  uint32_t FourCC = 0;
  uint32_t Width = 0;
  uint32_t Height = 0;
  uint32_t ResolutionClass = 0;
  size_t Capacity = 0;
  int Commits = 0;
  std::vector<uint8_t> Data;
};

// The channel side: keeps a copy of every delivered sample and answers the requested size.
class RecordingClient : public korvalt::IMediaParserClient {
 public:
  bool DeliverFrame(korvalt::ipcapture::IFrameSample* sample) override {
    const auto* s = static_cast<hostkit::FrameSample*>(sample);
    Frames.push_back({s->FourCC, s->Width, s->Height, s->ResolutionClass, s->Data.size(), s->Commits,
                      std::vector<uint8_t>(s->Data.begin(), s->Data.begin() + s->DataSize)});
    return Accept;
  }
  std::pair<uint32_t, uint32_t> GetPictureSize() override { return RequestedSize; }

  std::vector<Frame> Frames;
  bool Accept = true;
  std::pair<uint32_t, uint32_t> RequestedSize{704, 480};
};

// A parser wired to a fake driver, the reference allocator and a recording client.
template <typename Parser>
struct Harness {
  Harness() : Subject("QuenlarkIPCapture", &Driver) {
    Driver.Allocator = &Allocator;
    Subject.SetClient(&Client);
  }
  void Feed(const Packet& packet) { Subject.ProcessPacket(packet.Info()); }
  void Feed(const std::vector<Packet>& packets) {
    for (const Packet& p : packets) Feed(p);
  }

  testsupport::FakeDriver Driver;
  hostkit::SampleAllocator Allocator;
  RecordingClient Client;
  Parser Subject;
};

// Most significant bit first, for hand-made bit strings.
class BitWriter {
 public:
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      Current = static_cast<uint8_t>(Current << 1 | ((value >> i) & 1u));
      if (++Filled == 8) {
        Out.push_back(Current);
        Filled = 0;
        Current = 0;
      }
    }
  }
  void Ue(uint32_t value) {
    const uint64_t code = static_cast<uint64_t>(value) + 1;
    int length = 0;
    while ((code >> length) > 1) ++length;
    Put(0, length);
    Put(static_cast<uint32_t>(code), length + 1);
  }
  std::vector<uint8_t> Finish(uint32_t fill = 0) {
    while (Filled != 0) Put(fill, 1);
    return Out;
  }
  std::vector<uint8_t> Out;

 private:
  uint8_t Current = 0;
  int Filled = 0;
};

// MPEG-4 Visual headers for the parser tests.
namespace mpeg4 {

struct Vol {
  uint32_t Width = 352;
  uint32_t Height = 288;
  uint32_t ObjectType = 1;  // Simple Object
  uint32_t Shape = 0;       // rectangular
  bool ControlParameters = true;
  bool Vbv = false;
  bool FixedRate = false;
  uint32_t Resolution = 30;
};

// Visual object sequence, visual object, video object and video object layer headers.
inline std::vector<uint8_t> Configuration(const Vol& v) {
  BitWriter vo;
  vo.Put(0, 1);  // is_visual_object_identifier
  vo.Put(1, 4);  // visual_object_type: video
  vo.Put(0, 1);  // video_signal_type
  BitWriter vol;
  vol.Put(0, 1);  // random_accessible_vol
  vol.Put(v.ObjectType, 8);
  vol.Put(0, 1);  // is_object_layer_identifier
  vol.Put(1, 4);  // aspect_ratio_info: square
  vol.Put(v.ControlParameters ? 1 : 0, 1);
  if (v.ControlParameters) {
    vol.Put(1, 2);  // chroma_format 4:2:0
    vol.Put(1, 1);  // low_delay
    vol.Put(v.Vbv ? 1 : 0, 1);
    if (v.Vbv) {
      for (int bits : {15, 15, 15}) {
        vol.Put(0x1234, bits);
        vol.Put(1, 1);
      }
      vol.Put(5, 3);
      vol.Put(0x155, 11);
      vol.Put(1, 1);
      vol.Put(0x2AAA, 15);
      vol.Put(1, 1);
    }
  }
  vol.Put(v.Shape, 2);
  vol.Put(1, 1);
  vol.Put(v.Resolution, 16);
  vol.Put(1, 1);
  vol.Put(v.FixedRate ? 1 : 0, 1);
  if (v.FixedRate) vol.Put(1, 5);  // 30 - 1 needs 5 bits
  vol.Put(1, 1);
  vol.Put(v.Width, 13);
  vol.Put(1, 1);
  vol.Put(v.Height, 13);
  vol.Put(1, 1);
  vol.Put(0, 1);  // interlaced
  vol.Put(1, 1);  // obmc_disable
  return Concat({Bytes({0, 0, 1, 0xB0, 0x01}), Bytes({0, 0, 1, 0xB2}), Bytes({'L', 'a', 'v', 'c'}),
                 Bytes({0, 0, 1, 0xB5}), vo.Finish(1), Bytes({0, 0, 1, 0x00}), Bytes({0, 0, 1, 0x20}),
                 vol.Finish(1)});
}

inline std::vector<uint8_t> Vop(int codingTypeByte, size_t size = 40) {
  return Concat({Bytes({0, 0, 1, 0xB6, codingTypeByte}), Filler(size)});
}

}  // namespace mpeg4

}  // namespace mediatest
