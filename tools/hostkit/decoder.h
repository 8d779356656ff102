#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace hostkit {

// Decodes the pictures a channel delivers with libavcodec, to count what is decodable and to
// keep the last picture for a snapshot. Not thread-safe: feed it from one thread.
class Decoder {
 public:
  // fourCC of the first sample: H264/I264, DIVX/DIVI or JPEG.
  explicit Decoder(uint32_t fourCC);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  bool Valid() const { return Context != nullptr; }
  // One delivered picture. False when the decoder reported an error for it.
  bool Decode(const uint8_t* data, size_t size);
  // Drains pictures the decoder still holds.
  void Flush();
  // The last decoded picture as PNG; empty when there is none or encoding failed.
  std::vector<uint8_t> EncodePng();
  // Writes the last decoded picture as PNG; false when there is none or writing failed.
  bool WritePng(const std::string& path);
  // Mean of the first plane (luma for the YUV formats) of the last decoded picture, 0 to 255;
  // -1 when there is none. Enough to tell two views of a test picture apart.
  double MeanLuma() const;

  uint64_t Decoded = 0;  // pictures that came out of the decoder
  uint64_t Errors = 0;   // samples the decoder refused
  int Width = 0;         // of the last decoded picture
  int Height = 0;

 private:
  void Receive();

  AVCodecContext* Context = nullptr;
  AVFrame* Frame = nullptr;
  AVFrame* Last = nullptr;
  AVPacket* Packet = nullptr;
};

// The module's four-character codes.
constexpr uint32_t FourCC(const char (&code)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(code[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[3])) << 24;
}
std::string FourCCText(uint32_t fourCC);

}  // namespace hostkit
