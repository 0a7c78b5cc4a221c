// Host ticks and dispatch delays. Any thread.
#include "audio-tap/macos/clock_math.h"

#include <cmath>
#include <limits>

namespace vesk {

double hostTicksToSeconds(std::uint64_t ticks, std::uint32_t numer, std::uint32_t denom) {
  if (denom == 0) numer = denom = 1;
  // Split into whole and remaining ticks' worth so that long uptimes keep their
  // nanoseconds: a double holds 53 bits, an uptime in ticks up to 64.
  const std::uint64_t whole = ticks / denom;
  const std::uint64_t rest = ticks % denom;
  const double nanoseconds = static_cast<double>(whole) * numer + static_cast<double>(rest * numer) / denom;
  return nanoseconds / 1e9;
}

std::int64_t nanosecondsUntil(double deadline, double now) {
  const double nanoseconds = (deadline - now) * 1e9;
  if (!(nanoseconds > 0)) return 0;  // also NaN
  // 2^63 as a double; anything at or past it does not fit.
  if (nanoseconds >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(std::ceil(nanoseconds));
}

}  // namespace vesk
