#include "http/camera_login.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "driver/debug_message.h"
#include "http/sha256.h"

namespace korvalt {
namespace {
constexpr int64_t kFullScale = 1000;

std::string DigestOf(const std::string& text) {
  CSha256 hash;
  hash.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  const auto digest = hash.Finish();
  return std::string(digest.begin(), digest.end());
}
}  // namespace

int64_t CCameraLogin::ScaleFrom(const char* text) {
  if (text == nullptr) return kFullScale;
  const char* end = text + std::strlen(text);
  int64_t value = 0;
  const auto [at, error] = std::from_chars(text, end, value);
  if (error != std::errc() || at != end || value < 1 || value > kFullScale) return kFullScale;
  return value;
}

CCameraLogin::CCameraLogin() : CCameraLogin(ScaleFrom(std::getenv(kScaleVariable))) {}

CCameraLogin::CCameraLogin(int64_t scalePerMille)
    : ScalePerMille(std::clamp<int64_t>(scalePerMille, 1, kFullScale)) {}

int64_t CCameraLogin::Scaled(int64_t ms) const {
  return std::max<int64_t>(1, ms * ScalePerMille / kFullScale);
}

int64_t CCameraLogin::CapEndsMs() const {
  const int64_t oldest = Recent[Oldest];
  return oldest == 0 ? 0 : oldest + Scaled(kWindowMs);
}

int64_t CCameraLogin::WaitMs(int64_t nowMs) const {
  std::lock_guard<std::mutex> guard(Lock);
  const int64_t until = std::max({NextTryMs, CapEndsMs(), TurnHeldUntilMs});
  return until == 0 ? 0 : std::max<int64_t>(0, until - nowMs);
}

bool CCameraLogin::ClaimTurn(int64_t nowMs) {
  std::lock_guard<std::mutex> guard(Lock);
  if (nowMs < std::max({NextTryMs, CapEndsMs(), TurnHeldUntilMs})) return false;
  if (Series > 0) TurnHeldUntilMs = nowMs + Scaled(kTurnMs);
  return true;
}

void CCameraLogin::Release() {
  std::lock_guard<std::mutex> guard(Lock);
  TurnHeldUntilMs = 0;
}

int64_t CCameraLogin::Refused(int64_t nowMs, bool& firstOfSeries) {
  std::lock_guard<std::mutex> guard(Lock);
  firstOfSeries = Series == 0;
  const size_t step = std::min<size_t>(Series, std::size(kStepsMs) - 1);
  Series += Series < UINT32_MAX ? 1 : 0;
  // 0 marks an empty slot; a clock that starts at 0 still counts its first refusal.
  Recent[Oldest] = std::max<int64_t>(nowMs, 1);
  Oldest = (Oldest + 1) % kMaxPerWindow;
  TurnHeldUntilMs = 0;
  NextTryMs = std::max(nowMs + Scaled(kStepsMs[step]), CapEndsMs());
  return NextTryMs - nowMs;
}

void CCameraLogin::Answered(bool sent, bool refused, int64_t nowMs) {
  if (!sent) {
    Release();
  } else if (refused) {
    bool firstOfSeries = false;
    Refused(nowMs, firstOfSeries);
  } else {
    Accepted();
  }
}

int64_t CCameraLogin::Noted(int64_t nowMs, bool& firstOfSeries) const {
  std::lock_guard<std::mutex> guard(Lock);
  firstOfSeries = Series <= 1;
  const int64_t until = std::max({NextTryMs, CapEndsMs(), TurnHeldUntilMs});
  return std::max<int64_t>(0, until - nowMs);
}

void CCameraLogin::Accepted() {
  std::lock_guard<std::mutex> guard(Lock);
  Series = 0;
  NextTryMs = 0;
  TurnHeldUntilMs = 0;
}

void CCameraLogin::TryAtOnce() {
  std::lock_guard<std::mutex> guard(Lock);
  NextTryMs = 0;
}

void CCameraLogin::UseCredentials(const std::string& address, const std::string& user,
                                  const std::string& password) {
  // Only a digest of the password is kept, so no copy of it lingers here.
  const std::string key = address + '\n' + user + '\n' + DigestOf(password);
  std::lock_guard<std::mutex> guard(Lock);
  if (key == CredentialsKey) return;
  CredentialsKey = key;
  Series = 0;
  NextTryMs = 0;
  TurnHeldUntilMs = 0;
  Recent.fill(0);
  Oldest = 0;
}

void CCameraLogin::KeepIdleHandles(std::shared_ptr<void> handles) {
  if (!handles) return;
  std::lock_guard<std::mutex> guard(Lock);
  if (Idle.size() < kMaxIdleHandles) Idle.push_back(std::move(handles));
}

std::shared_ptr<void> CCameraLogin::TakeIdleHandles() {
  std::lock_guard<std::mutex> guard(Lock);
  if (Idle.empty()) return nullptr;
  std::shared_ptr<void> handles = std::move(Idle.back());
  Idle.pop_back();
  return handles;
}

void CCameraLogin::PassIdleHandles(CCameraLogin& to) {
  if (&to == this) return;
  std::vector<std::shared_ptr<void>> passed;
  {
    std::lock_guard<std::mutex> guard(Lock);
    passed.swap(Idle);
  }
  // Taken from here first, so the two locks are never held together.
  for (auto& handles : passed) to.KeepIdleHandles(std::move(handles));
}

size_t CCameraLogin::IdleHandles() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Idle.size();
}

void CCameraLogin::SetLog(IDebugMessage* log) {
  std::lock_guard<std::recursive_mutex> guard(LogLock);
  Log = log;
}

void CCameraLogin::Say(int level, const std::string& line) {
  std::lock_guard<std::recursive_mutex> guard(LogLock);
  if (Log != nullptr) Log->DebugMessage(level, "%s", line.c_str());
}

}  // namespace korvalt
