#include "media/parsers/rtp_media_parser.h"

#include <new>

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
  if (Driver != nullptr) {
    const DEVICE_INFO device = Driver->GetDeviceInfo();
    Driver->DebugMessage(1, "%s Frame buffer overflow detected, %s:%u",
                         "korvalt::CRTPMediaParser::CheckBufferSize", device.Address.c_str(),
                         static_cast<unsigned>(device.Port));
  }
  return false;
}

ipcapture::ISampleAllocator* CRTPMediaParser::DeliveryAllocator() const {
  if (Driver == nullptr || Client == nullptr || FrameBuffer.empty()) return nullptr;
  return Driver->GetSampleAllocator();
}

}  // namespace korvalt
