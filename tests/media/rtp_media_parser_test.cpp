#include "media/parsers/rtp_media_parser.h"

#include <gtest/gtest.h>

#include "media/parsers/h264_rtp_media_parser.h"
#include "media/parsers/h264_sps.h"
#include "media/parsers/jpeg_rtp_media_parser.h"
#include "media/parsers/mpeg4_rtp_media_parser.h"
#include "parser_harness.h"

namespace {

using korvalt::CRTPMediaParser;
using mediatest::Bytes;
using mediatest::Concat;
using mediatest::Filler;
using mediatest::Harness;
using mediatest::Packet;

// Exposes the base's sequence rule; its reset drops nothing because it holds nothing.
class ContinuityProbe : public CRTPMediaParser {
 public:
  ContinuityProbe() : CRTPMediaParser("probe", nullptr) {}
  void ProcessPacket(const korvalt::RTP_PACKET_INFO& packet) override {
    Results.push_back(IsContinuous(packet.SequenceNumber));
  }
  void Reset() override {}
  std::vector<bool> Results;

 private:
  void AddPayload(std::span<const uint8_t>, bool) override {}
  void EndPicture() override {}
};

TEST(RtpMediaParserContinuity, FollowsSequenceNumbersAcrossTheWrap) {
  struct Case {
    const char* Name;
    std::vector<uint16_t> Numbers;
    std::vector<bool> Continuous;
  };
  const Case cases[] = {
      {"first packet is accepted whatever its number", {40000, 40001}, {true, true}},
      {"65535 is followed by 0", {65534, 65535, 0, 1}, {true, true, true, true}},
      {"a lost packet breaks the run", {10, 12, 13}, {true, false, true}},
      {"a repeated packet breaks the run", {7, 7, 8}, {true, false, true}},
      {"a late packet breaks the run twice", {1, 3, 2, 3}, {true, false, false, true}},
  };
  for (const Case& c : cases) {
    ContinuityProbe probe;
    for (uint16_t n : c.Numbers) {
      korvalt::RTP_PACKET_INFO info;
      info.SequenceNumber = n;
      probe.ProcessPacket(info);
    }
    EXPECT_EQ(probe.Results, c.Continuous) << c.Name;
  }
}

TEST(RtpMediaParserContinuity, ResetKeepsTheSequenceState) {
  ContinuityProbe probe;
  korvalt::RTP_PACKET_INFO info;
  info.SequenceNumber = 100;
  probe.ProcessPacket(info);
  probe.Reset();
  info.SequenceNumber = 500;  // after a reset the next packet is still compared with 100
  probe.ProcessPacket(info);
  info.SequenceNumber = 501;
  probe.ProcessPacket(info);
  EXPECT_EQ(probe.Results, (std::vector<bool>{true, false, true}));
}

TEST(RtpMediaParserCapacity, RequestsTheFourClassesThenTheExactSize) {
  const std::pair<size_t, uint32_t> cases[] = {
      {1, 4096},      {4096, 4096},    {4097, 16384},    {16384, 16384},   {16385, 32768},
      {32768, 32768}, {32769, 131072}, {131072, 131072}, {131073, 131073}, {10485765, 10485765}};
  for (const auto& [needed, capacity] : cases) {
    EXPECT_EQ(CRTPMediaParser::SampleCapacity(needed), capacity) << needed;
  }
}

TEST(RtpMediaParserCapacity, CountsTheTrailingDelimiterOfAnH264Frame) {
  const std::vector<uint8_t> sps = korvalt::BuildH264Sps(704, 480);
  // Frame = start code + SPS + start code + slice; the access unit delimiter adds 5 bytes.
  const std::pair<size_t, uint32_t> cases[] = {
      {4091, 4096}, {4092, 16384}, {131067, 131072}, {131068, 131073}};
  for (const auto& [frameSize, capacity] : cases) {
    Harness<korvalt::CH264RTPMediaParser> h;
    const size_t sliceSize = frameSize - 3 - sps.size() - 3;
    std::vector<uint8_t> slice = Filler(sliceSize);
    slice[0] = 0x65;  // NRI=3, type 5 (IDR slice)
    h.Feed({{sps, 1}, {slice, 2, true}});
    ASSERT_EQ(h.Client.Frames.size(), 1u) << frameSize;
    EXPECT_EQ(h.Client.Frames[0].Capacity, capacity) << frameSize;
    EXPECT_EQ(h.Client.Frames[0].Data.size(), frameSize + 5) << frameSize;
  }
}

TEST(RtpMediaParserResolution, ClassifiesPictureSizes) {
  struct Case {
    uint32_t Width, Height, Class;
  };
  const Case cases[] = {{704, 240, 3}, {352, 288, 2},  {704, 576, 4},  {1280, 720, 4}, {400, 300, 2},
                        {400, 199, 3}, {1023, 511, 3}, {1024, 200, 4}, {320, 192, 2},  {0, 0, 2}};
  for (const Case& c : cases) {
    EXPECT_EQ(CRTPMediaParser::ResolutionClass(c.Width, c.Height), c.Class) << c.Width << "x" << c.Height;
  }
}

// A JPEG picture of exactly `total` buffered bytes: an offset-0 fragment, then fragments whose
// bytes after the 8-byte main header add up to the rest.
std::vector<Packet> JpegPicture(size_t total) {
  constexpr size_t kChunk = 60000;
  std::vector<Packet> packets;
  size_t held = 0;
  uint16_t seq = 0;
  while (held < total) {
    const bool first = held == 0;
    const size_t body = std::min(kChunk, total - held - (first ? 8 : 0));
    const size_t offset = first ? 0 : held - 8;
    std::vector<uint8_t> payload =
        Concat({Bytes({0, static_cast<int>(offset >> 16), static_cast<int>(offset >> 8 & 0xFF),
                       static_cast<int>(offset & 0xFF), 1, 50, 80, 60}),
                Filler(body)});
    held += first ? payload.size() : body;
    packets.push_back({std::move(payload), seq++, false});
  }
  packets.back().Marker = true;
  return packets;
}

TEST(RtpMediaParserBufferLimit, TenMebibytesPassOneByteMoreIsDroppedAndLogged) {
  korvalt::DEVICE_INFO device;
  device.Address = "cam7.example";
  device.Port = 8081;
  {
    Harness<korvalt::CJpegRTPMediaParser> h;
    h.Driver.SetDeviceInfo(device);
    h.Feed(JpegPicture(CRTPMediaParser::kMaxFrameBuffer));
    ASSERT_EQ(h.Client.Frames.size(), 1u);
    EXPECT_EQ(h.Client.Frames[0].Data.size(), 605 + CRTPMediaParser::kMaxFrameBuffer - 8 + 2);
    EXPECT_TRUE(h.Driver.Lines().empty());
  }
  {
    Harness<korvalt::CJpegRTPMediaParser> h;
    h.Driver.SetDeviceInfo(device);
    h.Feed(JpegPicture(CRTPMediaParser::kMaxFrameBuffer + 1));
    EXPECT_TRUE(h.Client.Frames.empty());
    EXPECT_EQ(h.Allocator.Created.load(), 0u);
    EXPECT_EQ(h.Driver.Lines(),
              (std::vector<testsupport::FakeDriver::Line>{
                  {1,
                   "korvalt::CRTPMediaParser::CheckBufferSize Frame buffer overflow detected, "
                   "cam7.example:8081"}}));
    // The parser starts over with the next picture.
    std::vector<Packet> next = JpegPicture(2000);
    for (Packet& p : next) p.Sequence = static_cast<uint16_t>(p.Sequence + 1000);
    h.Feed(next);
    EXPECT_EQ(h.Client.Frames.size(), 1u);
  }
}

// One complete H.264 frame in a single STAP-A (SPS, PPS, IDR slice).
std::vector<uint8_t> StapAKeyFrame() {
  const std::vector<uint8_t> sps = korvalt::BuildH264Sps(352, 288);
  return Concat({Bytes({0x78}),  // F=0, NRI=3, type 24 (STAP-A)
                 Bytes({0, static_cast<int>(sps.size())}), sps, Bytes({0, 4, 0x68, 0xCE, 0x3C, 0x80}),
                 Bytes({0, 6, 0x65, 0x88, 0x84, 0x21, 0x43, 0x10})});
}

TEST(RtpMediaParserPadding, RemovesPaddingAndDropsDamagedPackets) {
  struct Case {
    const char* Name;
    std::vector<uint8_t> Tail;  // appended to the payload of the marker packet
    bool Padding;
    size_t Frames;
  };
  const Case cases[] = {
      {"no padding", {}, false, 1},
      {"one byte of padding", {1}, true, 1},
      {"four bytes of padding", {0, 0, 0, 4}, true, 1},
      {"count of zero", {0, 0, 0}, true, 0},
      {"count beyond the payload", {0xFF}, true, 0},
  };
  std::vector<uint8_t> expected;
  for (const Case& c : cases) {
    Harness<korvalt::CH264RTPMediaParser> h;
    h.Feed({Concat({StapAKeyFrame(), c.Tail}), 9, true, c.Padding});
    ASSERT_EQ(h.Client.Frames.size(), c.Frames) << c.Name;
    if (c.Frames == 0) continue;
    if (expected.empty()) expected = h.Client.Frames[0].Data;
    EXPECT_EQ(h.Client.Frames[0].Data, expected) << c.Name;
  }
}

TEST(RtpMediaParserPadding, PaddingOnlyPacketInsideAPictureIsSkipped) {
  Harness<korvalt::CH264RTPMediaParser> h;
  std::vector<uint8_t> fuStart = Bytes({0x7C, 0x85, 1, 2, 3});  // FU-A, start of IDR
  std::vector<uint8_t> fuEnd = Bytes({0x7C, 0x45, 4, 5, 6});    // FU-A, end of IDR
  const std::vector<uint8_t> sps = korvalt::BuildH264Sps(352, 288);
  h.Feed({{sps, 1}, {fuStart, 2}, {Bytes({0, 0, 3}), 3, false, true}, {fuEnd, 4, true}});
  ASSERT_EQ(h.Client.Frames.size(), 1u);
  // start code + SPS, start code + NAL header + 3 bytes, 3 bytes, delimiter
  EXPECT_EQ(h.Client.Frames[0].Data.size(), 3 + sps.size() + 3 + 1 + 3 + 3 + 5);
}

// One picture of each codec in three packets; the marker goes on the last.
std::vector<std::vector<uint8_t>> H264Picture() {
  return {Concat({Bytes({0x78}),  // STAP-A: SPS, PPS
                  Bytes({0, static_cast<int>(korvalt::BuildH264Sps(352, 288).size())}),
                  korvalt::BuildH264Sps(352, 288), Bytes({0, 4, 0x68, 0xCE, 0x3C, 0x80})}),
          Bytes({0x7C, 0x85, 0x88, 0x84, 0x21}),   // FU-A, start of an IDR slice
          Bytes({0x7C, 0x45, 0x43, 0x10, 0x22})};  // FU-A, its end
}

std::vector<std::vector<uint8_t>> JpegPicture() {
  // Offsets 0, 200, 400: the scan data before each fragment.
  return {Concat({Bytes({0, 0, 0, 0, 1, 50, 40, 30}), Filler(200, 0x11)}),
          Concat({Bytes({0, 0, 0, 200, 1, 50, 40, 30}), Filler(200, 0x22)}),
          Concat({Bytes({0, 0, 1, 144, 1, 50, 40, 30}), Filler(200, 0x33)})};
}

std::vector<std::vector<uint8_t>> Mpeg4Picture() {
  using mediatest::mpeg4::Configuration;
  using mediatest::mpeg4::Vop;
  return {Concat({Configuration({}), Vop(0x00)}), Filler(50, 0x22), Filler(50, 0x33)};
}

// What every parser does with a packet that is lost, damaged or padding alone.
template <typename Parser>
void CheckBadPacketPolicy(const char* codec, const std::vector<std::vector<uint8_t>>& picture) {
  constexpr int kPaddingAlone = -1;  // a packet of three bytes of padding
  constexpr int kLost = -2;          // a sequence number that never arrives
  struct Step {
    int Part;
    bool Marker = false;
    std::vector<uint8_t> PaddingTail = {};  // padding appended to the part (P bit set)
  };
  struct Case {
    const char* Name;
    std::vector<Step> Steps;
    bool Delivered;
  };
  const Case cases[] = {
      {"whole picture", {{0}, {1}, {2, true}}, true},
      {"padded packets", {{0, false, {1}}, {1, false, {0, 0, 3}}, {2, true, {2, 2}}}, true},
      {"padding alone inside the picture", {{0}, {kPaddingAlone}, {1}, {2, true}}, true},
      {"padding alone carries the marker", {{0}, {1}, {2}, {kPaddingAlone, true}}, true},
      {"padding alone with a marker and no picture", {{kPaddingAlone, true}}, false},
      {"lost packet", {{0}, {kLost}, {2, true}}, false},
      {"padding count of zero", {{0}, {1, false, {0, 0}}, {2, true}}, false},
      {"padding count beyond the payload", {{0}, {1, false, {0xFF}}, {2, true}}, false},
  };
  std::vector<uint8_t> whole;
  for (const Case& c : cases) {
    Harness<Parser> h;
    uint16_t seq = 100;
    for (const Step& step : c.Steps) {
      const uint16_t number = seq++;
      if (step.Part == kLost) continue;
      Packet p{step.Part == kPaddingAlone ? Bytes({0, 0, 3}) : Concat({picture[step.Part], step.PaddingTail}),
               number, step.Marker, step.Part == kPaddingAlone || !step.PaddingTail.empty()};
      h.Feed(p);
    }
    ASSERT_EQ(h.Client.Frames.size(), c.Delivered ? 1u : 0u) << codec << ": " << c.Name;
    if (c.Delivered) {
      if (whole.empty()) whole = h.Client.Frames[0].Data;
      EXPECT_EQ(h.Client.Frames[0].Data, whole) << codec << ": " << c.Name;
    }
    // Whatever came before, the next picture arrives whole and on its own.
    h.Feed({{picture[0], seq},
            {picture[1], static_cast<uint16_t>(seq + 1)},
            {picture[2], static_cast<uint16_t>(seq + 2), true}});
    ASSERT_EQ(h.Client.Frames.size(), c.Delivered ? 2u : 1u) << codec << ": " << c.Name;
    EXPECT_EQ(h.Client.Frames.back().Data, whole) << codec << ": " << c.Name;
    EXPECT_EQ(h.Allocator.Created.load(), h.Client.Frames.size()) << codec << ": " << c.Name;
    EXPECT_EQ(h.Allocator.Released.load(), h.Client.Frames.size()) << codec << ": " << c.Name;
  }
}

TEST(RtpMediaParserBadPackets, EveryCodecDropsLostOrDamagedPacketsAndEndsPicturesAtAnyMarker) {
  CheckBadPacketPolicy<korvalt::CH264RTPMediaParser>("H.264", H264Picture());
  CheckBadPacketPolicy<korvalt::CJpegRTPMediaParser>("JPEG", JpegPicture());
  CheckBadPacketPolicy<korvalt::CMpeg4RTPMediaParser>("MPEG-4", Mpeg4Picture());
}

TEST(RtpMediaParserDroppedPictures, EachPictureAGapOrARefusalCostIsCountedOnce) {
  // Pictures of three packets (timestamps 1, 2, 3, ...); "x" marks a packet that never arrives.
  struct Case {
    const char* Name;
    std::string Packets;  // per picture three of "o" (arrives) or "x" (lost), pictures by "|"
    bool Refuse;
    size_t Delivered;
    uint64_t Dropped;
  };
  const Case cases[] = {
      {"nothing lost", "ooo|ooo|ooo", false, 3, 0},
      {"the middle of a picture", "ooo|oxo|ooo", false, 2, 1},
      {"the end of a picture", "ooo|oox|ooo", false, 2, 1},
      {"the start of a picture", "ooo|xoo|ooo", false, 2, 1},
      {"the end of one and the start of the next", "oox|xoo|ooo", false, 1, 2},
      {"two gaps in one picture", "oxx|ooo", false, 1, 1},
      {"refused by the host", "ooo|ooo", true, 2, 2},
  };
  const auto picture = JpegPicture();
  for (const Case& c : cases) {
    Harness<korvalt::CJpegRTPMediaParser> h;
    h.Client.Accept = !c.Refuse;
    uint16_t sequence = 1;
    uint32_t timestamp = 1;
    size_t part = 0;
    for (const char mark : c.Packets) {
      if (mark == '|') {
        ++timestamp;
        part = 0;
        continue;
      }
      Packet p{picture[part], sequence++, part == 2};
      p.Timestamp = timestamp;
      if (mark == 'o') h.Feed(p);
      ++part;
    }
    EXPECT_EQ(h.Client.Frames.size(), c.Delivered) << c.Name;
    EXPECT_EQ(h.Subject.DroppedPictures(), c.Dropped) << c.Name;
  }
}

TEST(RtpMediaParserHandOff, NothingIsCreatedWithoutAllocatorOrClient) {
  Harness<korvalt::CH264RTPMediaParser> h;
  h.Driver.Allocator = nullptr;
  h.Feed({StapAKeyFrame(), 1, true});
  h.Driver.Allocator = &h.Allocator;
  h.Subject.SetClient(nullptr);
  h.Feed({StapAKeyFrame(), 2, true});
  EXPECT_EQ(h.Allocator.Created.load(), 0u);
  h.Allocator.Refuse = true;
  h.Subject.SetClient(&h.Client);
  h.Feed({StapAKeyFrame(), 3, true});
  EXPECT_TRUE(h.Client.Frames.empty());
  h.Allocator.Refuse = false;
  h.Feed({StapAKeyFrame(), 4, true});
  ASSERT_EQ(h.Client.Frames.size(), 1u);
  EXPECT_EQ(h.Client.Frames[0].Commits, 1);
  EXPECT_EQ(h.Allocator.Created.load(), h.Allocator.Released.load());
}

TEST(RtpMediaParserHandOff, RefusedSampleIsReleasedAndTheParserWaitsForAKeyFrame) {
  Harness<korvalt::CH264RTPMediaParser> h;
  h.Client.Accept = false;
  h.Feed({StapAKeyFrame(), 1, true});
  h.Client.Accept = true;
  h.Feed({Bytes({0x41, 0x9A, 0x02, 0x03}), 2, true});  // P slice: dropped while waiting
  h.Feed({StapAKeyFrame(), 3, true});
  ASSERT_EQ(h.Client.Frames.size(), 2u);
  EXPECT_EQ(h.Allocator.Created.load(), 2u);
  EXPECT_EQ(h.Allocator.Released.load(), 2u);
}

}  // namespace
