// The video capture object under host threads that poll, restart and stop the same channel at
// once, with channels that only record how they are used.

#include "driver/ip_video_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "media/channels/camera_channel.h"
#include "tools/hostkit/video.h"

namespace {

using korvalt::CIPVideoCapture;
using korvalt::ICameraChannel;
using korvalt::StreamSettings;

// What a channel went through; outlives the channel so that a use after its destruction shows.
struct ChannelRecord {
  std::atomic<bool> Destroyed{false};
  std::atomic<bool> UsedAfterDestruction{false};
  std::atomic<int> Stops{0};
  std::atomic<bool> Running{true};  // the last of Start, Restart and Stop was not Stop
};

// A channel whose GetState or Restart can be held inside the call until the test lets go.
class HeldChannel : public ICameraChannel {
 public:
  HeldChannel(std::shared_ptr<ChannelRecord> record, std::function<void()> hold)
      : Record(std::move(record)), Hold(std::move(hold)) {}
  ~HeldChannel() override { Record->Destroyed.store(true); }

  bool Start(const StreamSettings&) override { return true; }
  void Stop() override {
    ++Record->Stops;
    Record->Running = false;
  }
  bool Restart(const StreamSettings&) override {
    ChannelRecord* record = Record.get();
    HoldAndCheck();
    record->Running = true;  // a worker contacts the camera from here on
    return true;
  }
  int32_t GetState() override {
    HoldAndCheck();
    return korvalt::ipcapture::kChannelStateStreaming;
  }
  void SetState(int32_t) override {}

 private:
  void HoldAndCheck() {
    // Locals only after the hold: this object may be gone by then.
    ChannelRecord* record = Record.get();
    std::function<void()> hold = Hold;
    if (hold) hold();
    if (record->Destroyed.load()) record->UsedAfterDestruction.store(true);
  }

  std::shared_ptr<ChannelRecord> Record;
  std::function<void()> Hold;
};

// Creates held channels, each with a record of its own.
class HeldCreator : public korvalt::ICustomCreator {
 public:
  ICameraChannel* CreateChannel(int, korvalt::ipcapture::IFrameSink*) override {
    auto record = std::make_shared<ChannelRecord>();
    std::lock_guard<std::mutex> guard(Lock);
    Records.push_back(record);
    return new HeldChannel(std::move(record), Hold);
  }
  std::vector<std::shared_ptr<ChannelRecord>> AllRecords() {
    std::lock_guard<std::mutex> guard(Lock);
    return Records;
  }

  std::function<void()> Hold;  // set before the first channel is made

 private:
  std::mutex Lock;  // guards Records; host threads create channels at once
  std::vector<std::shared_ptr<ChannelRecord>> Records;
};

// Lets the test know a host call is inside the channel, and keeps it there until released.
struct Gate {
  std::promise<void> Entered;
  std::promise<void> Release;
  std::shared_future<void> Released = Release.get_future().share();
  std::atomic<bool> Armed{false};

  std::function<void()> Hold() {
    return [this] {
      if (!Armed.exchange(false)) return;
      Entered.set_value();
      Released.wait();
    };
  }
};

TEST(IPVideoCapture, AChannelStoppedWhileAnotherHostThreadPollsItLivesUntilThatCallReturns) {
  Gate gate;
  HeldCreator creator;
  creator.Hold = gate.Hold();
  hostkit::FrameSink frames;
  hostkit::ChannelSettings settings(40, 50, 640, 480);
  CIPVideoCapture capture(&creator, 1);
  ASSERT_TRUE(capture.StartChannel(0, &frames, &settings));

  gate.Armed.store(true);
  auto poller = std::async(std::launch::async, [&] {
    int32_t state = -1;
    int32_t reserved = -1;
    return capture.GetChannelState(0, &state, &reserved, nullptr, 0) &&
           state == korvalt::ipcapture::kChannelStateStreaming;
  });
  gate.Entered.get_future().wait();
  // The host stops the channel while the other call is inside it.
  EXPECT_TRUE(capture.StopChannel(0));
  const auto records = creator.AllRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]->Stops.load(), 1);
  gate.Release.set_value();
  EXPECT_TRUE(poller.get());

  EXPECT_FALSE(records[0]->UsedAfterDestruction.load());
  EXPECT_TRUE(records[0]->Destroyed.load()) << "destroyed once the last caller let go";
  EXPECT_FALSE(capture.StopChannel(0));
}

TEST(IPVideoCapture, RestartRacingStopNeverLeavesTheChannelRunningAfterTheStop) {
  // RestartChannel found the channel just before StopChannel took it out of the table.
  Gate gate;
  HeldCreator creator;
  creator.Hold = gate.Hold();
  hostkit::FrameSink frames;
  hostkit::ChannelSettings settings(40, 50, 640, 480);
  CIPVideoCapture capture(&creator, 1);
  ASSERT_TRUE(capture.StartChannel(0, &frames, &settings));

  gate.Armed.store(true);
  auto restarting = std::async(std::launch::async, [&] {
    hostkit::PictureSize size(320, 240);
    return capture.RestartChannel(0, &size, 40);
  });
  gate.Entered.get_future().wait();
  auto stopping = std::async(std::launch::async, [&] { return capture.StopChannel(0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  gate.Release.set_value();
  const bool restarted = restarting.get();
  EXPECT_TRUE(stopping.get());
  const auto records = creator.AllRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_FALSE(records[0]->Running.load()) << "the restart ran after StopChannel returned";
  EXPECT_TRUE(records[0]->Destroyed.load());
  EXPECT_FALSE(records[0]->UsedAfterDestruction.load());
  EXPECT_TRUE(restarted) << "the restart came first";

  hostkit::PictureSize size(320, 240);
  EXPECT_FALSE(capture.RestartChannel(0, &size, 40)) << "a stopped channel is not restarted";
}

TEST(IPVideoCapture, PollingWhileOtherHostThreadsStartAndStopEveryChannel) {
  HeldCreator creator;  // never holds
  hostkit::FrameSink frames;
  hostkit::ChannelSettings settings(40, 50, 640, 480);
  hostkit::PictureSize size(320, 240);
  constexpr uint32_t kChannels = 3;
  CIPVideoCapture capture(&creator, kChannels);
  std::atomic<bool> done{false};
  std::vector<std::thread> pollers;
  for (int t = 0; t < 2; ++t) {
    pollers.emplace_back([&] {
      while (!done.load()) {
        for (uint32_t i = 0; i < kChannels; ++i) {
          int32_t state = -1;
          int32_t reserved = 0;
          capture.GetChannelState(i, &state, &reserved, nullptr, 0);
          capture.RestartChannel(i, &size, 40);
        }
      }
    });
  }
  std::vector<std::thread> controllers;
  for (uint32_t t = 0; t < 2; ++t) {
    controllers.emplace_back([&, t] {
      for (int round = 0; round < 500; ++round) {
        const uint32_t index = (round + t) % kChannels;
        if (round % 2 == 0) {
          capture.StartChannel(index, &frames, &settings);
        } else {
          capture.StopChannel(index);
        }
      }
    });
  }
  for (auto& thread : controllers) thread.join();
  done.store(true);
  for (auto& thread : pollers) thread.join();
  for (const auto& record : creator.AllRecords()) EXPECT_FALSE(record->UsedAfterDestruction.load());
}

}  // namespace
