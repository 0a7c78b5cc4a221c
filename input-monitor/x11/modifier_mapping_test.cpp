#include "input-monitor/x11/modifier_mapping.h"

#include <gtest/gtest.h>

namespace vesk::x11 {
namespace {

constexpr EventFlags kShift = 0x20000, kControl = 0x40000, kOption = 0x80000, kCommand = 0x100000;
constexpr unsigned long kShiftL = 0xffe1, kCapsLock = 0xffe5, kControlL = 0xffe3, kControlR = 0xffe4,
                        kAltL = 0xffe9, kMetaL = 0xffe7, kNumLock = 0xff7f, kSuperL = 0xffeb, kHyperL = 0xffed,
                        kLevel3 = 0xfe03;

// The US layout of an evdev server: Shift, Lock, Control, Mod1 alt, Mod2 num lock,
// Mod4 super, Mod5 level-3 shift.
ModifierMapping usualMapping() {
  ModifierMapping m;
  m.addKey(0, 50, kShiftL);
  m.addKey(1, 66, kCapsLock);
  m.addKey(2, 37, kControlL);
  m.addKey(2, 105, kControlR);
  m.addKey(3, 64, kAltL);
  m.addKey(3, 205, kMetaL);
  m.addKey(4, 77, kNumLock);
  m.addKey(6, 133, kSuperL);
  m.addKey(6, 207, kHyperL);
  m.addKey(7, 92, kLevel3);
  return m;
}

TEST(ModifierMappingTest, StatesBecomeFlagsByWhatTheBitsMean) {
  struct Case {
    const char* what;
    ModifierMapping mapping;
    unsigned state;
    EventFlags flags;
  };
  ModifierMapping capsAsControl;  // Caps Lock acting as Control, nothing else on Control
  capsAsControl.addKey(2, 66, kControlL);
  ModifierMapping swapped;  // Alt and Super swapped: Mod1 holds Super, Mod4 Alt
  swapped.addKey(3, 133, kSuperL);
  swapped.addKey(6, 64, kAltL);
  const Case cases[] = {
      {"nothing", usualMapping(), 0, 0},
      {"control", usualMapping(), 1u << 2, kControl},
      {"shift alt super", usualMapping(), (1u << 0) | (1u << 3) | (1u << 6), kShift | kOption | kCommand},
      {"lock, num lock", usualMapping(), (1u << 1) | (1u << 4), 0},
      {"level 3 shift", usualMapping(), 1u << 7, kOption},
      {"caps lock as control", capsAsControl, 1u << 2, kControl},
      {"swapped mod1", swapped, 1u << 3, kCommand},
      {"swapped mod4", swapped, 1u << 6, kOption},
      {"no keys: the fixed bits", ModifierMapping{}, 0xFF, kShift | kControl},
  };
  for (const auto& c : cases) EXPECT_EQ(c.mapping.flagsFor(c.state), c.flags) << c.what;
}

TEST(ModifierMappingTest, ModifierAndFlagKeys) {
  auto m = usualMapping();
  EXPECT_TRUE(m.isFlagKey(37));
  EXPECT_TRUE(m.isFlagKey(133));
  EXPECT_FALSE(m.isFlagKey(66));  // Lock sets no flag
  EXPECT_FALSE(m.isFlagKey(77));
  EXPECT_TRUE(m.isModifierKey(66));
  EXPECT_TRUE(m.isModifierKey(77));
  EXPECT_FALSE(m.isModifierKey(65));
  EXPECT_FALSE(m.isModifierKey(300));
}

TEST(ModifierMappingTest, GrabStatesCoverEveryStateThatGivesTheModifiers) {
  auto m = usualMapping();
  auto control = m.statesGiving(kControlBit);
  EXPECT_EQ(control.size(), 128u);
  for (unsigned s : control) EXPECT_TRUE(s & (1u << 2));
  EXPECT_EQ(m.statesGiving(0).size(), 256u);
  // Option comes from Mod1 or the level-3 shift: every state with either.
  EXPECT_EQ(m.statesGiving(kOptionBit).size(), 192u);
  EXPECT_TRUE(m.statesGiving(kFnBit).empty());
  EXPECT_TRUE(m.statesGiving(kControlBit | kFnBit).empty());
  EXPECT_TRUE(ModifierMapping{}.statesGiving(kCommandBit).empty());
}

}  // namespace
}  // namespace vesk::x11
