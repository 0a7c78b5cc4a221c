#include "input-monitor/x11/key_tracker.h"

#include <gtest/gtest.h>

namespace vesk::x11 {
namespace {

constexpr EventFlags kCtrlFlag = 0x40000, kOptFlag = 0x80000;

TEST(KeyTrackerTest, TurnsRawKeysIntoTapEvents) {
  struct Step {
    bool press;
    KeyCode key;
    std::optional<TapEvent> event;
  };
  const std::vector<Step> steps = {
      {true, 59, TapEvent{kFlagsChanged, {59, kCtrlFlag}}},            // control down
      {true, 59, std::nullopt},                                        // modifiers do not repeat
      {true, 49, TapEvent{kKeyDown, {49, kCtrlFlag}}},                 // space with control
      {true, 49, TapEvent{kKeyDown, {49, kCtrlFlag}}},                 // autorepeat
      {true, 58, TapEvent{kFlagsChanged, {58, kCtrlFlag | kOptFlag}}},
      {true, 61, TapEvent{kFlagsChanged, {61, kCtrlFlag | kOptFlag}}},  // right option: same bit
      {false, 58, TapEvent{kFlagsChanged, {58, kCtrlFlag | kOptFlag}}}, // right option still holds it
      {false, 61, TapEvent{kFlagsChanged, {61, kCtrlFlag}}},
      {false, 59, TapEvent{kFlagsChanged, {59, 0}}},
      {false, 59, std::nullopt},  // a doubled release
      {false, 49, TapEvent{kKeyUp, {49, 0}}},
      {false, 49, std::nullopt},
      {false, 0, std::nullopt},   // never pressed
      {true, 57, TapEvent{kFlagsChanged, {57, 0}}},  // caps lock changes no modifier
      {false, 57, TapEvent{kFlagsChanged, {57, 0}}},
      {true, 511, TapEvent{kKeyDown, {511, 0}}},
      {true, 512, std::nullopt},
      {true, -1, std::nullopt},
  };
  KeyTracker tracker;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const auto& s = steps[i];
    EXPECT_EQ(s.press ? tracker.press(s.key) : tracker.release(s.key), s.event) << "step " << i;
  }
  EXPECT_TRUE(tracker.isDown(511));
  EXPECT_FALSE(tracker.isDown(49));
}

}  // namespace
}  // namespace vesk::x11
