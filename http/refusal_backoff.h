#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>

#include "http/camera_login.h"

namespace korvalt {

// How long a path waits before it offers the camera its credentials again after the camera refused
// them: 1, 2, 4, ... s up to a minute, each a little shortened at random so that the channels of a
// recorder do not all come back at once. Cameras lock an account after a handful of failed logins;
// a login per second would keep it locked, for other users too, even after the password is
// corrected. A success ends the series.
//
// Threads: any; the lock guards every member and is never held while calling out.
class CRefusalBackoff {
 public:
  static constexpr int64_t kFirstDelayMs = 1000;
  static constexpr int64_t kMaxDelayFactor = 60;  // the longest wait, in first delays
  // Names a shorter first delay (1 to kFirstDelayMs ms; the whole series shrinks with it) for test
  // suites that reach the module only through its exports.
  static constexpr const char* kFirstDelayVariable = "QUENLARK_TEST_REFUSAL_BACKOFF_MS";

  // The first delay kFirstDelayVariable names, else kFirstDelayMs.
  CRefusalBackoff();
  explicit CRefusalBackoff(int64_t firstDelayMs);

  // Notes a refusal at nowMs (monotonic) and returns the wait before the next try. firstOfSeries
  // tells whether it began a series (the first refusal since a success or Reset).
  int64_t Refused(int64_t nowMs, bool& firstOfSeries);
  // The credentials were accepted: the next refusal begins a new series.
  void Succeeded();
  // A fresh start (the owner was stopped and started again).
  void Reset();
  // Milliseconds until the next try is due; 0 when it is.
  int64_t RemainingMs(int64_t nowMs) const;
  // From now on the series is the camera's, shared with every other part of the driver that logs
  // in to it (null: this object's own again). Refused then only reads what the requester that sent
  // the credentials counted; Reset lets this part try at once, within the camera's cap.
  void Share(std::shared_ptr<CCameraLogin> camera);

  // The first delay kFirstDelayVariable names when it is a whole number of 1 to kFirstDelayMs.
  static int64_t FirstDelayFrom(const char* text);

 private:
  mutable std::mutex Lock;
  int64_t FirstDelayMs;
  uint32_t Refusals = 0;  // in the present series
  int64_t NextTryMs = 0;  // monotonic; 0 when nothing waits
  std::minstd_rand Random;
  std::shared_ptr<CCameraLogin> Camera;  // when set, every call goes to it
};

}  // namespace korvalt
