// The refusal schedule shared by every request of a driver to one camera, on a simulated clock:
// a camera that locks after 5 refused logins within 10 minutes must never lock, however the
// driver's parts and the host press on.

#include "http/camera_login.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace {

using korvalt::CCameraLogin;

constexpr int64_t kMinute = 60000;

// Most refusals within any 10 minutes when every part of the driver tries as soon as the state
// allows, over an hour; the host restarts something every restartEveryMs (0: never).
size_t MostRefusalsInTenMinutes(int64_t restartEveryMs) {
  CCameraLogin refusals(1000);
  std::deque<int64_t> recent;
  size_t most = 0;
  int64_t nextRestart = restartEveryMs;
  for (int64_t now = 1; now < 60 * kMinute; now += 100) {
    if (restartEveryMs > 0 && now >= nextRestart) {
      refusals.TryAtOnce();
      nextRestart += restartEveryMs;
    }
    if (refusals.WaitMs(now) > 0) continue;
    bool first = false;
    refusals.Refused(now, first);
    recent.push_back(now);
    while (now - recent.front() >= 10 * kMinute) recent.pop_front();
    most = std::max(most, recent.size());
  }
  return most;
}

TEST(CameraLogin, AtMostFourRefusedLoginsInAnyTenMinutes) {
  // Restarts skip the series' wait, never the cap.
  for (const int64_t restartEvery : {int64_t{0}, int64_t{1000}, 30 * int64_t{1000}, 3 * kMinute}) {
    SCOPED_TRACE(restartEvery);
    EXPECT_LE(MostRefusalsInTenMinutes(restartEvery), 4u);
  }
}

TEST(CameraLogin, WaitsGrowAndEndWithAnAcceptanceOrNewCredentials) {
  CCameraLogin refusals(1000);
  refusals.UseCredentials("10.0.0.5", "admin", "wrong");
  bool first = false;
  EXPECT_EQ(refusals.Refused(1000, first), 10000);
  EXPECT_TRUE(first);
  EXPECT_EQ(refusals.WaitMs(1000), 10000);
  EXPECT_EQ(refusals.WaitMs(11000), 0);
  EXPECT_EQ(refusals.Refused(11000, first), kMinute);
  EXPECT_FALSE(first);
  // A restart tries at once while the cap allows it.
  refusals.TryAtOnce();
  EXPECT_EQ(refusals.WaitMs(11001), 0);

  // The same credentials given again keep the count; others begin afresh.
  refusals.Refused(12000, first);
  refusals.UseCredentials("10.0.0.5", "admin", "wrong");
  EXPECT_GT(refusals.WaitMs(12001), 0);
  refusals.UseCredentials("10.0.0.5", "admin", "right");
  EXPECT_EQ(refusals.WaitMs(12001), 0);

  refusals.Refused(13000, first);
  EXPECT_TRUE(first);
  refusals.Accepted();
  EXPECT_EQ(refusals.WaitMs(13001), 0);
  refusals.Refused(14000, first);
  EXPECT_TRUE(first) << "an acceptance ends the series";
}

TEST(CameraLogin, TheTestScaleShortensTheWholeSchedule) {
  EXPECT_EQ(CCameraLogin::ScaleFrom("20"), 20);
  for (const char* bad : {"", "0", "1001", "abc", "20ms", "-5"})
    EXPECT_EQ(CCameraLogin::ScaleFrom(bad), 1000) << bad;
  CCameraLogin refusals(20);
  bool first = false;
  EXPECT_EQ(refusals.Refused(1, first), 200);
}

}  // namespace

namespace {

TEST(CameraLogin, WithinASeriesOnePartLogsInAtATime) {
  korvalt::CCameraLogin login(1000);
  // No series: every part offers its credentials.
  EXPECT_TRUE(login.ClaimTurn(1));
  EXPECT_TRUE(login.ClaimTurn(1));
  bool first = false;
  login.Refused(1000, first);
  const int64_t due = 1000 + 10000;
  EXPECT_FALSE(login.ClaimTurn(due - 1));
  // The channel, the input poll and PTZ all wake at the same moment: one goes.
  EXPECT_TRUE(login.ClaimTurn(due));
  EXPECT_FALSE(login.ClaimTurn(due));
  EXPECT_FALSE(login.ClaimTurn(due + 1000));
  // Its request got no answer: the turn passes on at once.
  login.Release();
  EXPECT_TRUE(login.ClaimTurn(due + 1000));
  // One that never says lets the others go after a minute of the schedule.
  EXPECT_FALSE(login.ClaimTurn(due + 1000 + 59999));
  EXPECT_TRUE(login.ClaimTurn(due + 1000 + 60000));
}

TEST(CameraLogin, IdleHandlesWaitBoundedAndPassOnWhole) {
  CCameraLogin login(1000);
  login.UseCredentials("cam", "admin", "secret");
  std::vector<std::shared_ptr<void>> made;
  for (size_t i = 0; i < CCameraLogin::kMaxIdleHandles + 2; ++i) {
    made.push_back(std::make_shared<size_t>(i));
    login.KeepIdleHandles(made.back());
  }
  ASSERT_EQ(login.IdleHandles(), CCameraLogin::kMaxIdleHandles);
  EXPECT_EQ(login.TakeIdleHandles(), made[CCameraLogin::kMaxIdleHandles - 1]);  // the newest waiting
  // They hold neither credentials nor a connection: other credentials keep them.
  login.UseCredentials("cam", "admin", "other");
  EXPECT_EQ(login.IdleHandles(), CCameraLogin::kMaxIdleHandles - 1);
  // The next of a series of one-off logins takes over every one; passing to itself changes nothing.
  CCameraLogin next(1000);
  login.PassIdleHandles(login);
  login.PassIdleHandles(next);
  EXPECT_EQ(login.IdleHandles(), 0u);
  EXPECT_EQ(next.IdleHandles(), CCameraLogin::kMaxIdleHandles - 1);
  EXPECT_EQ(next.TakeIdleHandles(), made[CCameraLogin::kMaxIdleHandles - 2]);
  // Those beyond the bound were let go at once.
  for (size_t i = CCameraLogin::kMaxIdleHandles; i < made.size(); ++i) EXPECT_EQ(made[i].use_count(), 1) << i;
}

}  // namespace
