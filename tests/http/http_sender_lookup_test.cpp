// A camera reached by a name that the name service is slow to answer. This program's own
// getaddrinfo stands in for the name service: the module and libcurl reach it first.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "http/http_sender.h"

namespace {

constexpr const char* kSlowName = "slow-http-camera.invalid";
std::atomic<bool> gAnswer{false};
std::atomic<int> gAsked{0};

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  if (node != nullptr && std::strcmp(node, kSlowName) == 0) {
    ++gAsked;
    while (!gAnswer.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return EAI_NONAME;
  }
  using Fn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  return real != nullptr ? real(node, service, hints, result) : EAI_FAIL;
}

namespace {

using Clock = std::chrono::steady_clock;

TEST(HttpSenderLookup, AbortEndsASendWhileTheNameServiceDoesNotAnswer) {
  korvalt::DEVICE_INFO device;
  device.Address = kSlowName;
  device.Port = 80;
  device.NetworkTimeout = 20000;
  struct AnswerAtLast {
    ~AnswerAtLast() { gAnswer = true; }  // also when an assertion leaves early
  } answer;
  {
    Web::CHttpSender sender(device);
    auto sending = std::async(std::launch::async,
                              [&sender] { return sender.Send(Web::CHttpRequest("GET", "/config/io.cgi")); });
    const auto asked = Clock::now() + std::chrono::seconds(5);
    while (gAsked.load() == 0 && Clock::now() < asked)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(gAsked.load(), 0);
    const auto start = Clock::now();
    sender.Abort();
    const bool ended = sending.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    gAnswer = !ended;  // lets a libcurl that waits for its own look-up go, so the test can end
    ASSERT_TRUE(ended) << "the stop waits for the name service";
    EXPECT_FALSE(sending.get());
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(gAsked.load(), 1) << "one look-up, and libcurl asks no other";
    // The next request of the same sender waits for the same look-up instead of starting one.
    sender.ClearAbort();
    korvalt::DEVICE_INFO quick = device;
    quick.NetworkTimeout = 50;
    Web::CHttpSender other(quick);
    EXPECT_FALSE(other.Send(Web::CHttpRequest("GET", "/config/io.cgi")));
    EXPECT_EQ(gAsked.load(), 1);
  }
  gAnswer = true;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (korvalt::CHostResolver::LookupsUnderWay() > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace
