#include "input-monitor/x11/modifier_mapping.h"

#include <gtest/gtest.h>

namespace vesk::x11 {
namespace {

// The usual US layout: Shift, Lock, Control, Mod1 alt, Mod2 num lock, Mod4 super,
// Mod5 level-3 shift (an unmapped key).
ModifierMapping usualMapping() {
  ModifierMapping m;
  m.addKeycode(0, 50);   // Shift_L
  m.addKeycode(0, 62);   // Shift_R
  m.addKeycode(1, 66);   // Caps_Lock
  m.addKeycode(2, 37);   // Control_L
  m.addKeycode(2, 105);  // Control_R
  m.addKeycode(3, 64);   // Alt_L
  m.addKeycode(3, 108);  // Alt_R
  m.addKeycode(3, 205);  // Meta_L, no position
  m.addKeycode(4, 77);   // Num_Lock
  m.addKeycode(6, 133);  // Super_L
  m.addKeycode(6, 134);  // Super_R
  m.addKeycode(7, 92);   // ISO_Level3_Shift
  return m;
}

TEST(ModifierMappingTest, StatesBecomeFlags) {
  auto m = usualMapping();
  EXPECT_EQ(m.flagsFor(0), 0u);
  EXPECT_EQ(m.flagsFor(1u << 2), 0x40000u);
  EXPECT_EQ(m.flagsFor((1u << 0) | (1u << 3) | (1u << 6)), 0x20000u | 0x80000u | 0x100000u);
  EXPECT_EQ(m.flagsFor((1u << 1) | (1u << 4) | (1u << 7)), 0u);  // lock, num lock, level 3
}

TEST(ModifierMappingTest, RequiredModifiersBecomeXBits) {
  auto m = usualMapping();
  EXPECT_EQ(m.xModsFor(0), 0u);
  EXPECT_EQ(m.xModsFor(kControlBit), 1u << 2);
  EXPECT_EQ(m.xModsFor(kControlBit | kOptionBit | kCommandBit | kShiftBit), (1u << 2) | (1u << 3) | (1u << 6) | 1u);
  EXPECT_FALSE(m.xModsFor(kFnBit));
  EXPECT_FALSE(m.xModsFor(kControlBit | kFnBit));
  EXPECT_FALSE(ModifierMapping{}.xModsFor(kControlBit));
}

TEST(ModifierMappingTest, GrabStatesCoverEveryOtherModifier) {
  auto states = statesWithAtLeast(1u << 2);
  EXPECT_EQ(states.size(), 128u);
  for (unsigned s : states) EXPECT_TRUE(s & (1u << 2));
  EXPECT_EQ(statesWithAtLeast(0).size(), 256u);
  EXPECT_EQ(statesWithAtLeast(0xFF), std::vector<unsigned>{0xFF});
}

}  // namespace
}  // namespace vesk::x11
