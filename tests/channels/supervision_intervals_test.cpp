// The port probe that a test suite may shorten through the environment: only whole numbers that
// shorten it count, so a stray value never removes the probe or slows a stream's start.

#include "media/channels/supervision_intervals.h"

#include <gtest/gtest.h>

namespace {

using korvalt::SupervisionIntervals;

TEST(SupervisionIntervals, OnlyAShorterWholeNumberOfMillisecondsShortensThePortProbe) {
  struct Case {
    const char* Text;  // null: the variable is not set
    int ProbeMs;
  };
  const Case cases[] = {
      {nullptr, 2000}, {"", 2000},     {"100", 100},          {"1", 1},       {"2000", 2000}, {"0", 2000},
      {"-5", 2000},    {"2001", 2000}, {"99999999999", 2000}, {"50ms", 2000}, {" 50", 2000},  {"5e1", 2000},
      {"abc", 2000},
  };
  for (const Case& c : cases) {
    const SupervisionIntervals intervals = SupervisionIntervals::WithPortProbeFrom(c.Text);
    const char* shown = c.Text == nullptr ? "(unset)" : c.Text;
    EXPECT_EQ(intervals.PortProbeMs, c.ProbeMs) << shown;
    EXPECT_EQ(intervals.LoopWaitMs, 1000) << shown;
  }
}

}  // namespace
