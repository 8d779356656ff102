#include "media/channels/supervision_intervals.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace korvalt {

namespace {

// A whole number of 1 to limit milliseconds, else fallback: a variable can shorten a wait, never
// lengthen or remove it.
int ShorterMs(const char* text, int limit, int fallback) {
  if (text == nullptr) return fallback;
  const char* end = text + std::strlen(text);
  int ms = 0;
  const auto [at, error] = std::from_chars(text, end, ms);
  return error == std::errc() && at == end && ms >= 1 && ms <= limit ? ms : fallback;
}

}  // namespace

SupervisionIntervals SupervisionIntervals::ForModule() {
  static const SupervisionIntervals intervals = [] {
    SupervisionIntervals made = WithPortProbeFrom(std::getenv(kPortProbeVariable));
    made.LossReportMs = ShorterMs(std::getenv(kLossReportVariable), kLossReportMs, kLossReportMs);
    return made;
  }();
  return intervals;
}

SupervisionIntervals SupervisionIntervals::WithPortProbeFrom(const char* text) {
  SupervisionIntervals intervals;
  if (text == nullptr) return intervals;
  const char* end = text + std::strlen(text);
  int ms = 0;
  const auto [at, error] = std::from_chars(text, end, ms);
  if (error == std::errc() && at == end && ms >= 1 && ms <= kPortProbeMs) intervals.PortProbeMs = ms;
  return intervals;
}

}  // namespace korvalt
