// Arithmetic of the macOS clock: host ticks (mach_absolute_time) to seconds, and a
// deadline in those seconds to the nanosecond delay that dispatch_time takes. Plain
// functions of numbers, so the rounding and the limits can be tested anywhere.
#pragma once

#include <cstdint>

namespace vesk {

/// Seconds of `ticks` host ticks, where one tick lasts numer/denom nanoseconds
/// (mach_timebase_info). A zero denominator counts as 1 tick per nanosecond.
double hostTicksToSeconds(std::uint64_t ticks, std::uint32_t numer, std::uint32_t denom);

/// Nanoseconds from `now` until `deadline` (both in seconds): 0 for a deadline that
/// has passed or is not a number, capped at INT64_MAX for one beyond any horizon.
std::int64_t nanosecondsUntil(double deadline, double now);

}  // namespace vesk
