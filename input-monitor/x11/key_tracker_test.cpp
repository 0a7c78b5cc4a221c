#include "input-monitor/x11/key_tracker.h"

#include <gtest/gtest.h>

#include <vector>

namespace vesk::x11 {
namespace {

TEST(KeyTrackerTest, TurnsRawKeysIntoTapEventTypes) {
  struct Step {
    bool press;
    unsigned xKeycode;
    bool flagKey;
    std::optional<std::uint32_t> type;
  };
  const std::vector<Step> steps = {
      {true, 37, true, kFlagsChanged},   // control down
      {true, 37, true, std::nullopt},    // modifiers do not repeat
      {true, 65, false, kKeyDown},       // space
      {true, 65, false, kKeyDown},       // autorepeat
      {false, 37, true, kFlagsChanged},
      {false, 37, true, std::nullopt},   // a doubled release
      {false, 65, false, kKeyUp},
      {false, 65, false, std::nullopt},
      {false, 50, true, std::nullopt},   // never pressed
      {false, 64, true, kFlagsChanged},  // held before watching began
      {true, 256, false, std::nullopt},  // no such keycode
  };
  KeyTracker tracker;
  tracker.markDown(64);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const auto& s = steps[i];
    EXPECT_EQ(s.press ? tracker.press(s.xKeycode, s.flagKey) : tracker.release(s.xKeycode, s.flagKey), s.type)
        << "step " << i;
  }
}

TEST(KeyTrackerTest, ModifierPositionsCapsLockAndServerModifiersReportChanges) {
  EXPECT_TRUE(isFlagKey(59, false));   // control
  EXPECT_TRUE(isFlagKey(61, false));   // right option
  EXPECT_TRUE(isFlagKey(57, false));   // caps lock
  EXPECT_FALSE(isFlagKey(49, false));  // space
  EXPECT_TRUE(isFlagKey(110, true));   // a menu key the server made a modifier
}

}  // namespace
}  // namespace vesk::x11
