#include "input-monitor/keys.h"

#include <gtest/gtest.h>

#include <set>

namespace vesk {
namespace {

TEST(KeysTest, TablesHoldDistinctEntries) {
  std::set<KeyCode> codes;
  for (const auto& [code, name] : KEY_NAMES) {
    EXPECT_TRUE(codes.insert(code).second) << code;
    EXPECT_FALSE(name.empty());
  }
  EXPECT_EQ(codes.size(), 57u);
  EXPECT_FALSE(keyName(10));  // a gap in the letter block
  EXPECT_EQ(keyName(22), "6");
  EXPECT_EQ(keyName(23), "5");
  EXPECT_FALSE(modifierKeyMask(63));  // fn
  EXPECT_FALSE(modifierKeyMask(57));  // caps lock
  EXPECT_EQ(modifierKeyMask(61), 0x80000u);
}

TEST(KeysTest, ActiveMods) {
  struct Case {
    EventFlags flags;
    ModifierMask active;
  };
  for (const Case& c : std::vector<Case>{
           {0, 0},
           {0x40000 | 0x100000, kControlBit | kCommandBit},
           {0x10000, 0},                  // caps lock alone
           {0x800000 | 0x1FF, kFnBit},    // fn with device-dependent low bits
           {0x200000 | 0x400000, 0},      // numeric pad, help
           {0x9E0000, kControlBit | kOptionBit | kShiftBit | kCommandBit | kFnBit},
           {0xFFFFFFFFFFFFFFFF, kControlBit | kOptionBit | kShiftBit | kCommandBit | kFnBit},
       }) {
    EXPECT_EQ(activeMods(c.flags), c.active) << std::hex << c.flags;
  }
}

TEST(KeysTest, Labels) {
  struct Case {
    std::optional<KeyCode> mainKey;
    std::vector<std::string> modifiers;
    std::string label;
  };
  for (const Case& c : std::vector<Case>{
           {49, {"shift", "control"}, "\u2303 + \u21E7 + Space"},
           {0, {}, "A"},
           {123, {"fn"}, "\U0001F310 + \u2190"},
           {std::nullopt, {"fn"}, "\U0001F310"},
           {std::nullopt, {"command", "option"}, "\u2325 + \u2318"},
           {std::nullopt, {}, "?"},
           {std::nullopt, {"hyper"}, "?"},
           {105, {"command"}, "\u2318 + key105"},
           {54, {}, "key54"},
           {-7, {}, "key-7"},
           {122, {"option", "hyper"}, "\u2325 + F1"},
           {126, {}, "\u2191"},
       }) {
    EXPECT_EQ(labelFor(c.mainKey, Modifiers::fromNames(c.modifiers).known), c.label);
  }
  EXPECT_EQ(std::string("\U0001F310").size(), 4u);  // the fn glyph is four bytes of UTF-8
}

TEST(KeysTest, ModifierSetsCollapseAndKeepUnknownNames) {
  Modifiers set = Modifiers::fromNames({"control", "shift", "control", "hyper", "hyper", "Control"});
  EXPECT_EQ(set.known, kControlBit | kShiftBit);
  EXPECT_EQ(set.unknown, (std::vector<std::string>{"Control", "hyper"}));
  EXPECT_EQ(set.names(), (std::vector<std::string>{"control", "shift", "Control", "hyper"}));
  EXPECT_TRUE(Modifiers::fromNames({}).empty());
  EXPECT_FALSE(Modifiers::fromNames({""}).empty());
}

}  // namespace
}  // namespace vesk
