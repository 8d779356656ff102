#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/camera_key.h"

class IDebugMessage;

namespace korvalt {

// How one driver logs in to its camera, shared by every request the driver makes to it (RTSP,
// stream configuration, digital I/O, PTZ): the authentication scheme the camera asked for, learnt
// once for all senders, and the refused logins, so that no part of the driver offers credentials
// while another part waits for its turn. Cameras lock an account after a handful of refused logins within
// some minutes (3 to 7 within 5 to 30 minutes are common), and a locked account refuses the right password
// too, often for half an hour: a recorder that locks its camera out stops recording long after the password
// is mended.
//
// The schedule: after the first, second and third refusal of a series the next try waits 10 s,
// 1 min and 5 min, after every later one 10 min; and a try never comes while 4 refusals fall within
// the last 11 minutes (10 with a margin for the camera's clock). So at most 4 refused logins reach
// the camera in any 10 minutes, and a camera that locks after 5 within 10 minutes never locks.
// A host that restarts a channel or the digital I/O skips the wait of the series but not the
// 4-in-11-minutes cap; new credentials (another Open) begin afresh.
//
// Threads: any; the lock guards every member and is never held while calling out.
class CCameraLogin {
 public:
  static constexpr int64_t kStepsMs[] = {10000, 60000, 300000, 600000};
  static constexpr size_t kMaxPerWindow = 4;
  static constexpr int64_t kWindowMs = 11 * 60 * 1000;
  static constexpr int64_t kTurnMs = 60000;  // beyond any request's deadline
  // Names a time scale for test suites that reach the module only through its exports: the
  // schedule's times multiplied by N/1000 (N from 1 to 1000), so 100 makes the first wait 1 s.
  static constexpr const char* kScaleVariable = "QUENLARK_TEST_REFUSAL_BACKOFF_MS";

  // The scale kScaleVariable names, else 1.
  CCameraLogin();
  // scalePerMille: the schedule's times multiplied by it / 1000 (at least 1 ms each).
  explicit CCameraLogin(int64_t scalePerMille);

  // Milliseconds until credentials may go to the camera; 0 when they may now.
  int64_t WaitMs(int64_t nowMs) const;
  // Asked before credentials go out. While no refusal series runs, always true. Within a series,
  // true for one requester at a time once the wait is over: the turn is held until Refused,
  // Accepted or Release (or, for one that never says, a minute of the schedule), so that the
  // driver's parts that all wait for the same moment do not log in together.
  bool ClaimTurn(int64_t nowMs);
  // A claimed request ended without an answer to the credentials.
  void Release();
  // What became of credentials a requester offered: every refused login of the driver counts for
  // the camera, whichever part made it; any other answer ends the refusal series; no answer
  // (sent false) hands the turn on.
  void Answered(bool sent, bool refused, int64_t nowMs);
  // The camera refused credentials at nowMs: returns the wait before the next try. firstOfSeries
  // tells whether it began a series (the first refusal since an acceptance or a fresh start).
  int64_t Refused(int64_t nowMs, bool& firstOfSeries);
  // A refusal that the requester that offered the credentials has noted already, as seen by a part
  // that reports it: the wait before the next try, and whether it began the series.
  int64_t Noted(int64_t nowMs, bool& firstOfSeries) const;
  // The camera accepted credentials: the next refusal begins a new series (the cap still counts
  // the earlier ones: some cameras count refusals in a window, not in a row).
  void Accepted();
  // The host restarted something: the next try may come at once, unless the cap forbids it.
  void TryAtOnce();
  // The driver was opened with these credentials: other ones than before begin afresh.
  void UseCredentials(const std::string& address, const std::string& user, const std::string& password);

  // The scheme the camera's challenge asked for (the HTTP sender's scheme flags); 0 while unknown.
  uint32_t Scheme() const { return LearntScheme.load(); }
  void LearnScheme(uint32_t scheme) { LearntScheme.store(scheme); }

  // The camera's TLS key and whether the CGI goes over HTTPS.
  CCameraKey& Key() { return CameraKey; }
  const CCameraKey& Key() const { return CameraKey; }
  // The RTSP over TLS port's own key, for a camera whose video port presents another key than its
  // CGI: pinned by the host from the capability query, else unused.
  CCameraKey& VideoPortKey() { return VideoKey; }
  // The key RTSP over TLS is judged with: the video port's own pin when there is one, else the CGI's.
  CCameraKey& StreamKey() { return VideoKey.Pinned() ? VideoKey : CameraKey; }

  // HTTP client handles a sender of this driver left behind, for the next one to take over: a
  // channel that restarts then allocates no new client (whose buffers, made and freed in bursts
  // when a camera's channels all restart, leave the allocator's arenas fragmented). Type-erased:
  // each HTTP backend keeps its own. As many wait as senders of this camera once ran at the same
  // time, up to kMaxIdleHandles: fewer, and every burst of restarts would make and free the rest
  // again. A waiting handle holds no connection and is reset before it is used, so other
  // credentials keep them.
  static constexpr size_t kMaxIdleHandles = 16;
  void KeepIdleHandles(std::shared_ptr<void> handles);
  std::shared_ptr<void> TakeIdleHandles();
  size_t IdleHandles() const;
  // Hands the waiting handles to another login (the next one of a series of one-off logins).
  void PassIdleHandles(CCameraLogin& to);

  // Where lines about the login go (the driver's diagnostics); null: nowhere. The driver clears it
  // before it goes; a line being said then is waited for.
  void SetLog(IDebugMessage* log);
  void Say(int level, const std::string& line);
  // True the first time only: a line that is said once per driver.
  bool FirstTimeBasicInClear() { return !BasicInClearSaid.exchange(true); }

  // The scale that text names when it is a whole number of 1 to 1000, else 1000.
  static int64_t ScaleFrom(const char* text);

 private:
  int64_t Scaled(int64_t ms) const;
  int64_t CapEndsMs() const;  // when the oldest of the last kMaxPerWindow refusals leaves the window

  mutable std::mutex Lock;
  int64_t ScalePerMille;
  uint32_t Series = 0;          // refusals since the last acceptance or fresh start
  int64_t NextTryMs = 0;        // monotonic; 0 when nothing waits for the series
  int64_t TurnHeldUntilMs = 0;  // monotonic; a claimed turn not yet answered
  // The monotonic times of the last kMaxPerWindow refusals, oldest at Oldest; 0 = none.
  std::array<int64_t, kMaxPerWindow> Recent{};
  size_t Oldest = 0;
  std::string CredentialsKey;  // address, user and a digest of the password the refusals were for
  std::vector<std::shared_ptr<void>> Idle;  // newest last
  std::atomic<uint32_t> LearntScheme{0};
  std::atomic<bool> BasicInClearSaid{false};
  CCameraKey CameraKey;
  CCameraKey VideoKey;
  // Recursive: the host's sink may call back into the driver, which may log again.
  std::recursive_mutex LogLock;
  IDebugMessage* Log = nullptr;  // not owned
};

}  // namespace korvalt
