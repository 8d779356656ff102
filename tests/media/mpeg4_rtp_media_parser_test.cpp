#include "media/parsers/mpeg4_rtp_media_parser.h"

#include <gtest/gtest.h>

#include "media/parsers/mp4_parser.h"
#include "parser_harness.h"

namespace {

using korvalt::CMP4Parser;
using korvalt::CMpeg4RTPMediaParser;
using mediatest::BitWriter;
using mediatest::Bytes;
using mediatest::Concat;
using mediatest::Filler;
using mediatest::Harness;
using mediatest::Packet;
using mediatest::mpeg4::Configuration;
using mediatest::mpeg4::Vol;
using mediatest::mpeg4::Vop;

constexpr uint32_t kDivx = korvalt::MakeFourCC("DIVX");
constexpr uint32_t kDivi = korvalt::MakeFourCC("DIVI");

TEST(Mpeg4Parser, KeyFrameCarriesConfigurationAndPFrameKeepsItsSize) {
  Harness<CMpeg4RTPMediaParser> h;
  const std::vector<uint8_t> config = Configuration({});
  const std::vector<uint8_t> iVop = Vop(0x10);
  h.Feed({{Concat({config, iVop}), 1}, {Filler(30, 0x77), 2, true}});
  h.Feed({{Vop(0x50), 3}, {Filler(20, 0x66), 4, true}});
  ASSERT_EQ(h.Client.Frames.size(), 2u);
  EXPECT_EQ(h.Client.Frames[0].FourCC, kDivx);
  EXPECT_EQ(h.Client.Frames[0].Data, Concat({config, iVop, Filler(30, 0x77)}));
  EXPECT_EQ(h.Client.Frames[0].Width, 352u);
  EXPECT_EQ(h.Client.Frames[0].Height, 288u);
  EXPECT_EQ(h.Client.Frames[0].Capacity, 4096u);
  EXPECT_EQ(h.Client.Frames[0].Commits, 1);
  EXPECT_EQ(h.Client.Frames[1].FourCC, kDivi);
  EXPECT_EQ(h.Client.Frames[1].Data, Concat({Vop(0x50), Filler(20, 0x66)}));
  EXPECT_EQ(h.Client.Frames[1].Width, 352u);
  EXPECT_EQ(h.Client.Frames[1].Height, 288u);
  EXPECT_EQ(h.Subject.GetConfiguration(), config);
}

TEST(Mpeg4Parser, ConfigurationIsPutInFrontOfLaterKeyFrames) {
  Harness<CMpeg4RTPMediaParser> h;
  const std::vector<uint8_t> config = Configuration({});
  h.Feed({Concat({config, Vop(0x00)}), 1, true});
  h.Subject.Reset();
  h.Feed({Vop(0x20), 2, true});  // I-VOP without configuration in its payload
  ASSERT_EQ(h.Client.Frames.size(), 2u);
  EXPECT_EQ(h.Client.Frames[1].FourCC, kDivx);
  EXPECT_EQ(h.Client.Frames[1].Data, Concat({config, Vop(0x20)}));
}

TEST(Mpeg4Parser, NonIntraVopsAreTreatedAlike) {
  for (int codingType : {0x40, 0x7F, 0x80, 0xC0}) {  // P, P, B, S
    Harness<CMpeg4RTPMediaParser> h;
    h.Feed({Concat({Configuration({}), Vop(0x00)}), 1, true});
    h.Feed({Vop(codingType), 2, true});
    ASSERT_EQ(h.Client.Frames.size(), 2u) << codingType;
    EXPECT_EQ(h.Client.Frames[1].FourCC, kDivi) << codingType;
  }
}

TEST(Mpeg4Parser, WithoutConfigurationOrKeyFrameNothingIsDelivered) {
  Harness<CMpeg4RTPMediaParser> h;
  h.Feed({Vop(0x00), 1, true});                               // I-VOP, no configuration ever seen
  h.Feed({Vop(0x40), 2, true});                               // P-VOP
  h.Feed({Concat({Configuration({}), Vop(0x40)}), 3, true});  // configuration, but a P-VOP
  EXPECT_TRUE(h.Client.Frames.empty());
  EXPECT_EQ(h.Allocator.Created.load(), 0u);
}

TEST(Mpeg4Parser, UnusableVolDropsTheKeyFrame) {
  struct Case {
    const char* Name;
    Vol V;
    bool Accepted;
    uint32_t Width, Height;
  };
  const Case cases[] = {
      {"320x180 is reported in whole macroblocks", {.Width = 320, .Height = 180}, true, 320, 192},
      {"vbv parameters and fixed rate",
       {.Width = 176, .Height = 144, .Vbv = true, .FixedRate = true},
       true,
       176,
       144},
      {"no control parameters", {.Width = 720, .Height = 576, .ControlParameters = false}, true, 720, 576},
      {"Advanced Simple Object", {.ObjectType = 17}, false, 0, 0},
      {"binary shape", {.Shape = 1}, false, 0, 0},
      {"zero width", {.Width = 0}, false, 0, 0},
      {"time resolution 0", {.Resolution = 0}, false, 0, 0},
  };
  for (const Case& c : cases) {
    Harness<CMpeg4RTPMediaParser> h;
    h.Feed({Concat({Configuration(c.V), Vop(0x00)}), 1, true});
    ASSERT_EQ(h.Client.Frames.size(), c.Accepted ? 1u : 0u) << c.Name;
    if (!c.Accepted) continue;
    EXPECT_EQ(h.Client.Frames[0].Width, c.Width) << c.Name;
    EXPECT_EQ(h.Client.Frames[0].Height, c.Height) << c.Name;
  }
}

TEST(Mpeg4Parser, LostPacketDropsThePictureUntilTheNextKeyFrame) {
  Harness<CMpeg4RTPMediaParser> h;
  h.Feed({{Concat({Configuration({}), Vop(0x00)}), 1}, {Filler(50), 3, true}});  // 2 lost
  h.Feed({Vop(0x40), 4, true});
  EXPECT_TRUE(h.Client.Frames.empty());
  h.Feed({Vop(0x00), 5, true});
  EXPECT_EQ(h.Client.Frames.size(), 1u);
}

TEST(Mp4Parser, ReadsShortVideoHeaderSizes) {
  struct Case {
    uint32_t Format;
    bool Ok;
    uint32_t Width, Height;
  };
  const Case cases[] = {{1, true, 128, 96},    {2, true, 176, 144}, {3, true, 352, 288}, {4, true, 704, 576},
                        {5, true, 1408, 1152}, {6, false, 0, 0},    {0, false, 0, 0}};
  for (const Case& c : cases) {
    BitWriter w;
    w.Put(0x20, 22);  // picture start code
    w.Put(7, 8);      // temporal reference
    w.Put(0b10000, 5);
    w.Put(c.Format, 3);
    w.Put(0, 16);
    uint32_t width = 0, height = 0;
    EXPECT_EQ(CMP4Parser().GetPictureSize(w.Finish(), width, height), c.Ok) << c.Format;
    EXPECT_EQ(width, c.Width) << c.Format;
    EXPECT_EQ(height, c.Height) << c.Format;
  }
}

TEST(Mp4Parser, ReadsCustomPictureFormatOfExtendedPtype) {
  BitWriter w;
  w.Put(0x20, 22);
  w.Put(0, 8);
  w.Put(0b10000, 5);
  w.Put(7, 3);   // extended PTYPE
  w.Put(1, 3);   // UFEP
  w.Put(6, 3);   // custom source format
  w.Put(0, 15);  // rest of OPPTYPE
  w.Put(0, 9);   // MPPTYPE
  w.Put(0, 1);   // CPM
  w.Put(2, 4);   // pixel aspect ratio code
  w.Put(79, 9);  // PWI: (79 + 1) * 4 = 320
  w.Put(1, 1);
  w.Put(45, 9);  // PHI: 45 * 4 = 180, reported as 192
  w.Put(0, 16);
  uint32_t width = 0, height = 0;
  ASSERT_TRUE(CMP4Parser().GetPictureSize(w.Finish(), width, height));
  EXPECT_EQ(width, 320u);
  EXPECT_EQ(height, 192u);
}

TEST(Mp4Parser, RefusesTruncatedConfiguration) {
  const std::vector<uint8_t> config = Configuration({});
  uint32_t width = 0, height = 0;
  ASSERT_TRUE(CMP4Parser().GetPictureSize(config, width, height));
  // The last two bytes hold only interlaced, obmc_disable and fill bits.
  for (size_t cut = 0; cut + 2 < config.size(); ++cut) {
    EXPECT_FALSE(CMP4Parser().GetPictureSize(std::span(config).first(cut), width, height)) << cut;
  }
}

}  // namespace

namespace {

// Group-of-VOP header: start code, time code and flags (closed_gov=1, broken_link=0).
std::vector<uint8_t> Gov() {
  return Bytes({0, 0, 1, 0xB3, 0x00, 0x10, 0x07});
}

TEST(Mpeg4Parser, GovLedKeyFrameTakesTheSdpConfigurationUntilTheStreamBringsItsOwn) {
  Harness<CMpeg4RTPMediaParser> h;
  const std::vector<uint8_t> announced = Configuration({.Width = 352, .Height = 288});
  const std::vector<uint8_t> inBand = Configuration({.Width = 320, .Height = 180});
  h.Subject.AcceptConfiguration(announced);
  h.Feed({Concat({Gov(), Vop(0x10)}), 1, true});  // I-VOP led by a group-of-VOP header
  h.Feed({Vop(0x50), 2, true});
  h.Feed({Concat({inBand, Vop(0x00)}), 3, true});  // the stream's own configuration wins from now on
  h.Feed({Concat({Gov(), Vop(0x20)}), 4, true});
  ASSERT_EQ(h.Client.Frames.size(), 4u);
  EXPECT_EQ(h.Client.Frames[0].FourCC, kDivx);
  EXPECT_EQ(h.Client.Frames[0].Data, Concat({announced, Gov(), Vop(0x10)}));
  EXPECT_EQ(h.Client.Frames[0].Width, 352u);
  EXPECT_EQ(h.Client.Frames[1].FourCC, kDivi);
  EXPECT_EQ(h.Client.Frames[2].Data, Concat({inBand, Vop(0x00)}));
  EXPECT_EQ(h.Client.Frames[3].Data, Concat({inBand, Gov(), Vop(0x20)}));
  EXPECT_EQ(h.Client.Frames[3].Height, 192u);
}

TEST(Mpeg4Parser, StoredGovIsNotRepeatedBeforeAPictureWithItsOwn) {
  Harness<CMpeg4RTPMediaParser> h;
  const std::vector<uint8_t> config = Configuration({});
  // FFmpeg without global headers: configuration, group of VOP and I-VOP in one payload.
  h.Feed({Concat({config, Gov(), Vop(0x00)}), 1, true});
  h.Feed({Concat({Gov(), Vop(0x00)}), 2, true});
  ASSERT_EQ(h.Client.Frames.size(), 2u);
  EXPECT_EQ(h.Client.Frames[0].Data, Concat({config, Gov(), Vop(0x00)}));
  EXPECT_EQ(h.Client.Frames[1].Data, Concat({config, Gov(), Vop(0x00)}));
}

TEST(Mpeg4Parser, SeveralWholeVopsInOnePacketGiveOneSampleEach) {
  struct Case {
    const char* Name;
    std::vector<Packet> Packets;
    std::vector<std::vector<uint8_t>> Samples;
  };
  const std::vector<uint8_t> config = Configuration({});
  const Case cases[] = {
      {"key frame and two P-VOPs",
       {{Concat({config, Vop(0x00, 30), Vop(0x50, 10), Vop(0x51, 12)}), 1, true}},
       {Concat({config, Vop(0x00, 30)}), Vop(0x50, 10), Vop(0x51, 12)}},
      {"P-VOP, then configuration and a key frame",
       {{Concat({config, Vop(0x00, 30)}), 1, true},
        {Concat({Vop(0x50, 10), config, Gov(), Vop(0x00, 8)}), 2, true}},
       {Concat({config, Vop(0x00, 30)}), Vop(0x50, 10), Concat({config, Gov(), Vop(0x00, 8)})}},
      {"the last VOP continues in the next packet",
       {{Concat({config, Vop(0x00, 30), Vop(0x50, 10)}), 1}, {Filler(5, 0x44), 2, true}},
       {Concat({config, Vop(0x00, 30)}), Concat({Vop(0x50, 10), Filler(5, 0x44)})}},
  };
  for (const Case& c : cases) {
    Harness<CMpeg4RTPMediaParser> h;
    h.Feed(c.Packets);
    ASSERT_EQ(h.Client.Frames.size(), c.Samples.size()) << c.Name;
    for (size_t i = 0; i < c.Samples.size(); ++i)
      EXPECT_EQ(h.Client.Frames[i].Data, c.Samples[i]) << c.Name << i;
  }
}

TEST(Mpeg4Parser, ContinuationAfterAnEarlyMarkerIsDroppedAndTheGopGoesOn) {
  // A server that marks its first packet although the key frame goes on in the next two.
  Harness<CMpeg4RTPMediaParser> h;
  h.Feed({{Concat({Configuration({}), Vop(0x00)}), 1, true},
          {Filler(60, 0x11), 2},
          {Filler(60, 0x22), 3, true}});
  h.Feed({{Vop(0x50), 4, true}, {Vop(0x51), 5, true}});
  ASSERT_EQ(h.Client.Frames.size(), 3u);
  EXPECT_EQ(h.Client.Frames[1].FourCC, kDivi);
  EXPECT_EQ(h.Client.Frames[1].Data, Vop(0x50));
  EXPECT_EQ(h.Client.Frames[2].Width, 352u);
}

TEST(Mpeg4Parser, PacketOfTinyKeyFramesCannotAmplifyTheStoredConfiguration) {
  // A camera sends headers padded with 60,000 bytes of user data, then one packet of 13,000 tiny
  // I-VOPs: neither the stored configuration nor the pictures of one packet may grow with it.
  Harness<CMpeg4RTPMediaParser> h;
  const std::vector<uint8_t> config = Configuration({});
  const std::vector<uint8_t> padding = Concat({Bytes({0, 0, 1, 0xB2}), Filler(60000, 0x55)});
  h.Feed({Concat({config, padding, Vop(0x00)}), 1, true});
  EXPECT_LE(h.Subject.GetConfiguration().size(), 1024u);
  ASSERT_EQ(h.Client.Frames.size(), 1u);  // the picture keeps its headers, without the padding
  EXPECT_EQ(h.Client.Frames[0].Width, 352u);

  std::vector<uint8_t> flood;
  for (int i = 0; i < 13000; ++i) {
    const std::vector<uint8_t> tiny = Vop(0x00, 1);  // 00 00 01 B6, I-VOP, one byte
    flood.insert(flood.end(), tiny.begin(), tiny.end());
  }
  h.Feed({flood, 2, true});
  size_t bytes = 0;
  for (const auto& frame : h.Client.Frames) bytes += frame.Data.size();
  EXPECT_LE(h.Client.Frames.size(), 1u + 8u);
  EXPECT_LE(bytes, 2 * 1024u + 8 * 1024u);

  // Up to a few whole VOPs in one packet are still pictures of their own.
  Harness<CMpeg4RTPMediaParser> few;
  few.Feed({Concat({config, Vop(0x00, 10), Vop(0x40, 3), Vop(0x41, 3), Vop(0x42, 3)}), 1, true});
  EXPECT_EQ(few.Client.Frames.size(), 4u);
}

TEST(Mpeg4Parser, OversizedAnnouncedConfigurationIsIgnored) {
  Harness<CMpeg4RTPMediaParser> h;
  const std::vector<uint8_t> huge = Concat({Configuration({}), Bytes({0, 0, 1, 0xB2}), Filler(70000)});
  h.Subject.AcceptConfiguration(huge);
  h.Feed({Concat({Gov(), Vop(0x00)}), 1, true});
  EXPECT_TRUE(h.Client.Frames.empty());
}

}  // namespace
