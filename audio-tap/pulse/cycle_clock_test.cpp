#include "audio-tap/pulse/cycle_clock.h"

#include <gtest/gtest.h>

namespace vesk::pulse {
namespace {

TEST(CycleClockTest, DecidesEachCycleAndWhenToLookAgain) {
  struct Case {
    const char* name;
    std::uint64_t delivered, due;
    bool playing, ready;
    CycleAction action;
    std::uint64_t look;  // with cycles of 10, a tolerance of 20, idle looks every 40
  };
  for (const Case& c : {
           Case{"nothing plays, a cycle of real time gone", 100, 110, false, false, CycleAction::silence, 140},
           Case{"nothing plays, less than a cycle gone", 100, 109, false, false, CycleAction::wait, 140},
           Case{"a stream joins after the silence owed", 100, 125, false, true, CycleAction::silence, 100},
           Case{"a stream joins less than a cycle behind", 100, 105, false, true, CycleAction::mix, 100},
           Case{"audio in, not ahead of real time", 100, 100, true, true, CycleAction::mix, 100},
           Case{"audio in, but a cycle ahead: waits", 110, 100, true, true, CycleAction::wait, 110},
           Case{"playing stream late within the tolerance", 100, 129, true, false, CycleAction::wait, 130},
           Case{"playing stream late beyond it: padded", 100, 130, true, false, CycleAction::mix, 130},
       }) {
    ClockView view{c.delivered, c.due, 10, 20, c.playing, c.ready};
    EXPECT_EQ(nextCycle(view), c.action) << c.name;
    EXPECT_EQ(nextLook(view, 40), c.look) << c.name;
  }
}

}  // namespace
}  // namespace vesk::pulse
