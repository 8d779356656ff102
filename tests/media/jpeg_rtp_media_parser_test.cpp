#include "media/parsers/jpeg_rtp_media_parser.h"

#include <gtest/gtest.h>

#include "parser_harness.h"

namespace {

using korvalt::CJpegRTPMediaParser;
using mediatest::Bytes;
using mediatest::Concat;
using mediatest::Filler;
using mediatest::Harness;
using mediatest::Packet;

// Main JPEG header: type-specific, 24-bit fragment offset, type, Q, width/8, height/8.
std::vector<uint8_t> MainHeader(uint32_t offset, int type, int q, int width8, int height8) {
  return Bytes({0, static_cast<int>(offset >> 16), static_cast<int>(offset >> 8 & 0xFF),
                static_cast<int>(offset & 0xFF), type, q, width8, height8});
}

// Standard tables in zigzag order, as they stand in a JPEG file of quality 50.
const std::vector<uint8_t> kStandardLuma =
    Bytes({16, 11,  12, 14, 12, 10, 16,  14,  13,  14, 18, 17,  16,  19,  24,  40,  26, 24,  22,  22, 24, 49,
           35, 37,  29, 40, 58, 51, 61,  60,  57,  51, 56, 55,  64,  72,  92,  78,  64, 68,  87,  69, 55, 56,
           80, 109, 81, 87, 95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99});
const std::vector<uint8_t> kStandardChroma =
    Bytes({17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66, 99, 99, 99, 99, 99, 99, 99, 99,
           99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
           99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99});

TEST(JpegParser, TablesFromQFollowTheStandardScaling) {
  const auto q50 = CJpegRTPMediaParser::TablesFromQ(50);
  EXPECT_EQ(std::vector<uint8_t>(q50.begin(), q50.begin() + 64), kStandardLuma);
  EXPECT_EQ(std::vector<uint8_t>(q50.begin() + 64, q50.end()), kStandardChroma);
  // Q 100 and 127 are clamped to 99: scale 2, so every entry is (2 * standard + 50) / 100.
  for (int q : {99, 100, 127}) {
    const auto t = CJpegRTPMediaParser::TablesFromQ(static_cast<uint8_t>(q));
    for (size_t i = 0; i < 64; ++i) {
      EXPECT_EQ(t[i], std::max(1, (2 * kStandardLuma[i] + 50) / 100)) << q;
      EXPECT_EQ(t[64 + i], std::max(1, (2 * kStandardChroma[i] + 50) / 100)) << q;
    }
  }
  // Q 1 (and 0) scale by 5000: every entry above 255 is clamped.
  for (int q : {0, 1}) {
    const auto t = CJpegRTPMediaParser::TablesFromQ(static_cast<uint8_t>(q));
    for (uint8_t v : t) EXPECT_EQ(v, 255) << q;
  }
  const auto q75 = CJpegRTPMediaParser::TablesFromQ(75);
  EXPECT_EQ(q75[0], 8);   // (50 * 16 + 50) / 100
  EXPECT_EQ(q75[64], 9);  // (50 * 17 + 50) / 100
}

TEST(JpegParser, RebuildsHeaderOfTypeAndSize) {
  struct Case {
    int Type;
    uint8_t LumaSampling;
  };
  for (const Case& c : {Case{0, 0x21}, Case{1, 0x22}, Case{65, 0x22}}) {
    Harness<CJpegRTPMediaParser> h;
    h.Feed({Concat({MainHeader(0, c.Type, 50, 80, 60), Filler(900)}), 1, true});
    ASSERT_EQ(h.Client.Frames.size(), 1u);
    const mediatest::Frame& f = h.Client.Frames[0];
    EXPECT_EQ(f.FourCC, korvalt::MakeFourCC("JPEG"));
    EXPECT_EQ(f.Width, 640u);
    EXPECT_EQ(f.Height, 480u);
    EXPECT_EQ(f.ResolutionClass, 4u);
    const std::vector<uint8_t>& d = f.Data;
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 7),
              Bytes({0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 7, d.begin() + 71), kStandardLuma);
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 76, d.begin() + 140), kStandardChroma);
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 140, d.begin() + 159),
              Bytes({0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0xE0, 0x02, 0x80, 0x03, 0x00, c.LumaSampling, 0x00,
                     0x01, 0x11, 0x01, 0x02, 0x11, 0x01}));
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 159, d.begin() + 164), Bytes({0xFF, 0xC4, 0x00, 0x1F, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 591, d.begin() + 605),
              Bytes({0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11, 0x00, 0x3F, 0x00}));
  }
}

TEST(JpegParser, SinglePacketFileSizeAndEndMarker) {
  struct Case {
    const char* Name;
    std::vector<uint8_t> ScanEnd;
    size_t Size;
  };
  const Case cases[] = {
      {"scan ends with EOI", Bytes({0xFF, 0xD9}), 605 + 992},
      {"EOI appended", Bytes({0x12, 0x34}), 605 + 992 + 2},
      {"a lone FF is not an EOI", Bytes({0x00, 0xFF}), 605 + 992 + 2},
  };
  for (const Case& c : cases) {
    Harness<CJpegRTPMediaParser> h;
    h.Feed({Concat({MainHeader(0, 1, 60, 40, 30), Filler(990), c.ScanEnd}), 4, true});
    ASSERT_EQ(h.Client.Frames.size(), 1u) << c.Name;
    const std::vector<uint8_t>& d = h.Client.Frames[0].Data;
    EXPECT_EQ(d.size(), c.Size) << c.Name;
    EXPECT_EQ(std::vector<uint8_t>(d.end() - 2, d.end()), Bytes({0xFF, 0xD9})) << c.Name;
    EXPECT_EQ(h.Client.Frames[0].Capacity, 1000u + 1024) << c.Name;
  }
}

TEST(JpegParser, InBandTablesAreCopiedAndScanStartsAfterThem) {
  Harness<CJpegRTPMediaParser> h;
  std::vector<uint8_t> tables(128);
  for (size_t i = 0; i < tables.size(); ++i) tables[i] = static_cast<uint8_t>(i + 1);
  // Quantisation table header: MBZ, precision, length 128.
  const std::vector<uint8_t> first =
      Concat({MainHeader(0, 1, 255, 40, 30), Bytes({0, 0, 0, 128}), tables, Filler(600, 0x11)});
  const std::vector<uint8_t> second = Concat({MainHeader(600, 1, 255, 40, 30), Filler(300, 0x22)});
  h.Feed({{first, 10}, {second, 11, true}});
  ASSERT_EQ(h.Client.Frames.size(), 1u);
  const std::vector<uint8_t>& d = h.Client.Frames[0].Data;
  EXPECT_EQ(std::vector<uint8_t>(d.begin() + 7, d.begin() + 71),
            std::vector<uint8_t>(tables.begin(), tables.begin() + 64));
  EXPECT_EQ(std::vector<uint8_t>(d.begin() + 76, d.begin() + 140),
            std::vector<uint8_t>(tables.begin() + 64, tables.end()));
  EXPECT_EQ(d.size(), 605u + 600 + 300 + 2);
  EXPECT_EQ(d[605], 0x11);
  EXPECT_EQ(d[605 + 600], 0x22);
}

TEST(JpegParser, TableHeaderLengthDecidesTablesAndScanStart) {
  std::vector<uint8_t> one(64, 7);
  struct Case {
    const char* Name;
    int Q;
    std::vector<uint8_t> TableHeaderAndTables;  // MBZ, precision, 16-bit length, tables
    bool Delivered;
    uint8_t ChromaEntry;
  };
  const Case cases[] = {
      {"one table serves both components", 255, Concat({Bytes({0, 0, 0, 64}), one}), true, 7},
      {"16-bit precision", 255, Concat({Bytes({0, 1, 0, 128}), Filler(128, 7)}), false, 0},
      {"odd length", 255, Concat({Bytes({0, 0, 0, 100}), Filler(100, 7)}), false, 0},
      {"length 0 with Q 255", 255, Bytes({0, 0, 0, 0}), false, 0},
      {"length 0 before any tables of this Q", 200, Bytes({0, 0, 0, 0}), false, 0},
  };
  for (const Case& c : cases) {
    Harness<CJpegRTPMediaParser> h;
    h.Feed({Concat({MainHeader(0, 1, c.Q, 40, 30), c.TableHeaderAndTables, Filler(700, 0x11)}), 1, true});
    ASSERT_EQ(h.Client.Frames.size(), c.Delivered ? 1u : 0u) << c.Name;
    if (!c.Delivered) continue;
    const std::vector<uint8_t>& d = h.Client.Frames[0].Data;
    EXPECT_EQ(d[7], 7) << c.Name;
    EXPECT_EQ(d[76], c.ChromaEntry) << c.Name;
    EXPECT_EQ(d.size(), 605u + 700 + 2) << c.Name;
  }
}

TEST(JpegParser, LengthZeroReusesTheTablesThisQCameWith) {
  Harness<CJpegRTPMediaParser> h;
  h.Feed({Concat({MainHeader(0, 1, 200, 40, 30), Bytes({0, 0, 0, 128}), Filler(64, 3), Filler(64, 4),
                  Filler(700)}),
          1, true});
  h.Feed({Concat({MainHeader(0, 1, 200, 40, 30), Bytes({0, 0, 0, 0}), Filler(700, 0x22)}), 2, true});
  ASSERT_EQ(h.Client.Frames.size(), 2u);
  const std::vector<uint8_t>& d = h.Client.Frames[1].Data;
  EXPECT_EQ(d[7], 3);
  EXPECT_EQ(d[76], 4);
  EXPECT_EQ(d[605], 0x22);
  EXPECT_EQ(d.size(), 605u + 700 + 2);
}

TEST(JpegParser, IncompleteOrShortPicturesProduceNothing) {
  struct Case {
    const char* Name;
    std::vector<Packet> Packets;
  };
  const Case cases[] = {
      {"605 payload bytes in all", {{Concat({MainHeader(0, 1, 50, 40, 30), Filler(597)}), 1, true}}},
      {"later fragment first",
       {{Concat({MainHeader(1000, 1, 50, 40, 30), Filler(900)}), 1},
        {Concat({MainHeader(1900, 1, 50, 40, 30), Filler(900)}), 2, true}}},
      {"lost middle fragment",
       {{Concat({MainHeader(0, 1, 50, 40, 30), Filler(900)}), 1},
        {Concat({MainHeader(1800, 1, 50, 40, 30), Filler(900)}), 3, true}}},
      {"in-band tables and little scan data",
       {{Concat({MainHeader(0, 1, 255, 40, 30), Bytes({0, 0, 0, 128}), Filler(128), Filler(400)}), 1, true}}},
  };
  for (const Case& c : cases) {
    Harness<CJpegRTPMediaParser> h;
    h.Feed(c.Packets);
    EXPECT_TRUE(h.Client.Frames.empty()) << c.Name;
    EXPECT_EQ(h.Allocator.Created.load(), h.Allocator.Released.load()) << c.Name;
  }
}

TEST(JpegParser, FragmentOffsetMustMatchTheScanDataHeld) {
  auto fragment = [](uint32_t offset, size_t size, uint16_t seq, bool marker = false, int q = 50) {
    return Packet{Concat({MainHeader(offset, 1, q, 40, 30), Filler(size, static_cast<uint8_t>(seq))}), seq,
                  marker};
  };
  struct Case {
    const char* Name;
    std::vector<Packet> Packets;
    std::vector<size_t> Sizes;  // of the files delivered
  };
  const Case cases[] = {
      {"offsets follow the scan data", {fragment(0, 400, 1), fragment(400, 400, 2, true)}, {605 + 800 + 2}},
      {"in-band tables are not counted",
       {{Concat({MainHeader(0, 1, 255, 40, 30), Bytes({0, 0, 0, 128}), Filler(128), Filler(400)}), 1},
        fragment(400, 400, 2, true, 255)},
       {605 + 800 + 2}},
      {"a fragment the sender skipped", {fragment(0, 400, 1), fragment(800, 400, 2, true)}, {}},
      {"a fragment sent twice",
       {fragment(0, 400, 1), fragment(400, 400, 2), fragment(400, 400, 3, true)},
       {}},
      {"an offset inside the held data", {fragment(0, 400, 1), fragment(300, 400, 2, true)}, {}},
      {"first fragment of the next picture missing",
       {fragment(0, 400, 1), fragment(400, 400, 2, true), fragment(400, 400, 3), fragment(800, 400, 4, true)},
       {605 + 800 + 2}},
      {"a picture without its marker gives way to the next",
       {fragment(0, 400, 1), fragment(400, 400, 2), fragment(0, 400, 3), fragment(400, 300, 4, true)},
       {605 + 700 + 2}},
  };
  for (const Case& c : cases) {
    Harness<CJpegRTPMediaParser> h;
    h.Feed(c.Packets);
    std::vector<size_t> sizes;
    for (const mediatest::Frame& f : h.Client.Frames) sizes.push_back(f.Data.size());
    EXPECT_EQ(sizes, c.Sizes) << c.Name;
    EXPECT_EQ(h.Allocator.Created.load(), h.Allocator.Released.load()) << c.Name;
  }
}

TEST(JpegParser, PayloadOfEightBytesIsIgnoredEvenWithMarker) {
  Harness<CJpegRTPMediaParser> h;
  h.Feed({{Concat({MainHeader(0, 1, 50, 40, 30), Filler(700)}), 1},
          {MainHeader(700, 1, 50, 40, 30), 2, true},  // ignored, but its number counts
          {Concat({MainHeader(700, 1, 50, 40, 30), Filler(100)}), 3, true}});
  ASSERT_EQ(h.Client.Frames.size(), 1u);
  EXPECT_EQ(h.Client.Frames[0].Data.size(), 605u + 800 + 2);
}

}  // namespace
