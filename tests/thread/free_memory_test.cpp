#include "platform/free_memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using korvalt::platform::FreeMemory;

// The first call gives back, then once per interval; a clock that starts at zero or below counts
// as any other, and a call that was refused does not move the interval.
TEST(FreeMemory, DueOncePerInterval) {
  struct Step {
    int64_t NowMs;
    bool Due;
  };
  const std::vector<std::vector<Step>> runs = {
      {{0, true}, {1, false}, {999, false}, {1000, true}, {1999, false}, {2000, true}},
      {{-5000, true}, {-4001, false}, {-4000, true}},
      {{INT64_MIN + 1, true}, {INT64_MIN + 1000, false}, {INT64_MIN + 1001, true}},
      {{100, true}, {600, false}, {1100, true}, {5000, true}},
  };
  for (size_t r = 0; r < runs.size(); ++r) {
    FreeMemory gate(1000);
    for (const Step& step : runs[r])
      EXPECT_EQ(gate.Due(step.NowMs), step.Due) << "run " << r << " at " << step.NowMs;
  }
}

// Workers ending at the same moment: exactly one of them gives back.
TEST(FreeMemory, OneOfManyRacingCallersIsDue) {
  for (int round = 0; round < 50; ++round) {
    FreeMemory gate(60'000);
    std::atomic<int> due{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
      callers.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        if (gate.Due(round * 10)) due.fetch_add(1);
      });
    go = true;
    for (auto& caller : callers) caller.join();
    ASSERT_EQ(due.load(), 1) << "round " << round;
  }
  FreeMemory::GiveBack();  // harmless at any time, from any thread
}

}  // namespace
