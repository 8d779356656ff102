#include "transport/rtp_reorder_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

namespace korvalt {
namespace {

// Keeps what comes out, and checks that a held packet's payload survived the reuse of the
// receive buffer it arrived in.
class Collector : public CRtpReorderBuffer::ISink {
 public:
  void OnOrderedPacket(const RTP_PACKET_INFO& packet) override {
    Out.push_back(packet.SequenceNumber);
    const bool intact =
        packet.PayloadLength > 0 && packet.Payload != nullptr &&
        packet.Payload[0] == static_cast<uint8_t>(packet.SequenceNumber) &&
        packet.Payload[packet.PayloadLength - 1] == static_cast<uint8_t>(packet.SequenceNumber >> 8);
    if (!intact) ++Damaged;
  }
  std::vector<uint16_t> Out;
  int Damaged = 0;
};

struct Arrival {
  uint16_t Sequence;
  int64_t Ms;
  size_t Size = 100;
  bool TickOnly = false;  // no packet: the receiver's time-out tick at Ms
};

Arrival Tick(int64_t ms) {
  return {0, ms, 0, true};
}

std::vector<Arrival> Burst(uint16_t first, uint16_t last, int64_t ms) {
  std::vector<Arrival> run;
  for (uint16_t n = first; n != static_cast<uint16_t>(last + 1); ++n) run.push_back({n, ms});
  return run;
}

std::vector<uint16_t> Numbers(std::initializer_list<std::vector<uint16_t>> parts) {
  std::vector<uint16_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<uint16_t> Range(uint16_t first, uint16_t last) {
  std::vector<uint16_t> all;
  for (uint16_t n = first; n != static_cast<uint16_t>(last + 1); ++n) all.push_back(n);
  return all;
}

template <typename... Parts>
std::vector<Arrival> Join(Parts... parts) {
  std::vector<Arrival> all;
  (all.insert(all.end(), parts.begin(), parts.end()), ...);
  return all;
}

TEST(RtpReorderBuffer, ReleasesInSequenceAndCountsWhatItDrops) {
  struct Case {
    const char* Name;
    std::vector<Arrival> In;
    std::vector<uint16_t> Out;
    uint64_t Lost, Late, Duplicates;
  };
  constexpr size_t kBig = CRtpReorderBuffer::kMaxHeldPayload + 1;
  const Case cases[] = {
      {"in order", {{1, 0}, {2, 0}, {3, 0}}, {1, 2, 3}, 0, 0, 0},
      {"neighbours swapped", {{1, 0}, {3, 0}, {2, 1}, {4, 1}}, {1, 2, 3, 4}, 0, 0, 0},
      {"three places late", {{1, 0}, {3, 0}, {4, 0}, {5, 0}, {2, 9}}, {1, 2, 3, 4, 5}, 0, 0, 0},
      {"a duplicate", {{1, 0}, {2, 0}, {2, 0}, {3, 0}}, {1, 2, 3}, 0, 0, 1},
      {"a duplicate of a held packet", {{1, 0}, {3, 0}, {3, 0}, {2, 0}}, {1, 2, 3}, 0, 0, 1},
      {"across the wrap", {{65534, 0}, {0, 0}, {65535, 0}, {1, 0}}, {65534, 65535, 0, 1}, 0, 0, 0},
      {"a gap is lost once the window is full", Join(std::vector<Arrival>{{1, 0}}, Burst(3, 18, 1)),
       Numbers({{1}, Range(3, 18)}), 1, 0, 0},
      {"a gap is lost once the time bound passes",
       {{1, 0}, {3, 10}, {4, 20}, {6, 30}, {7, 61}},
       {1, 3, 4},
       1,
       0,
       0},
      {"the time tick releases what no packet follows",
       {{1, 0}, {3, 0}, {4, 0}, Tick(49), Tick(50)},
       {1, 3, 4},
       1,
       0,
       0},
      {"a packet after its gap was declared lost is late",
       {{1, 0}, {3, 0}, Tick(60), {2, 70}, {2, 71}},
       {1, 3},
       1,
       1,
       1},
      {"one from before the first is dropped uncounted", {{5, 0}, {4, 0}, {6, 0}}, {5, 6}, 0, 0, 0},
      {"a jump far ahead is a new sequence",
       {{1, 0}, {2, 0}, {9000, 0}, {9001, 0}},
       {1, 2, 9000, 9001},
       0,
       0,
       0},
      {"a jump far back is a new sequence",
       {{5000, 0}, {5001, 0}, {10, 0}, {11, 0}},
       {5000, 5001, 10, 11},
       0,
       0,
       0},
      {"a packet too big to hold ends the wait", {{1, 0}, {3, 0, kBig}, {2, 0}}, {1, 3}, 1, 1, 0},
  };
  for (const Case& c : cases) {
    Collector sink;
    CRtpReorderBuffer buffer(sink);
    std::vector<uint8_t> receiveBuffer;
    for (const Arrival& a : c.In) {
      if (a.TickOnly) {
        buffer.Tick(a.Ms);
        continue;
      }
      receiveBuffer.assign(a.Size, 0xEE);
      receiveBuffer.front() = static_cast<uint8_t>(a.Sequence);
      receiveBuffer.back() = static_cast<uint8_t>(a.Sequence >> 8);
      RTP_PACKET_INFO info;
      info.SequenceNumber = a.Sequence;
      info.Payload = receiveBuffer.data();
      info.PayloadLength = static_cast<uint32_t>(receiveBuffer.size());
      buffer.Push(info, a.Ms);
      std::fill(receiveBuffer.begin(), receiveBuffer.end(), 0xEE);  // the next datagram's bytes
    }
    EXPECT_EQ(sink.Out, c.Out) << c.Name;
    EXPECT_EQ(sink.Damaged, 0) << c.Name;
    EXPECT_EQ(buffer.Lost(), c.Lost) << c.Name;
    EXPECT_EQ(buffer.Late(), c.Late) << c.Name;
    EXPECT_EQ(buffer.Duplicates(), c.Duplicates) << c.Name;
  }
}

TEST(RtpReorderBuffer, HoldsAtMostTheWindowWhateverArrives) {
  // A hostile sender: numbers all over the place, never the one awaited.
  Collector sink;
  CRtpReorderBuffer buffer(sink);
  uint8_t payload[8] = {};
  uint32_t state = 12345;
  size_t most = 0;
  for (int i = 0; i < 100000; ++i) {
    state = state * 1103515245u + 12345u;
    RTP_PACKET_INFO info;
    info.SequenceNumber = static_cast<uint16_t>(state >> 16);
    payload[0] = static_cast<uint8_t>(info.SequenceNumber);
    payload[7] = static_cast<uint8_t>(info.SequenceNumber >> 8);
    info.Payload = payload;
    info.PayloadLength = sizeof payload;
    buffer.Push(info, i / 100);
    most = std::max(most, buffer.Held());
  }
  EXPECT_LT(most, size_t{CRtpReorderBuffer::kWindow});
  EXPECT_EQ(sink.Damaged, 0);
  // After a restart the next packet starts afresh, whatever it is.
  buffer.Restart();
  const size_t before = sink.Out.size();
  RTP_PACKET_INFO info;
  info.SequenceNumber = 7;
  payload[0] = 7;
  payload[7] = 0;
  info.Payload = payload;
  info.PayloadLength = sizeof payload;
  buffer.Push(info, 2000);
  ASSERT_EQ(sink.Out.size(), before + 1);
  EXPECT_EQ(sink.Out.back(), 7);
}

}  // namespace
}  // namespace korvalt
