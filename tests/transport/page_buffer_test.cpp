// Receive buffers come from the system in whole pages and go back to it whole.

#include "platform/page_buffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

using korvalt::platform::PageBuffer;

// Resident anonymous memory of this process in KiB; -1 where the system does not tell.
long ResidentAnonymousKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("RssAnon:", 0) == 0) return std::atol(line.c_str() + 8);
  return -1;
}

TEST(PageBuffer, TouchedPagesLeaveTheProcessWithTheBuffer) {
  if (ResidentAnonymousKiB() < 0) GTEST_SKIP() << "the system does not report resident memory";
  constexpr size_t kBytes = 32 << 20;
  // Buffers made and dropped one after another, as sessions reconnecting for weeks do: from the
  // allocator's arenas, whatever each touched would stay resident.
  const long before = ResidentAnonymousKiB();
  for (int session = 0; session < 4; ++session) {
    PageBuffer buffer(kBytes);
    ASSERT_TRUE(buffer);
    std::memset(buffer.get(), 0x5A, buffer.size());
    EXPECT_GT(ResidentAnonymousKiB(), before + static_cast<long>(kBytes / 1024 / 2));
  }
  EXPECT_LT(ResidentAnonymousKiB(), before + static_cast<long>(kBytes / 1024 / 4));
}

TEST(PageBuffer, EmptyAndResetBuffersHoldNothing) {
  PageBuffer none;
  EXPECT_FALSE(none);
  PageBuffer zero(0);
  EXPECT_FALSE(zero);
  PageBuffer some(4096);
  ASSERT_TRUE(some);
  some.get()[4095] = 1;
  some.reset();
  EXPECT_FALSE(some);
  EXPECT_EQ(some.size(), 0U);
}

}  // namespace
