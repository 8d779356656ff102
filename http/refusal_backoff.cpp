#include "http/refusal_backoff.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace korvalt {
namespace {
constexpr int64_t kSpreadDivisor = 10;  // a wait is shortened by up to a tenth
constexpr uint32_t kMaxDoublings = 16;  // far beyond the cap; keeps the shift defined
}  // namespace

int64_t CRefusalBackoff::FirstDelayFrom(const char* text) {
  if (text == nullptr) return kFirstDelayMs;
  const char* end = text + std::strlen(text);
  int64_t ms = 0;
  const auto [at, error] = std::from_chars(text, end, ms);
  if (error != std::errc() || at != end || ms < 1 || ms > kFirstDelayMs) return kFirstDelayMs;
  return ms;
}

CRefusalBackoff::CRefusalBackoff() : CRefusalBackoff(FirstDelayFrom(std::getenv(kFirstDelayVariable))) {}

CRefusalBackoff::CRefusalBackoff(int64_t firstDelayMs)
    : FirstDelayMs(std::max<int64_t>(1, firstDelayMs)), Random(std::random_device{}()) {}

void CRefusalBackoff::Share(std::shared_ptr<CCameraLogin> camera) {
  std::lock_guard<std::mutex> guard(Lock);
  Camera = std::move(camera);
}

int64_t CRefusalBackoff::Refused(int64_t nowMs, bool& firstOfSeries) {
  std::lock_guard<std::mutex> guard(Lock);
  // The requester that offered the credentials (the HTTP sender, the RTSP client) counted the
  // refusal for the camera already.
  if (Camera) return Camera->Noted(nowMs, firstOfSeries);
  firstOfSeries = Refusals == 0;
  const uint32_t doublings = std::min(Refusals, kMaxDoublings);
  Refusals += Refusals < UINT32_MAX ? 1 : 0;
  const int64_t full = std::min(FirstDelayMs << doublings, FirstDelayMs * kMaxDelayFactor);
  const int64_t spread = full / kSpreadDivisor;
  const int64_t delay =
      full - (spread > 0 ? static_cast<int64_t>(Random() % static_cast<uint64_t>(spread + 1)) : 0);
  NextTryMs = nowMs + delay;
  return delay;
}

void CRefusalBackoff::Succeeded() {
  std::lock_guard<std::mutex> guard(Lock);
  if (Camera) {
    Camera->Accepted();
    return;
  }
  Refusals = 0;
  NextTryMs = 0;
}

void CRefusalBackoff::Reset() {
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (Camera) {
      Camera->TryAtOnce();
      return;
    }
  }
  Succeeded();
}

int64_t CRefusalBackoff::RemainingMs(int64_t nowMs) const {
  std::lock_guard<std::mutex> guard(Lock);
  if (Camera) return Camera->WaitMs(nowMs);
  return NextTryMs == 0 ? 0 : std::max<int64_t>(0, NextTryMs - nowMs);
}

}  // namespace korvalt
