#include "transport/host_resolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace korvalt {
namespace {

using Clock = std::chrono::steady_clock;

// A name service that answers only when the test lets it; shared with the look-up threads, which
// may outlive the resolver.
struct SlowNameService {
  platform::Event Answer{platform::Event::ResetMode::kManual};
  std::atomic<int> Lookups{0};
};

CHostResolver::Lookup Through(const std::shared_ptr<SlowNameService>& service) {
  return [service](const std::string&) -> uint32_t {
    ++service->Lookups;
    service->Answer.Wait(platform::Event::kInfinite);
    return htonl(0x0A000001);
  };
}

TEST(HostResolver, SlowLookupIsAbandonedOnStopAndReusedByTheNextCall) {
  auto service = std::make_shared<SlowNameService>();
  CHostResolver resolver(Through(service));
  platform::Event stop(platform::Event::ResetMode::kAuto);
  stop.Set();
  const auto start = Clock::now();
  EXPECT_EQ(resolver.Resolve("camera.example", &stop, 60000), 0u);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(stop.Wait(0)) << "the stop stays set for the owner";
  EXPECT_EQ(resolver.Resolve("camera.example", nullptr, 20), 0u) << "bounded by the time-out";
  service->Answer.Set();
  EXPECT_EQ(resolver.Resolve("camera.example", nullptr, 5000), htonl(0x0A000001));
  EXPECT_EQ(service->Lookups.load(), 1) << "one look-up served all three calls";
}

TEST(HostResolver, LookupsUnderWayAreBoundedAndJoinedOnceTheyEnd) {
  auto service = std::make_shared<SlowNameService>();
  platform::Event stop(platform::Event::ResetMode::kManual);
  stop.Set();
  const size_t before = CHostResolver::LookupsUnderWay();
  {
    // Owners that give up at once, as channels stopped one after the other.
    std::vector<std::unique_ptr<CHostResolver>> owners;
    for (size_t i = 0; i < CHostResolver::kMaxLookupsUnderWay + 8; ++i) {
      owners.push_back(std::make_unique<CHostResolver>(Through(service)));
      EXPECT_EQ(owners.back()->Resolve("camera-" + std::to_string(i) + ".example", &stop, 60000), 0u);
    }
  }
  EXPECT_EQ(CHostResolver::LookupsUnderWay(), CHostResolver::kMaxLookupsUnderWay);
  const auto started = Clock::now() + std::chrono::seconds(5);
  const auto expected = static_cast<int>(CHostResolver::kMaxLookupsUnderWay - before);
  while (service->Lookups.load() < expected && Clock::now() < started)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(service->Lookups.load(), expected) << "no look-up beyond the bound";
  service->Answer.Set();
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (CHostResolver::LookupsUnderWay() > before && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(CHostResolver::LookupsUnderWay(), before) << "every ended look-up is joined";
}

}  // namespace
}  // namespace korvalt
