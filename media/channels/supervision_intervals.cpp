#include "media/channels/supervision_intervals.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace korvalt {

SupervisionIntervals SupervisionIntervals::ForModule() {
  static const SupervisionIntervals intervals = WithPortProbeFrom(std::getenv(kPortProbeVariable));
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
