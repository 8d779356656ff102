#include "media/parsers/mpeg4_rtp_media_parser.h"

#include <cstring>

#include "driver/idriver.h"

namespace korvalt {
namespace {

constexpr size_t kStartCodeSize = 4;
constexpr size_t kMinConfigPayload = 5;
constexpr uint8_t kVisualObjectSequence = 0xB0;
constexpr uint8_t kFirstVideoObject = 0x00;
constexpr uint8_t kVop = 0xB6;
// vop_coding_type is the top two bits after the VOP start code; 0 is an I-VOP.
constexpr uint8_t kFirstNonIntraVop = 0x40;

constexpr uint32_t kFourCCKey = MakeFourCC("DIVX");
constexpr uint32_t kFourCCOther = MakeFourCC("DIVI");

bool IsStartCode(std::span<const uint8_t> data, size_t at, uint8_t code) {
  return at + kStartCodeSize <= data.size() && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1 &&
         data[at + 3] == code;
}

}  // namespace

CMpeg4RTPMediaParser::CMpeg4RTPMediaParser(std::string parserName, IDriver* driver)
    : CRTPMediaParser(std::move(parserName), driver) {}

void CMpeg4RTPMediaParser::Reset() {
  WaitingForKeyFrame = true;
  KeyFrame = false;
  Width = 0;
  Height = 0;
  FrameBuffer.clear();
}

void CMpeg4RTPMediaParser::ProcessPacket(const RTP_PACKET_INFO& packet) {
  if (!IsContinuous(packet.SequenceNumber)) Reset();
  std::span<const uint8_t> payload;
  const PayloadKind kind = GetPayload(packet, payload);
  if (kind == PayloadKind::kBroken) {
    Reset();
    return;
  }
  const size_t n = payload.size();
  size_t c = 0;
  if (n >= kMinConfigPayload &&
      (IsStartCode(payload, 0, kVisualObjectSequence) || IsStartCode(payload, 0, kFirstVideoObject))) {
    for (size_t i = kStartCodeSize; i + kStartCodeSize <= n; ++i) {
      if (IsStartCode(payload, i, kVop)) {
        try {
          Configuration.assign(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(i));
        } catch (...) {
          Reset();
          return;
        }
        c = i;
        break;
      }
    }
  }
  if (c + kStartCodeSize < n && IsStartCode(payload, c, kVop)) {
    FrameBuffer.clear();
    if (payload[c + kStartCodeSize] >= kFirstNonIntraVop) {
      KeyFrame = false;
    } else {
      if (!Append(Configuration)) {
        Reset();
        return;
      }
      KeyFrame = true;
      WaitingForKeyFrame = false;
    }
  }
  if (WaitingForKeyFrame) return;
  if (!Append(payload.subspan(c)) || !CheckBufferSize()) {
    Reset();
    return;
  }
  if (packet.Marker != 0) {
    DeliverPicture();
    FrameBuffer.clear();
  }
}

void CMpeg4RTPMediaParser::DeliverPicture() {
  ipcapture::ISampleAllocator* allocator = DeliveryAllocator();
  if (allocator == nullptr) return;
  uint32_t fourCC = kFourCCOther;
  if (KeyFrame) {
    uint32_t width = 0;
    uint32_t height = 0;
    bool parsed = false;
    try {
      parsed = HeaderParser.GetPictureSize(FrameBuffer, width, height);
    } catch (...) {
    }
    if (!parsed) {
      Reset();
      return;
    }
    Width = width;
    Height = height;
    fourCC = kFourCCKey;
  }
  const size_t size = FrameBuffer.size();
  ipcapture::IFrameSample* sample = allocator->CreateSample(fourCC, SampleCapacity(size), ParserName.c_str());
  if (sample == nullptr) return;
  SampleLease lease(allocator, sample);
  sample->SetWidth(Width);
  sample->SetHeight(Height);
  sample->SetResolutionClass(ResolutionClass(Width, Height));
  sample->SetDataSize(static_cast<uint32_t>(size));
  sample->SetFourCC(fourCC);
  sample->Commit();
  // This parser fills the data after the commit; the sample is still the module's until it
  // is delivered.
  uint8_t* data = sample->GetData();
  if (data == nullptr) {
    Reset();
    return;
  }
  std::memcpy(data, FrameBuffer.data(), size);
  if (!Client->DeliverFrame(sample)) Reset();
}

}  // namespace korvalt
