#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "driver/host/video.h"
#include "transport/rtp_packet_info.h"

namespace korvalt {

class IDriver;

// The owning stream channel's side of a parser.
class IMediaParserClient {
 public:
  // Hands a filled, committed sample on to the host; true when the host accepted it. The
  // sample stays the parser's, which releases it after this call.
  virtual bool DeliverFrame(ipcapture::IFrameSample* sample) = 0;
  // Width and height the host asked for when it started the channel.
  virtual std::pair<uint32_t, uint32_t> GetPictureSize() = 0;

 protected:
  ~IMediaParserClient() = default;
};

// Base of the RTP depacketisers: gathers the payload of one picture in a frame buffer that is
// reused from picture to picture, and hands each finished picture to the host as a frame
// sample. Owns what every codec shares: the sequence rule, RTP padding, what a broken packet
// does, the buffer limit and the hand-off. Runs on the channel's RTP receive thread only; takes
// no lock.
class CRTPMediaParser {
 public:
  static constexpr size_t kMaxFrameBuffer = 10 * 1024 * 1024;

  // driver is borrowed for the parser's lifetime and may be null (then nothing is delivered).
  CRTPMediaParser(std::string parserName, IDriver* driver);
  virtual ~CRTPMediaParser() = default;
  CRTPMediaParser(const CRTPMediaParser&) = delete;
  CRTPMediaParser& operator=(const CRTPMediaParser&) = delete;

  // A sequence gap or damaged padding drops the picture being assembled (a packet after a gap
  // then starts afresh); a packet of padding alone adds nothing, but its marker still ends the
  // picture. Any exception loses the packet and the picture, never the parser.
  virtual void ProcessPacket(const RTP_PACKET_INFO& packet);
  // Drops the picture being assembled; never touches the sequence state.
  virtual void Reset() = 0;

  // Borrowed; set by the owning channel right after construction.
  void SetClient(IMediaParserClient* client) { Client = client; }

  // Pictures lost since construction to a sequence gap, the buffer limit or the host's refusal.
  // Any thread may read it.
  uint64_t DroppedPictures() const { return Dropped.load(std::memory_order_relaxed); }

  uint32_t GetWidth() const { return Width; }
  uint32_t GetHeight() const { return Height; }

  // Capacity asked of the host for a picture of bytesNeeded bytes.
  static uint32_t SampleCapacity(size_t bytesNeeded);
  // The host's resolution class of a picture size.
  static uint32_t ResolutionClass(uint32_t width, uint32_t height);

 protected:
  // The codec's part of a packet: payload is what the packet carries without its padding
  // (possibly nothing, when the packet had no padding either). Ends with EndPayload, or with
  // Reset when the codec cannot use the payload.
  virtual void AddPayload(std::span<const uint8_t> payload, bool marker) = 0;
  // Hands the finished picture on (through DeliverSample) and empties the frame buffer.
  virtual void EndPicture() = 0;
  // Writes the finished picture into a sample's data area of the capacity DeliverSample was
  // given; its size, or 0 when the picture is unusable. The frame buffer as it is by default.
  virtual size_t WritePicture(uint8_t* out);

  // Counts what a sequence gap before a packet of this timestamp cost.
  void NoteGap(uint32_t timestamp);
  // Records the sequence number; false when the packet does not follow the one before it.
  bool IsContinuous(uint16_t sequenceNumber);
  // False when the buffer could not grow.
  bool Append(const uint8_t* data, size_t size) noexcept;
  bool Append(std::span<const uint8_t> bytes) noexcept { return Append(bytes.data(), bytes.size()); }
  // False, with a level-1 message, once the picture outgrows kMaxFrameBuffer.
  bool CheckBufferSize();
  // Closes AddPayload: a failed append or an outgrown buffer drops the picture, otherwise the
  // marker ends it.
  void EndPayload(bool appended, bool marker);
  // True when a picture can be handed off at all: driver, allocator, client and data are there.
  bool CanDeliver() const;
  // Creates a sample of capacity bytes tagged fourCC, fills it with WritePicture, sets size,
  // picture size and resolution class, commits it and hands it to the client. A picture that
  // cannot be written or that the client refuses is dropped (Reset). The sample is released
  // however this ends.
  void DeliverSample(uint32_t fourCC, size_t capacity);

  uint16_t LastSequenceNumber = 0;
  bool FirstPacket = true;
  IDriver* Driver;  // Borrowed from the channel's driver for the parser's lifetime.
  std::string ParserName;
  IMediaParserClient* Client = nullptr;  // Borrowed from the owning channel.
  std::vector<uint8_t> FrameBuffer;
  uint32_t Width = 0;
  uint32_t Height = 0;
  std::atomic<uint64_t> Dropped{0};
  // Counting pictures lost to gaps: a gap is charged to the picture it struck once that picture
  // ends undelivered.
  uint32_t PictureTimestamp = 0;  // of the last packet
  bool GapPending = false;
  bool DeliveredSinceGap = false;

 private:
  enum class PayloadKind { kUsable, kPaddingOnly, kBroken };

  // The packet's payload without its RTP padding (the count is the payload's last byte).
  static PayloadKind GetPayload(const RTP_PACKET_INFO& packet, std::span<const uint8_t>& payload);
  // The host's allocator when a picture can be handed off at all, else null.
  ipcapture::ISampleAllocator* DeliveryAllocator() const;
};

// Four-character code as the host expects it: first character in the lowest byte.
constexpr uint32_t MakeFourCC(const char (&code)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(code[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[3])) << 24;
}

}  // namespace korvalt
