// The capability query's thread handling, through a query state of the test's own (the module's
// process-wide one is exercised through the exports).

#include "driver/capability_query.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>

#include "capability/fake_camera.h"
#include "support/process_threads.h"
#include "tools/hostkit/capability.h"

namespace {

using captest::FakeCamera;
constexpr auto kAnswer = std::chrono::seconds(30);

// A callback that stays inside QueryFailed until the test lets it go.
class BlockingCallback : public korvalt::ipcapture::ICapabilityQueryCallback {
 public:
  void Reserved1() override {}
  void QueryCompleted() override { Enter(); }
  void QueryFailed(int32_t, const char*) override { Enter(); }

  std::promise<void> Entered;
  std::promise<void> Release;
  std::promise<void> Left;
  std::atomic<int> Calls{0};

 private:
  void Enter() {
    ++Calls;
    Entered.set_value();
    Release.get_future().wait();
    Left.set_value();
  }
};

TEST(CapabilityQuery, UninitGivesUpOnAThreadStuckInTheHostAndKeepsItsStateAlive) {
  FakeCamera camera;  // answers 404 to everything: the query fails at once
  BlockingCallback callback;
  hostkit::CapabilityResults results;
  const size_t before = testsupport::ProcessThreads();
  {
    korvalt::CCapabilityQuery query;
    query.SetJoinTimeoutMs(50);
    ASSERT_TRUE(query.Init(&callback, true));
    ASSERT_TRUE(query.Start("127.0.0.1", camera.HttpPort(), "", "", &results));
    callback.Entered.get_future().wait();
    query.Uninit();  // overruns its bound: the thread is detached, not killed
    EXPECT_TRUE(query.Init(&callback, true)) << "the module is usable again";
  }
  // The thread still owns its properties object and returns from the host into live memory.
  callback.Release.set_value();
  EXPECT_EQ(callback.Left.get_future().wait_for(kAnswer), std::future_status::ready);
  EXPECT_EQ(callback.Calls.load(), 1);
  // The given-up thread then frees its state and ends by itself; the process must not end while
  // it still frees (a leak check at exit would find its blocks half let go).
  EXPECT_EQ(testsupport::ProcessThreadsAfterJoins(before), before);
}

TEST(CapabilityQuery, DestroyingTheStateStopsAQueryWithoutCallingTheHost) {
  FakeCamera camera;
  camera.Set("/common/info.cgi", {200, "model=QL-3110\r\n", true});
  std::promise<void> asked;
  camera.OnRequest([&](const std::string&) { asked.set_value(); });
  hostkit::CapabilityCallback callback;
  hostkit::CapabilityResults results;
  auto query = std::make_unique<korvalt::CCapabilityQuery>();
  query->SetJoinTimeoutMs(60000);
  ASSERT_TRUE(query->Init(&callback, false));
  ASSERT_TRUE(query->Start("127.0.0.1", camera.HttpPort(), "", "", &results));
  asked.get_future().wait();
  // As at unload: the stalled request is aborted and the thread joined, well before the
  // query's own 20 s network time-out.
  auto destroyed = std::async(std::launch::async, [&] { query.reset(); });
  EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  destroyed.wait();
  EXPECT_FALSE(callback.Outcome().Finished());
}

TEST(CapabilityQuery, PortsAbove65535AreRefused) {
  hostkit::CapabilityCallback callback;
  hostkit::CapabilityResults results;
  korvalt::CCapabilityQuery query;
  ASSERT_TRUE(query.Init(&callback, false));
  EXPECT_FALSE(query.Start("127.0.0.1", 65536 + 80, "", "", &results));
  EXPECT_FALSE(query.Start("127.0.0.1", UINT32_MAX, "", "", &results));
}

TEST(CapabilityQuery, NullTextsFromTheHostAreEmpty) {
  FakeCamera camera;
  camera.Set("/common/info.cgi", {200, "model=QL-3110\r\n", false});
  hostkit::CapabilityCallback callback;
  korvalt::CCapabilityQuery query;
  ASSERT_TRUE(query.Init(&callback, false));
  // A null address cannot reach the camera: the query fails instead of crashing.
  ASSERT_TRUE(query.Start(nullptr, camera.HttpPort(), nullptr, nullptr, nullptr));
  ASSERT_TRUE(callback.Wait(kAnswer));
  EXPECT_EQ(callback.Outcome().Message, "Failed to get camera properties");
  EXPECT_TRUE(camera.Requests().empty());
}

}  // namespace
