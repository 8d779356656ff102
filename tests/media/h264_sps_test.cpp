#include "media/parsers/h264_sps.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "parser_harness.h"

namespace {

using korvalt::BuildH264Sps;
using korvalt::ParseH264SpsSize;
using mediatest::BitWriter;
using mediatest::Bytes;
using mediatest::Concat;

const std::vector<uint8_t> kStart = Bytes({0, 0, 1});

// What FFmpeg's H.264 parser reads from an SPS, the built PPS and an IDR slice header.
struct FfmpegView {
  int Width = 0, Height = 0, CodedWidth = 0, CodedHeight = 0;
};

FfmpegView ReadWithFfmpeg(const std::vector<uint8_t>& sps) {
  BitWriter slice;
  slice.Ue(0);      // first_mb_in_slice
  slice.Ue(7);      // slice_type I
  slice.Ue(0);      // pic_parameter_set_id
  slice.Put(0, 4);  // frame_num
  slice.Ue(0);      // idr_pic_id
  slice.Put(0, 2);  // no_output_of_prior_pics, long_term_reference
  slice.Put(1, 1);
  const std::vector<uint8_t> stream =
      Concat({kStart, sps, kStart, Bytes({0x68, 0xCE, 0x3C, 0x80}), kStart, Bytes({0x65}), slice.Finish(),
              Bytes({0x80, 0, 0, 1, 0x09, 0x30})});
  std::vector<uint8_t> padded(stream);
  padded.resize(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE);
  AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
  uint8_t* out = nullptr;
  int outSize = 0;
  av_parser_parse2(parser, context, &out, &outSize, padded.data(), static_cast<int>(stream.size()),
                   AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
  FfmpegView view{parser->width, parser->height, parser->coded_width, parser->coded_height};
  av_parser_close(parser);
  avcodec_free_context(&context);
  return view;
}

TEST(H264Sps, BuiltSpsDescribesThePictureToFfmpeg) {
  struct Case {
    uint32_t Width, Height;
    int CodedWidth, CodedHeight, ShownWidth, ShownHeight;
  };
  const Case cases[] = {
      {704, 480, 704, 480, 704, 480},        // 44 x 30 macroblocks, no cropping
      {1920, 1080, 1920, 1088, 1920, 1080},  // 120 x 68 macroblocks, bottom crop 4
      {352, 240, 352, 240, 352, 240},       {1280, 720, 1280, 720, 1280, 720},
      {360, 200, 368, 208, 360, 200},     // multiples of 8
      {1000, 562, 1008, 576, 1000, 562},  // not multiples of 8: whole picture covered
      {1090, 610, 1104, 624, 1090, 610},  // rounding half up would lose a macroblock row and column
      {101, 77, 112, 80, 102, 78},        // odd sizes: the nearest even size above
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> sps = BuildH264Sps(c.Width, c.Height);
    ASSERT_FALSE(sps.empty());
    EXPECT_EQ(sps[0], 0x67);
    const FfmpegView view = ReadWithFfmpeg(sps);
    EXPECT_EQ(view.CodedWidth, c.CodedWidth) << c.Width << "x" << c.Height;
    EXPECT_EQ(view.CodedHeight, c.CodedHeight) << c.Width << "x" << c.Height;
    EXPECT_EQ(view.Width, c.ShownWidth) << c.Width << "x" << c.Height;
    EXPECT_EQ(view.Height, c.ShownHeight) << c.Width << "x" << c.Height;
    const auto parsed = ParseH264SpsSize(Concat({kStart, sps}));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->Width, static_cast<uint32_t>(c.ShownWidth));
    EXPECT_EQ(parsed->Height, static_cast<uint32_t>(c.ShownHeight));
  }
  EXPECT_TRUE(BuildH264Sps(0, 480).empty());
  EXPECT_TRUE(BuildH264Sps(704, 0).empty());
}

TEST(H264Sps, BuiltSpsNeverEmulatesAStartCode) {
  for (uint32_t w = 16; w <= 4096; w += 8) {
    const std::vector<uint8_t> sps = BuildH264Sps(w, w / 2 + 8);
    for (size_t i = 0; i + 2 < sps.size(); ++i) {
      ASSERT_FALSE(sps[i] == 0 && sps[i + 1] == 0 && sps[i + 2] < 3) << w;
    }
  }
}

// The standard's escaping: a 03 byte after two zero bytes when the next byte is 00 to 03.
std::vector<uint8_t> Escape(const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> out;
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

// A High-profile SPS with the given fields; big values make long runs of zero bits.
std::vector<uint8_t> HighSps(uint32_t maxRefFrames, uint32_t widthMbs, uint32_t heightMbs, bool scaling,
                             uint32_t cropBottom) {
  BitWriter w;
  w.Put(0x67, 8);
  w.Put(100, 8);  // profile_idc High
  w.Put(0, 8);    // constraint flags
  w.Put(40, 8);   // level_idc
  w.Ue(0);        // seq_parameter_set_id
  w.Ue(1);        // chroma_format_idc 4:2:0
  w.Ue(0);
  w.Ue(0);
  w.Put(0, 1);
  w.Put(scaling ? 1 : 0, 1);
  if (scaling) {
    for (int i = 0; i < 8; ++i) {
      w.Put(i == 0 || i == 6 ? 1 : 0, 1);
      if (i == 0 || i == 6) {
        const int size = i < 6 ? 16 : 64;
        for (int j = 0; j < size; ++j) w.Ue(j == 0 ? 2 : 0);  // delta 1 once, then flat
      }
    }
  }
  w.Ue(0);  // log2_max_frame_num_minus4
  w.Ue(0);  // pic_order_cnt_type 0
  w.Ue(2);
  w.Ue(maxRefFrames);
  w.Put(0, 1);
  w.Ue(widthMbs - 1);
  w.Ue(heightMbs - 1);
  w.Put(1, 1);  // frame_mbs_only_flag
  w.Put(1, 1);  // direct_8x8_inference_flag
  w.Put(cropBottom != 0 ? 1 : 0, 1);
  if (cropBottom != 0) {
    w.Ue(0);
    w.Ue(0);
    w.Ue(0);
    w.Ue(cropBottom);
  }
  w.Put(0, 1);  // vui_parameters_present_flag
  w.Put(1, 1);  // rbsp_stop_one_bit
  return Escape(w.Finish());
}

TEST(H264Sps, ReadsTheRbspWithEmulationPreventionBytesRemoved) {
  // max_num_ref_frames of 2^24 - 1 ends in 24 zero bits; with the flag and the width's leading
  // zeros that makes three whole zero bytes, which must be escaped.
  const std::vector<uint8_t> sps = HighSps((1u << 24) - 1, 80, 45, false, 0);
  bool escaped = false;
  for (size_t i = 0; i + 2 < sps.size(); ++i) escaped |= sps[i] == 0 && sps[i + 1] == 0 && sps[i + 2] == 3;
  ASSERT_TRUE(escaped);
  const auto size = ParseH264SpsSize(Concat({kStart, sps}));
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->Width, 1280u);
  EXPECT_EQ(size->Height, 720u);
}

TEST(H264Sps, ParsesHighProfileWithScalingListsAndCropping) {
  const auto size = ParseH264SpsSize(Concat({Bytes({0x09, 0x10}), kStart, HighSps(4, 120, 68, true, 4)}));
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->Width, 1920u);
  EXPECT_EQ(size->Height, 1080u);
}

TEST(H264Sps, RefusesMissingTruncatedOrInconsistentSps) {
  const std::vector<uint8_t> good = Concat({kStart, BuildH264Sps(704, 480)});
  EXPECT_FALSE(ParseH264SpsSize({}).has_value());
  EXPECT_FALSE(ParseH264SpsSize(Concat({kStart, Bytes({0x68, 0xCE, 0x3C, 0x80})})).has_value());
  // The last byte holds only the bits after the cropping flag.
  for (size_t cut = 1; cut + 1 < good.size(); ++cut) {
    EXPECT_FALSE(ParseH264SpsSize(std::span(good).first(cut)).has_value()) << cut;
  }
  // SPS start code beyond the first 64 bytes
  EXPECT_FALSE(ParseH264SpsSize(Concat({std::vector<uint8_t>(62, 0x11), good})).has_value());
  EXPECT_TRUE(ParseH264SpsSize(Concat({std::vector<uint8_t>(61, 0x11), good})).has_value());
  // cropping more than the picture
  EXPECT_FALSE(ParseH264SpsSize(Concat({kStart, HighSps(1, 2, 2, false, 20)})).has_value());
}

}  // namespace
