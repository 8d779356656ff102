// Streams made by GStreamer's and FFmpeg's payloaders (tests/data/rtp/make_streams.sh) go
// through the parsers; every delivered sample must decode cleanly with libavcodec.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "media/parsers/h264_rtp_media_parser.h"
#include "media/parsers/jpeg_rtp_media_parser.h"
#include "media/parsers/mpeg4_rtp_media_parser.h"
#include "parser_harness.h"

namespace {

using mediatest::Frame;

const std::string kDataDir = std::string(QUENLARK_TEST_DATA) + "/rtp/";

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// RFC 4571 framing: a 16-bit big-endian length before every packet.
std::vector<std::vector<uint8_t>> ReadPackets(const std::string& path) {
  const std::vector<uint8_t> data = ReadFile(path);
  std::vector<std::vector<uint8_t>> packets;
  size_t pos = 0;
  while (pos + 2 <= data.size()) {
    const size_t n = static_cast<size_t>(data[pos]) << 8 | data[pos + 1];
    pos += 2;
    if (pos + n > data.size()) break;
    packets.emplace_back(data.begin() + pos, data.begin() + pos + n);
    pos += n;
  }
  return packets;
}

// Reads "key": value from the flat facts file beside each stream.
class Facts {
 public:
  explicit Facts(const std::string& path) {
    const std::vector<uint8_t> raw = ReadFile(path);
    Text.assign(raw.begin(), raw.end());
  }
  std::string Text;
  std::string String(const std::string& key) const {
    const size_t at = Text.find("\"" + key + "\": \"");
    if (at == std::string::npos) return {};
    const size_t begin = at + key.size() + 5;
    return Text.substr(begin, Text.find('"', begin) - begin);
  }
  long Number(const std::string& key) const {
    const size_t at = Text.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::stol(Text.substr(at + key.size() + 4));
  }
};

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<uint8_t> Base64(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<uint8_t> out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const size_t v = kAlphabet.find(c);
    if (v == std::string::npos) continue;
    bits = bits << 6 | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  return out;
}

// Counts what libavcodec reports at error level while a decoder runs.
std::mutex gLogLock;
int gDecoderErrors = 0;
void CountErrors(void*, int level, const char*, va_list) {
  if (level <= AV_LOG_ERROR) {
    std::lock_guard guard(gLogLock);
    ++gDecoderErrors;
  }
}

struct Decoded {
  int Frames = 0;
  int Failures = 0;
  int Width = 0;
  int Height = 0;
};

Decoded Decode(AVCodecID id, const std::vector<Frame>& samples) {
  av_log_set_callback(CountErrors);
  gDecoderErrors = 0;
  Decoded result;
  const AVCodec* codec = avcodec_find_decoder(id);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_CRCCHECK;
  context->thread_count = 1;
  if (avcodec_open2(context, codec, nullptr) != 0) return {0, 1, 0, 0};
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(context, frame) == 0) {
      ++result.Frames;
      if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) ++result.Failures;
      if (result.Width == 0) {
        result.Width = frame->width;
        result.Height = frame->height;
      } else if (result.Width != frame->width || result.Height != frame->height) {
        ++result.Failures;
      }
      av_frame_unref(frame);
    }
  };
  for (const Frame& sample : samples) {
    std::vector<uint8_t> data(sample.Data);
    data.resize(sample.Data.size() + AV_INPUT_BUFFER_PADDING_SIZE);
    packet->data = data.data();
    packet->size = static_cast<int>(sample.Data.size());
    if (avcodec_send_packet(context, packet) != 0) ++result.Failures;
    drain();
  }
  avcodec_send_packet(context, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  av_log_set_callback(av_log_default_callback);
  result.Failures += gDecoderErrors;
  return result;
}

struct StreamCase {
  const char* Name;
  AVCodecID Codec;
  const char* KeyCode;
  const char* OtherCode;
};
void PrintTo(const StreamCase& c, std::ostream* os) {
  *os << c.Name;
}

template <typename Parser>
std::vector<Frame> RunStream(const std::string& name, const Facts& facts, size_t paddingCycle) {
  mediatest::Harness<Parser> h;
  h.Client.RequestedSize = {1, 1};  // never used: every stream announces or carries its sets
  if constexpr (std::is_same_v<Parser, korvalt::CH264RTPMediaParser>) {
    const std::string sprop = facts.String("sprop_parameter_sets");
    if (!sprop.empty()) {
      const size_t comma = sprop.find(',');
      h.Subject.AcceptParameterSets(Base64(sprop.substr(0, comma)), Base64(sprop.substr(comma + 1)));
    }
  }
  if constexpr (std::is_same_v<Parser, korvalt::CMpeg4RTPMediaParser>) {
    // Configuration headers that the server announced only in the SDP ("config=").
    h.Subject.AcceptConfiguration(Hex(facts.String("sdp_config")));
  }
  size_t index = 0;
  for (std::vector<uint8_t> datagram : ReadPackets(kDataDir + name + ".rtp")) {
    // Optionally pad the packet as a sender that aligns its packets would.
    const size_t padding = paddingCycle == 0 ? 0 : index++ % paddingCycle + 1;
    if (padding != 0) {
      datagram[0] |= 0x20;
      datagram.insert(datagram.end(), padding - 1, 0);
      datagram.push_back(static_cast<uint8_t>(padding));
    }
    korvalt::RTP_PACKET_INFO info;
    EXPECT_TRUE(korvalt::ParseRtpHeader(datagram.data(), datagram.size(), info));
    h.Subject.ProcessPacket(info);
  }
  EXPECT_EQ(h.Allocator.Created.load(), h.Allocator.Released.load()) << name;
  EXPECT_TRUE(h.Driver.Lines().empty()) << name;
  return h.Client.Frames;
}

class StreamDecode : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamDecode, EverySampleDecodesWithTheRightSizeAndCode) {
  const StreamCase& c = GetParam();
  const Facts facts(kDataDir + c.Name + ".json");
  ASSERT_FALSE(facts.Text.empty()) << c.Name;
  std::vector<Frame> samples;
  std::vector<Frame> padded;
  if (c.Codec == AV_CODEC_ID_H264) {
    samples = RunStream<korvalt::CH264RTPMediaParser>(c.Name, facts, 0);
    padded = RunStream<korvalt::CH264RTPMediaParser>(c.Name, facts, 4);
  } else if (c.Codec == AV_CODEC_ID_MJPEG) {
    samples = RunStream<korvalt::CJpegRTPMediaParser>(c.Name, facts, 0);
    padded = RunStream<korvalt::CJpegRTPMediaParser>(c.Name, facts, 4);
  } else {
    samples = RunStream<korvalt::CMpeg4RTPMediaParser>(c.Name, facts, 0);
    padded = RunStream<korvalt::CMpeg4RTPMediaParser>(c.Name, facts, 4);
  }

  // One sample per picture, also where one packet (one marker) carries several.
  ASSERT_EQ(static_cast<long>(samples.size()), facts.Number("frames")) << c.Name;
  EXPECT_LE(facts.Number("pictures"), facts.Number("frames")) << c.Name;
  long keyFrames = 0;
  for (const Frame& f : samples) {
    const uint32_t key = korvalt::MakeFourCC(*reinterpret_cast<const char(*)[5]>(c.KeyCode));
    const uint32_t other = korvalt::MakeFourCC(*reinterpret_cast<const char(*)[5]>(c.OtherCode));
    EXPECT_TRUE(f.FourCC == key || f.FourCC == other) << c.Name;
    keyFrames += f.FourCC == key ? 1 : 0;
    EXPECT_EQ(static_cast<long>(f.Width), facts.Number("width")) << c.Name;
    EXPECT_EQ(static_cast<long>(f.Height), facts.Number("height")) << c.Name;
    EXPECT_EQ(f.ResolutionClass, korvalt::CRTPMediaParser::ResolutionClass(f.Width, f.Height));
    EXPECT_EQ(f.Commits, 1);
  }
  EXPECT_EQ(keyFrames, facts.Number("key_frames")) << c.Name;
  EXPECT_EQ(samples.front().FourCC, korvalt::MakeFourCC(*reinterpret_cast<const char(*)[5]>(c.KeyCode)));

  const Decoded decoded = Decode(c.Codec, samples);
  EXPECT_EQ(decoded.Failures, 0) << c.Name;
  EXPECT_EQ(decoded.Frames, facts.Number("frames")) << c.Name;
  EXPECT_EQ(decoded.Width, facts.Number("decoded_width")) << c.Name;
  EXPECT_EQ(decoded.Height, facts.Number("decoded_height")) << c.Name;

  // Padding in every packet changes nothing.
  ASSERT_EQ(padded.size(), samples.size()) << c.Name;
  for (size_t i = 0; i < samples.size(); ++i)
    EXPECT_EQ(padded[i].Data, samples[i].Data) << c.Name << " " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Payloaders, StreamDecode,
    ::testing::Values(StreamCase{"h264_gst_sdp_640x360", AV_CODEC_ID_H264, "H264", "I264"},
                      StreamCase{"h264_gst_inband_1080p", AV_CODEC_ID_H264, "H264", "I264"},
                      StreamCase{"h264_ffmpeg_720p", AV_CODEC_ID_H264, "H264", "I264"},
                      StreamCase{"mjpeg_gst_q60_640x480", AV_CODEC_ID_MJPEG, "JPEG", "JPEG"},
                      StreamCase{"mjpeg_gst_type0_1080p", AV_CODEC_ID_MJPEG, "JPEG", "JPEG"},
                      StreamCase{"mjpeg_ffmpeg_640x480", AV_CODEC_ID_MJPEG, "JPEG", "JPEG"},
                      StreamCase{"mpeg4_gst_352x288", AV_CODEC_ID_MPEG4, "DIVX", "DIVI"},
                      StreamCase{"mpeg4_ffmpeg_320x180", AV_CODEC_ID_MPEG4, "DIVX", "DIVI"},
                      StreamCase{"mpeg4_gst_aggregated_176x144", AV_CODEC_ID_MPEG4, "DIVX", "DIVI"},
                      StreamCase{"mpeg4_ffmpeg_sdp_config_320x180", AV_CODEC_ID_MPEG4, "DIVX", "DIVI"}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.Name); });

}  // namespace
