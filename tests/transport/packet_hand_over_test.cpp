// The hand-over between the RTSP connection's reader and a slow host: the reader never waits, and
// while the queue is full whole pictures are dropped, never a part that the host would get.
#include "transport/packet_hand_over.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event.h"
#include "support/eventually.h"

namespace korvalt {
namespace {

using testsupport::Eventually;

TEST(PacketHandOver, AFullQueueDropsPicturesWholeAndTheNextOneComesWhole) {
  struct Case {
    const char* Name;
    // Pushed while the host holds the first packet: a letter per picture, "." ends one (marker).
    std::string WhileHeld;
    std::string AfterRelease;
    std::string Delivered;  // what the host gets, the held packet first
    uint64_t DroppedPackets;
    uint64_t DroppedWhole;
  };
  const Case cases[] = {
      // B fills the queue; C and D find it full from their first packet.
      {"whole pictures", "BBB.C C.D.", "E.", "A.BBB.E.", 3, 2},
      // B's tail finds the queue full: the rest of B goes, its head reaches the parser (which drops
      // it at the gap and counts it), and C comes whole.
      {"picture struck half-way", "BBBBB.", "C.", "A.BBBC.", 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    platform::Event entered(platform::Event::ResetMode::kManual);
    platform::Event release(platform::Event::ResetMode::kManual);
    std::mutex lock;
    std::string delivered;  // guarded by lock
    CPacketHandOver::Limits limits;
    limits.Packets = 3;
    CPacketHandOver handOver(
        [&](std::span<const uint8_t> packet) {
          entered.Set();
          release.Wait(platform::Event::kInfinite);
          std::lock_guard<std::mutex> guard(lock);
          delivered += static_cast<char>(packet[0]);
          if (packet[1] != 0) delivered += '.';
        },
        limits);
    ASSERT_TRUE(handOver.Start());
    // One packet: its id, then whether it carries the marker.
    const auto push = [&](const std::string& script) {
      for (size_t i = 0; i < script.size(); ++i) {
        if (script[i] == '.' || script[i] == ' ') continue;
        const bool marker = i + 1 < script.size() && script[i + 1] == '.';
        const uint8_t packet[] = {static_cast<uint8_t>(script[i]), static_cast<uint8_t>(marker ? 1 : 0)};
        handOver.Push(packet, marker);
      }
    };
    push("A.");
    ASSERT_TRUE(entered.Wait(5000));
    push(c.WhileHeld);
    release.Set();
    // The pictures pushed after the release come whole.
    const std::string beforeRelease = c.Delivered.substr(0, c.Delivered.size() - c.AfterRelease.size());
    ASSERT_TRUE(Eventually(
        [&] {
          std::lock_guard<std::mutex> guard(lock);
          return delivered == beforeRelease;
        },
        5000));
    push(c.AfterRelease);
    EXPECT_TRUE(Eventually(
        [&] {
          std::lock_guard<std::mutex> guard(lock);
          return delivered == c.Delivered;
        },
        5000));
    handOver.Stop();
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(delivered, c.Delivered);
    EXPECT_EQ(handOver.Dropped(), c.DroppedPackets);
    EXPECT_EQ(handOver.DroppedPictures(), c.DroppedWhole);
  }
}

}  // namespace
}  // namespace korvalt
