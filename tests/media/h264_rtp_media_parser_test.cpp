#include "media/parsers/h264_rtp_media_parser.h"

#include <gtest/gtest.h>

#include "media/parsers/h264_sps.h"
#include "parser_harness.h"

namespace {

using korvalt::CH264RTPMediaParser;
using mediatest::Bytes;
using mediatest::Concat;
using mediatest::Harness;
using mediatest::Packet;

constexpr uint32_t kH264 = korvalt::MakeFourCC("H264");
constexpr uint32_t kI264 = korvalt::MakeFourCC("I264");

const std::vector<uint8_t> kStart = Bytes({0, 0, 1});
const std::vector<uint8_t> kDelimiter = Bytes({0, 0, 1, 0x09, 0x30});
const std::vector<uint8_t> kPps = Bytes({0x68, 0xCE, 0x3C, 0x80});

std::vector<uint8_t> Sps(uint32_t w, uint32_t h) {
  return korvalt::BuildH264Sps(w, h);
}

// SPS, PPS and a tiny IDR slice in one STAP-A: a complete key frame.
std::vector<uint8_t> StapAKeyFrame(const std::vector<uint8_t>& sps) {
  return Concat({Bytes({0x78}),  // F=0, NRI=3, type 24 (STAP-A)
                 Bytes({0, static_cast<int>(sps.size())}), sps, Bytes({0, 4}), kPps,
                 Bytes({0, 4, 0x65, 0x88, 0x84, 0x21})});
}

TEST(H264Parser, StapAYieldsItsUnitsInOrderAndIsTaggedAsKeyFrame) {
  Harness<CH264RTPMediaParser> h;
  const std::vector<uint8_t> sps = Sps(352, 288);
  h.Feed({StapAKeyFrame(sps), 1, true});
  ASSERT_EQ(h.Client.Frames.size(), 1u);
  const mediatest::Frame& f = h.Client.Frames[0];
  EXPECT_EQ(f.Data, Concat({kStart, sps, kStart, kPps, kStart, Bytes({0x65, 0x88, 0x84, 0x21}), kDelimiter}));
  EXPECT_EQ(f.FourCC, kH264);
  EXPECT_EQ(f.Width, 352u);
  EXPECT_EQ(f.Height, 288u);
  EXPECT_EQ(f.ResolutionClass, 2u);
  EXPECT_EQ(f.Commits, 1);
}

TEST(H264Parser, FuHeaderDecidesWhetherParameterSetsArePrefixed) {
  struct Case {
    uint8_t FuHeader;
    std::vector<uint8_t> Expected;  // the second frame, after a STAP-A key frame
    uint32_t FourCC;
  };
  const std::vector<uint8_t> sdpSps = Sps(640, 480);
  const std::vector<uint8_t> cameraSps = Sps(352, 288);
  const Case cases[] = {
      // |S=1|E=0|R=0|type 5|: start of a fragmented IDR slice; the camera's own SPS of the key
      // frame before replaces the SDP's
      {0x85, Concat({kStart, cameraSps, kStart, kPps, kStart, Bytes({0x65, 1, 2, 3, 4, 5, 6}), kDelimiter}),
       kH264},
      // reserved bit set: only the reconstructed NAL header
      {0xA5, Concat({kStart, Bytes({0x65, 1, 2, 3, 4, 5, 6}), kDelimiter}), kI264},
      // not a start fragment: bytes without any NAL unit are no picture
      {0x05, {}, 0},
  };
  for (const Case& c : cases) {
    Harness<CH264RTPMediaParser> h;
    h.Subject.AcceptParameterSets(sdpSps, kPps);
    h.Feed({StapAKeyFrame(cameraSps), 1, true});
    h.Feed({{Bytes({0x7C, c.FuHeader, 1, 2, 3}), 2}, {Bytes({0x7C, 0x45, 4, 5, 6}), 3, true}});
    if (c.Expected.empty()) {
      EXPECT_EQ(h.Client.Frames.size(), 1u) << int(c.FuHeader);
      continue;
    }
    ASSERT_EQ(h.Client.Frames.size(), 2u) << int(c.FuHeader);
    EXPECT_EQ(h.Client.Frames[1].Data, c.Expected) << int(c.FuHeader);
    EXPECT_EQ(h.Client.Frames[1].FourCC, c.FourCC) << int(c.FuHeader);
  }
}

TEST(H264Parser, FragmentedIdrArrivingFirstGetsTheAnnouncedParameterSets) {
  Harness<CH264RTPMediaParser> h;
  const std::vector<uint8_t> sps = Sps(640, 360);
  h.Subject.AcceptParameterSets(sps, kPps);
  EXPECT_EQ(h.Subject.GetWidth(), 640u);
  EXPECT_EQ(h.Subject.GetHeight(), 360u);
  // NRI=3 type 28; FU header start of IDR; then the end fragment.
  h.Feed({{Bytes({0x7C, 0x85, 0xB8, 0x00}), 50000}, {Bytes({0x7C, 0x45, 0x11, 0x22}), 50001, true}});
  ASSERT_EQ(h.Client.Frames.size(), 1u);
  EXPECT_EQ(h.Client.Frames[0].Data,
            Concat({kStart, sps, kStart, kPps, kStart, Bytes({0x65, 0xB8, 0x00, 0x11, 0x22}), kDelimiter}));
  EXPECT_EQ(h.Client.Frames[0].FourCC, kH264);
  EXPECT_EQ(h.Client.Frames[0].Width, 640u);
  EXPECT_EQ(h.Client.Frames[0].Height, 360u);
}

TEST(H264Parser, SeiAheadOfAFragmentedIdrStillGetsTheParameterSetsInFront) {
  Harness<CH264RTPMediaParser> h;
  const std::vector<uint8_t> sps = Sps(640, 360);
  h.Subject.AcceptParameterSets(sps, kPps);
  const std::vector<uint8_t> sei = Bytes({0x06, 0x05, 0x02, 0xAA, 0xBB, 0x80});
  h.Feed({{sei, 1}, {Bytes({0x7C, 0x85, 0x01}), 2}, {Bytes({0x7C, 0x45, 0x02}), 3, true}});
  ASSERT_EQ(h.Client.Frames.size(), 1u);
  EXPECT_EQ(h.Client.Frames[0].Data,
            Concat({kStart, sps, kStart, kPps, kStart, sei, kStart, Bytes({0x65, 0x01, 0x02}), kDelimiter}));
  EXPECT_EQ(h.Client.Frames[0].FourCC, kH264);
}

TEST(H264Parser, BuildsParameterSetsFromTheRequestedSizeWhenNoneWereAnnounced) {
  Harness<CH264RTPMediaParser> h;
  h.Client.RequestedSize = {1920, 1080};
  h.Feed({{Bytes({0x7C, 0x85, 0x01}), 7}, {Bytes({0x7C, 0x45, 0x02}), 8, true}});
  ASSERT_EQ(h.Client.Frames.size(), 1u);
  EXPECT_EQ(h.Client.Frames[0].FourCC, kH264);
  EXPECT_EQ(h.Client.Frames[0].Width, 1920u);
  EXPECT_EQ(h.Client.Frames[0].Height, 1080u);
  EXPECT_EQ(h.Subject.GetSps(), Sps(1920, 1080));
  EXPECT_EQ(h.Subject.GetPps(), kPps);
}

TEST(H264Parser, UnusableAnnouncedSpsIsReplacedByABuiltOne) {
  Harness<CH264RTPMediaParser> h;
  h.Client.RequestedSize = {704, 480};
  h.Subject.AcceptParameterSets(Bytes({0x67, 0x42}), kPps);  // truncated SPS
  EXPECT_EQ(h.Subject.GetSps(), Sps(704, 480));
  EXPECT_EQ(h.Subject.GetWidth(), 704u);
  h.Subject.AcceptParameterSets({}, kPps);  // ignored
  EXPECT_EQ(h.Subject.GetSps(), Sps(704, 480));
}

TEST(H264Parser, IdrWithoutAnyParameterSetsOrClientIsDropped) {
  Harness<CH264RTPMediaParser> h;
  h.Subject.SetClient(nullptr);
  h.Feed({{Bytes({0x7C, 0x85, 0x01}), 1}, {Bytes({0x7C, 0x45, 0x02}), 2, true}});
  h.Subject.SetClient(&h.Client);
  h.Feed({Bytes({0x41, 0x9A, 0x01, 0x02}), 3, true});
  EXPECT_TRUE(h.Client.Frames.empty());
  EXPECT_EQ(h.Allocator.Created.load(), 0u);
}

TEST(H264Parser, FramesBeforeTheFirstSpsAreDroppedWithoutCreatingASample) {
  Harness<CH264RTPMediaParser> h;
  h.Feed({Bytes({0x41, 0x9A, 0x01, 0x02}), 1, true});                              // P slice
  h.Feed({{Bytes({0x7C, 0x01, 0x01}), 2}, {Bytes({0x7C, 0x41, 0x02}), 3, true}});  // fragmented P slice
  EXPECT_EQ(h.Allocator.Created.load(), 0u);
  h.Feed({StapAKeyFrame(Sps(352, 288)), 4, true});
  h.Feed({Bytes({0x41, 0x9A, 0x01, 0x02}), 5, true});
  ASSERT_EQ(h.Client.Frames.size(), 2u);
  EXPECT_EQ(h.Client.Frames[1].FourCC, kI264);
  EXPECT_EQ(h.Client.Frames[1].Width, 352u);  // the last known size
  EXPECT_EQ(h.Client.Frames[1].Data, Concat({kStart, Bytes({0x41, 0x9A, 0x01, 0x02}), kDelimiter}));
}

TEST(H264Parser, UnusablePayloadDropsThePictureAndWaitsForAKeyFrame) {
  struct Case {
    const char* Name;
    std::vector<uint8_t> Payload;
  };
  const Case cases[] = {
      {"empty", {}},
      {"2-byte single NAL unit", Bytes({0x06, 0xF0})},
      {"FU-B", Bytes({0x7D, 0x85, 0x00, 0x01, 0x02})},
      {"STAP-B", Bytes({0x79, 0x00, 0x01, 0x00, 0x02, 0x41, 0x9A})},
      {"MTAP16", Bytes({0x7A, 0x00, 0x01, 0x02, 0x03})},
      {"reserved type 0", Bytes({0x00, 0x01, 0x02})},
      {"reserved type 31", Bytes({0x1F, 0x01, 0x02})},
      {"FU-A of 2 bytes", Bytes({0x7C, 0x85})},
      {"STAP-A of 3 bytes", Bytes({0x78, 0x00, 0x01})},
      {"STAP-A size beyond the packet", Bytes({0x78, 0x00, 0x09, 0x41, 0x9A, 0x01})},
  };
  for (const Case& c : cases) {
    Harness<CH264RTPMediaParser> h;
    h.Feed({StapAKeyFrame(Sps(352, 288)), 1, true});
    h.Feed({Bytes({0x41, 0x9A, 0x01, 0x02}), 2});
    h.Feed({c.Payload, 3});
    h.Feed({Bytes({0x41, 0x9A, 0x03, 0x04}), 4, true});
    EXPECT_EQ(h.Client.Frames.size(), 1u) << c.Name;
    h.Feed({StapAKeyFrame(Sps(352, 288)), 5, true});
    EXPECT_EQ(h.Client.Frames.size(), 2u) << c.Name;
  }
}

TEST(H264Parser, CameraAccessUnitDelimitersDoNotCostPictures) {
  // x264 sends a 2-byte delimiter (F=0, NRI=0, Type=9; primary_pic_type) before each picture.
  Harness<CH264RTPMediaParser> h;
  h.Feed({StapAKeyFrame(Sps(352, 288)), 1, true});
  h.Feed({Bytes({0x09, 0xF0}), 2});
  h.Feed({Bytes({0x41, 0x9A, 0x01, 0x02}), 3, true});
  ASSERT_EQ(h.Client.Frames.size(), 2u);
  EXPECT_EQ(h.Client.Frames[1].FourCC, kI264);
  EXPECT_EQ(h.Client.Frames[1].Data, Concat({kStart, Bytes({0x41, 0x9A, 0x01, 0x02}), kDelimiter}))
      << "only our own delimiter ends the picture";
}

TEST(H264Parser, StapAWithBareSizeFieldOrZeroSizedUnitKeepsTheRest) {
  Harness<CH264RTPMediaParser> h;
  const std::vector<uint8_t> sps = Sps(352, 288);
  const std::vector<uint8_t> idr = Bytes({0x65, 0x88, 0x84, 0x21});
  // zero-sized unit, then SPS, PPS and an IDR slice, then a bare size field of 0
  h.Feed({Concat({Bytes({0x78, 0, 0, 0, static_cast<int>(sps.size())}), sps, Bytes({0, 4}), kPps,
                  Bytes({0, 4}), idr, Bytes({0, 0})}),
          1, true});
  ASSERT_EQ(h.Client.Frames.size(), 1u);
  EXPECT_EQ(h.Client.Frames[0].Data, Concat({kStart, sps, kStart, kPps, kStart, idr, kDelimiter}));
}

TEST(H264Parser, SequenceGapDropsThePictureInProgress) {
  Harness<CH264RTPMediaParser> h;
  h.Feed({StapAKeyFrame(Sps(352, 288)), 65535, true});
  h.Feed({Bytes({0x41, 0x9A, 0x01, 0x02}), 0, true});                              // 65535 -> 0 is continuous
  h.Feed({{Bytes({0x7C, 0x01, 0x01}), 1}, {Bytes({0x7C, 0x41, 0x02}), 3, true}});  // 2 lost
  ASSERT_EQ(h.Client.Frames.size(), 2u);
  EXPECT_EQ(h.Client.Frames[1].FourCC, kI264);
}

TEST(H264Parser, ResetKeepsTheParameterSets) {
  Harness<CH264RTPMediaParser> h;
  const std::vector<uint8_t> sps = Sps(800, 600);
  h.Subject.AcceptParameterSets(sps, kPps);
  h.Subject.Reset();
  EXPECT_EQ(h.Subject.GetSps(), sps);
  EXPECT_EQ(h.Subject.GetWidth(), 0u);
  h.Feed({{Bytes({0x7C, 0x85, 0x01}), 1}, {Bytes({0x7C, 0x45, 0x02}), 2, true}});
  ASSERT_EQ(h.Client.Frames.size(), 1u);
  EXPECT_EQ(h.Client.Frames[0].Width, 800u);
  EXPECT_EQ(h.Client.Frames[0].Height, 600u);
}

}  // namespace

namespace {

TEST(H264Parser, ParameterSetsAloneAreNoPictureAndGoInFrontOfTheNextKeyFrame) {
  // A server that sets the marker on its first packet, the SPS, in the middle of a key frame.
  Harness<CH264RTPMediaParser> h;
  const std::vector<uint8_t> sps = Sps(640, 360);
  h.Feed({{sps, 1, true}, {kPps, 2}, {Bytes({0x7C, 0x85, 0x01}), 3}, {Bytes({0x7C, 0x45, 0x02}), 4, true}});
  ASSERT_EQ(h.Client.Frames.size(), 1u);
  EXPECT_EQ(h.Client.Frames[0].Data,
            Concat({kStart, sps, kStart, kPps, kStart, Bytes({0x65, 0x01, 0x02}), kDelimiter}));
  EXPECT_EQ(h.Client.Frames[0].FourCC, kH264);
  EXPECT_EQ(h.Client.Frames[0].Width, 640u);
}

TEST(H264Parser, CameraParameterSetsSentWithSomeKeyFramesAreRepeatedForTheOthers) {
  // No sets in the SDP; the camera sends its own with the first key frame only.
  Harness<CH264RTPMediaParser> h;
  const std::vector<uint8_t> sps = Sps(640, 360);
  const std::vector<uint8_t> pps = Bytes({0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0});
  h.Feed({Concat({Bytes({0x78, 0, static_cast<int>(sps.size())}), sps, Bytes({0, 6}), pps,
                  Bytes({0, 4, 0x65, 0x88, 0x84, 0x21})}),
          1, true});
  h.Feed({Bytes({0x41, 0x9A, 0x01, 0x02}), 2, true});
  h.Feed({{Bytes({0x7C, 0x85, 0x01}), 3}, {Bytes({0x7C, 0x45, 0x02}), 4, true}});
  ASSERT_EQ(h.Client.Frames.size(), 3u);
  EXPECT_EQ(h.Client.Frames[2].Data,
            Concat({kStart, sps, kStart, pps, kStart, Bytes({0x65, 0x01, 0x02}), kDelimiter}))
      << "the camera's sets, not built ones";
  EXPECT_EQ(h.Client.Frames[2].Width, 640u);
}

TEST(H264Parser, KnownParameterSetsGoInFrontOfEveryKeyFrameThatLacksThem) {
  struct Case {
    const char* Name;
    std::vector<uint8_t> Payload;
    std::vector<uint8_t> Expected;
  };
  const std::vector<uint8_t> sps = Sps(640, 360);
  const std::vector<uint8_t> idr = Bytes({0x65, 0x88, 0x84, 0x21});
  const std::vector<uint8_t> sei = Bytes({0x06, 0x05, 0x02, 0xAA, 0xBB, 0x80});
  const Case cases[] = {
      {"single NAL unit", idr, Concat({kStart, sps, kStart, kPps, kStart, idr})},
      {"STAP-A of SEI and slice", Concat({Bytes({0x78, 0, 6}), sei, Bytes({0, 4}), idr}),
       Concat({kStart, sps, kStart, kPps, kStart, sei, kStart, idr})},
      {"STAP-A with the SPS only: the PPS follows it",
       Concat({Bytes({0x78, 0, static_cast<int>(sps.size())}), sps, Bytes({0, 4}), idr}),
       Concat({kStart, sps, kStart, kPps, kStart, idr})},
  };
  for (const Case& c : cases) {
    Harness<CH264RTPMediaParser> h;
    h.Subject.AcceptParameterSets(sps, kPps);  // announced in the SDP only
    h.Feed({c.Payload, 1, true});
    ASSERT_EQ(h.Client.Frames.size(), 1u) << c.Name;
    EXPECT_EQ(h.Client.Frames[0].Data, Concat({c.Expected, kDelimiter})) << c.Name;
    EXPECT_EQ(h.Client.Frames[0].FourCC, kH264) << c.Name;
  }
}

TEST(H264Parser, BuiltParameterSetsFollowTheRequestedSize) {
  Harness<CH264RTPMediaParser> h;
  h.Client.RequestedSize = {704, 480};
  h.Feed({{Bytes({0x7C, 0x85, 0x01}), 1}, {Bytes({0x7C, 0x45, 0x02}), 2, true}});
  h.Client.RequestedSize = {1920, 1080};  // the channel was restarted with another size
  h.Feed({{Bytes({0x7C, 0x85, 0x03}), 3}, {Bytes({0x7C, 0x45, 0x04}), 4, true}});
  ASSERT_EQ(h.Client.Frames.size(), 2u);
  EXPECT_EQ(h.Client.Frames[0].Width, 704u);
  EXPECT_EQ(h.Client.Frames[1].Width, 1920u);
  EXPECT_EQ(h.Client.Frames[1].Height, 1080u);
  EXPECT_EQ(h.Subject.GetSps(), Sps(1920, 1080));
}

}  // namespace
