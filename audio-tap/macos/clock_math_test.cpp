// Tests of host-tick conversion and dispatch delays.
#include "audio-tap/macos/clock_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vesk {
namespace {

TEST(HostTicksToSeconds, ConvertsWithTheTimebase) {
  struct Case {
    std::uint64_t ticks;
    std::uint32_t numer;
    std::uint32_t denom;
    double seconds;
  };
  const Case cases[] = {
      {0, 1, 1, 0.0},
      {1'000'000'000, 1, 1, 1.0},          // one tick per nanosecond
      {24'000'000, 125, 3, 1.0},           // a 24 MHz tick
      {36'000'000, 125, 3, 1.5},
      {1, 125, 3, 125.0 / 3.0 / 1e9},
      {2'000'000'000, 0, 0, 2.0},          // an unreadable timebase counts as 1/1
  };
  for (const Case& test : cases) {
    EXPECT_DOUBLE_EQ(hostTicksToSeconds(test.ticks, test.numer, test.denom), test.seconds)
        << test.ticks << " ticks at " << test.numer << "/" << test.denom;
  }
}

// ticks × numer does not fit 64 bits here; the result must not wrap.
TEST(HostTicksToSeconds, DoesNotOverflowOnLongUptimes) {
  const std::uint64_t ticks = std::numeric_limits<std::uint64_t>::max() / 3;
  const long double exact = static_cast<long double>(ticks) * 125.0L / 3.0L / 1e9L;
  EXPECT_NEAR(hostTicksToSeconds(ticks, 125, 3), static_cast<double>(exact), static_cast<double>(exact) * 1e-12);
}

TEST(HostTicksToSeconds, KeepsMicrosecondsAfterAYearOfUptime) {
  const std::uint64_t year = 24'000'000ull * 3600 * 24 * 365;
  const double base = hostTicksToSeconds(year, 125, 3);
  EXPECT_NEAR(hostTicksToSeconds(year + 24, 125, 3) - base, 1e-6, 1e-8);  // 24 ticks = 1 µs
}

TEST(NanosecondsUntil, DelaysUntilTheDeadline) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  struct Case {
    double deadline;
    double now;
    std::int64_t nanoseconds;
  };
  const Case cases[] = {
      {101.0, 100.0, 1'000'000'000},  // the watcher's one-second debounce
      {100.25, 100.0, 250'000'000},
      {100.0, 100.0, 0},              // due now
      {99.0, 100.0, 0},               // passed: at once, never a huge unsigned delay
      {100.0 + 1e-10, 100.0, 1},      // rounded up: never early
      {1e12, 0.0, max},               // beyond 292 years
      {inf, 0.0, max},
      {-inf, 0.0, 0},
      {nan, 0.0, 0},
      {1.0, nan, 0},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(nanosecondsUntil(test.deadline, test.now), test.nanoseconds)
        << "deadline " << test.deadline << " now " << test.now;
  }
}

}  // namespace
}  // namespace vesk
