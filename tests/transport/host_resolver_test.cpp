#include "transport/host_resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

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

}  // namespace
}  // namespace korvalt
