#include "media/parsers/rtp_media_parser.h"

#include <cstring>
#include <memory>

#include "driver/idriver.h"

namespace korvalt {
namespace {

constexpr uint32_t kCapacityClasses[] = {4096, 16384, 32768, 131072};

// Resolution classes of the host.
constexpr uint32_t kHalfHeightClass = 3;
constexpr uint32_t kSmallClass = 2;
constexpr uint32_t kLargeClass = 4;
constexpr uint32_t kHalfHeightMaxWidth = 1024;
constexpr uint32_t kSmallMaxWidth = 400;

}  // namespace

CRTPMediaParser::CRTPMediaParser(std::string parserName, IDriver* driver)
    : Driver(driver), ParserName(std::move(parserName)) {}

uint32_t CRTPMediaParser::SampleCapacity(size_t bytesNeeded) {
  for (uint32_t capacity : kCapacityClasses) {
    if (bytesNeeded <= capacity) return capacity;
  }
  return static_cast<uint32_t>(bytesNeeded);
}

uint32_t CRTPMediaParser::ResolutionClass(uint32_t width, uint32_t height) {
  if (width < kHalfHeightMaxWidth && 2ull * height < width) return kHalfHeightClass;
  if (width <= kSmallMaxWidth) return kSmallClass;
  return kLargeClass;
}

void CRTPMediaParser::ProcessPacket(const RTP_PACKET_INFO& packet) {
  try {
    if (!IsContinuous(packet.SequenceNumber)) {
      NoteGap(packet.Timestamp);
      Reset();
    }
    PictureTimestamp = packet.Timestamp;
    std::span<const uint8_t> payload;
    switch (GetPayload(packet, payload)) {
      case PayloadKind::kBroken:
        Reset();
        break;
      case PayloadKind::kPaddingOnly:
        // Nothing to add, yet the picture is complete: holding it for a later marker would run
        // it into the next picture.
        if (packet.Marker != 0) EndPicture();
        break;
      case PayloadKind::kUsable:
        AddPayload(payload, packet.Marker != 0);
        break;
    }
  } catch (...) {
    Reset();
  }
  // The picture a gap struck ends here: lost unless the codec could still hand it over.
  if (GapPending && packet.Marker != 0) {
    if (!DeliveredSinceGap) Dropped.fetch_add(1, std::memory_order_relaxed);
    GapPending = false;
  }
}

void CRTPMediaParser::NoteGap(uint32_t timestamp) {
  // Packets of one picture share a timestamp: a held picture of another one was cut off.
  if (!FrameBuffer.empty() && timestamp != PictureTimestamp) Dropped.fetch_add(1, std::memory_order_relaxed);
  GapPending = true;
  DeliveredSinceGap = false;
}

bool CRTPMediaParser::IsContinuous(uint16_t sequenceNumber) {
  const bool continuous = FirstPacket || sequenceNumber == static_cast<uint16_t>(LastSequenceNumber + 1);
  FirstPacket = false;
  LastSequenceNumber = sequenceNumber;
  return continuous;
}

CRTPMediaParser::PayloadKind CRTPMediaParser::GetPayload(const RTP_PACKET_INFO& packet,
                                                         std::span<const uint8_t>& payload) {
  payload = packet.Payload != nullptr ? std::span<const uint8_t>(packet.Payload, packet.PayloadLength)
                                      : std::span<const uint8_t>();
  if (packet.Padding == 0) return PayloadKind::kUsable;
  // With the P bit the last byte counts the padding bytes, itself included; a count of 0 or
  // one reaching past the payload means the packet is damaged.
  if (payload.empty()) return PayloadKind::kBroken;
  const size_t padding = payload.back();
  if (padding == 0 || padding > payload.size()) return PayloadKind::kBroken;
  payload = payload.first(payload.size() - padding);
  return payload.empty() ? PayloadKind::kPaddingOnly : PayloadKind::kUsable;
}

bool CRTPMediaParser::Append(const uint8_t* data, size_t size) noexcept {
  try {
    FrameBuffer.insert(FrameBuffer.end(), data, data + size);
    return true;
  } catch (...) {
    return false;
  }
}

bool CRTPMediaParser::CheckBufferSize() {
  if (FrameBuffer.size() <= kMaxFrameBuffer) return true;
  Dropped.fetch_add(1, std::memory_order_relaxed);
  if (Driver != nullptr) {
    const DEVICE_INFO device = Driver->GetDeviceInfo();
    Driver->DebugMessage(ipcapture::kDebugLevelError, "%s Frame buffer overflow detected, %s:%u",
                         "korvalt::CRTPMediaParser::CheckBufferSize", device.Address.c_str(),
                         static_cast<unsigned>(device.Port));
  }
  return false;
}

void CRTPMediaParser::EndPayload(bool appended, bool marker) {
  if (!appended || !CheckBufferSize()) {
    Reset();
    return;
  }
  if (marker) EndPicture();
}

size_t CRTPMediaParser::WritePicture(uint8_t* out) {
  std::memcpy(out, FrameBuffer.data(), FrameBuffer.size());
  return FrameBuffer.size();
}

bool CRTPMediaParser::CanDeliver() const {
  return DeliveryAllocator() != nullptr;
}

void CRTPMediaParser::DeliverSample(uint32_t fourCC, size_t capacity) {
  ipcapture::ISampleAllocator* allocator = DeliveryAllocator();
  if (allocator == nullptr) return;
  ipcapture::IFrameSample* sample =
      allocator->CreateSample(fourCC, static_cast<uint32_t>(capacity), ParserName.c_str());
  if (sample == nullptr) return;
  // Released however this ends.
  auto release = [allocator](ipcapture::IFrameSample* created) { allocator->ReleaseSample(created); };
  const std::unique_ptr<ipcapture::IFrameSample, decltype(release)> lease(sample, release);
  uint8_t* data = sample->GetData();
  const size_t size = data != nullptr ? WritePicture(data) : 0;
  if (size == 0) {
    Reset();
    return;
  }
  // Every field is set before the commit: the host may take the sample as it stands then.
  sample->SetWidth(Width);
  sample->SetHeight(Height);
  sample->SetResolutionClass(ResolutionClass(Width, Height));
  sample->SetDataSize(static_cast<uint32_t>(size));
  sample->SetFourCC(fourCC);
  sample->Commit();
  if (!Client->DeliverFrame(sample)) {
    Dropped.fetch_add(1, std::memory_order_relaxed);
    Reset();
    return;
  }
  DeliveredSinceGap = true;
}

ipcapture::ISampleAllocator* CRTPMediaParser::DeliveryAllocator() const {
  if (Driver == nullptr || Client == nullptr || FrameBuffer.empty()) return nullptr;
  return Driver->GetSampleAllocator();
}

}  // namespace korvalt
