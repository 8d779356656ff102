#include "transport/rtp_loss_counter.h"

#include <gtest/gtest.h>

#include <vector>

namespace korvalt {
namespace {

TEST(RtpLossCounter, CountsMissingPacketsOnceWhateverTheOrder) {
  struct Case {
    const char* Name;
    std::vector<uint16_t> Numbers;
    uint64_t Lost;
  };
  const Case cases[] = {
      {"in order", {1, 2, 3, 4}, 0},
      {"one gap of two", {1, 2, 5, 6}, 2},
      {"across the wrap", {65534, 65535, 1, 2}, 1},
      {"a reordered packet counts once", {1, 2, 4, 3, 5, 6}, 1},
      {"a duplicate counts nothing", {1, 2, 2, 3}, 0},
      {"a jump far back is a new stream", {5000, 5001, 10, 11}, 0},
      {"a jump far ahead is a new stream", {100, 101, 30000, 30001, 30003}, 1},
  };
  for (const Case& c : cases) {
    CRtpLossCounter counter;
    for (const uint16_t n : c.Numbers) counter.Add(n);
    EXPECT_EQ(counter.Lost(), c.Lost) << c.Name;
    EXPECT_EQ(counter.Received(), c.Numbers.size()) << c.Name;
  }
  CRtpLossCounter counter;
  counter.Add(100);
  counter.Restart();
  counter.Add(30000);
  EXPECT_EQ(counter.Lost(), 0u) << "a new session starts afresh";
}

}  // namespace
}  // namespace korvalt
