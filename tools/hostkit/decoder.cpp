#include "tools/hostkit/decoder.h"

#include <algorithm>
#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace hostkit {
namespace {

AVCodecID CodecFor(uint32_t fourCC) {
  if (fourCC == FourCC("H264") || fourCC == FourCC("I264")) return AV_CODEC_ID_H264;
  if (fourCC == FourCC("DIVX") || fourCC == FourCC("DIVI")) return AV_CODEC_ID_MPEG4;
  if (fourCC == FourCC("JPEG")) return AV_CODEC_ID_MJPEG;
  return AV_CODEC_ID_NONE;
}

}  // namespace

std::string FourCCText(uint32_t fourCC) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((fourCC >> (8 * i)) & 0xFF);
    text[static_cast<size_t>(i)] = (c >= 32 && c < 127) ? c : '?';
  }
  return text;
}

Decoder::Decoder(uint32_t fourCC) {
  av_log_set_level(AV_LOG_QUIET);
  const AVCodec* codec = avcodec_find_decoder(CodecFor(fourCC));
  if (codec == nullptr) return;
  Context = avcodec_alloc_context3(codec);
  if (Context == nullptr) return;
  Context->thread_count = 1;
  if (avcodec_open2(Context, codec, nullptr) < 0) {
    avcodec_free_context(&Context);
    return;
  }
  Frame = av_frame_alloc();
  Last = av_frame_alloc();
  Packet = av_packet_alloc();
}

Decoder::~Decoder() {
  av_packet_free(&Packet);
  av_frame_free(&Frame);
  av_frame_free(&Last);
  avcodec_free_context(&Context);
}

void Decoder::Receive() {
  for (;;) {
    const int rc = avcodec_receive_frame(Context, Frame);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
    if (rc < 0) {
      ++Errors;
      return;
    }
    if (Frame->decode_error_flags != 0 || (Frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) ++Errors;
    ++Decoded;
    Width = Frame->width;
    Height = Frame->height;
    av_frame_unref(Last);
    av_frame_move_ref(Last, Frame);
  }
}

bool Decoder::Decode(const uint8_t* data, size_t size) {
  if (!Valid() || data == nullptr || size == 0) return false;
  if (av_new_packet(Packet, static_cast<int>(size)) < 0) return false;
  std::copy(data, data + size, Packet->data);
  const uint64_t errorsBefore = Errors;
  const int rc = avcodec_send_packet(Context, Packet);
  av_packet_unref(Packet);
  if (rc < 0 && rc != AVERROR(EAGAIN)) {
    ++Errors;
    return false;
  }
  Receive();
  return Errors == errorsBefore;
}

void Decoder::Flush() {
  if (!Valid()) return;
  avcodec_send_packet(Context, nullptr);
  Receive();
}

double Decoder::MeanLuma() const {
  if (!Valid() || Last->width <= 0 || Last->height <= 0 || Last->data[0] == nullptr) return -1;
  uint64_t sum = 0;
  for (int y = 0; y < Last->height; ++y) {
    const uint8_t* row = Last->data[0] + static_cast<ptrdiff_t>(y) * Last->linesize[0];
    for (int x = 0; x < Last->width; ++x) sum += row[x];
  }
  return static_cast<double>(sum) / (static_cast<double>(Last->width) * Last->height);
}

std::vector<uint8_t> Decoder::EncodePng() {
  std::vector<uint8_t> png;
  if (!Valid() || Last->width <= 0 || Last->height <= 0) return png;
  const AVCodec* encoderCodec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (encoderCodec == nullptr) return png;
  AVCodecContext* encoder = avcodec_alloc_context3(encoderCodec);
  AVFrame* rgb = av_frame_alloc();
  AVPacket* out = av_packet_alloc();
  SwsContext* scale =
      sws_getContext(Last->width, Last->height, static_cast<AVPixelFormat>(Last->format), Last->width,
                     Last->height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (encoder != nullptr && rgb != nullptr && out != nullptr && scale != nullptr) {
    encoder->width = Last->width;
    encoder->height = Last->height;
    encoder->pix_fmt = AV_PIX_FMT_RGB24;
    encoder->time_base = AVRational{1, 25};
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = Last->width;
    rgb->height = Last->height;
    if (avcodec_open2(encoder, encoderCodec, nullptr) >= 0 && av_frame_get_buffer(rgb, 0) >= 0) {
      sws_scale(scale, Last->data, Last->linesize, 0, Last->height, rgb->data, rgb->linesize);
      if (avcodec_send_frame(encoder, rgb) >= 0 && avcodec_receive_packet(encoder, out) >= 0 &&
          out->size > 0) {
        png.assign(out->data, out->data + out->size);
      }
    }
  }
  sws_freeContext(scale);
  av_packet_free(&out);
  av_frame_free(&rgb);
  avcodec_free_context(&encoder);
  return png;
}

bool Decoder::WritePng(const std::string& path) {
  const std::vector<uint8_t> png = EncodePng();
  if (png.empty()) return false;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
  return (std::fclose(file) == 0) && written;
}

}  // namespace hostkit
