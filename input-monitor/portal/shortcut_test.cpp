#include "input-monitor/portal/shortcut.h"

#include <gtest/gtest.h>

#include <set>

namespace vesk::portal {
namespace {

SwallowPlan mainKeyPlan(KeyCode key, ModifierMask modifiers) {
  SwallowPlan plan;
  plan.mainKey = key;
  plan.requiredModifiers = modifiers;
  return plan;
}

TEST(ShortcutTest, TriggersNameModifiersInLabelOrderThenTheKeysym) {
  struct Case {
    KeyCode key;
    ModifierMask modifiers;
    const char* trigger;
  };
  for (const Case& c : std::vector<Case>{
           {49, kControlBit, "CTRL+space"},
           {96, 0, "F5"},
           {0, kCommandBit | kShiftBit | kOptionBit | kControlBit, "CTRL+ALT+SHIFT+LOGO+a"},
           {123, kShiftBit, "SHIFT+Left"},
           {51, 0, "BackSpace"},  // the key the labels call Delete
           {117, 0, "Delete"},
           {22, kOptionBit, "ALT+6"},  // key code 22 is the 6 key
           {53, 0, "Escape"},
           {76, 0, "KP_Enter"},
       }) {
    auto shortcut = shortcutFor(mainKeyPlan(c.key, c.modifiers));
    ASSERT_TRUE(shortcut) << c.trigger;
    EXPECT_EQ(shortcut->trigger, c.trigger);
    EXPECT_EQ(shortcut->mainKey, c.key);
    EXPECT_EQ(shortcut->modifiers, c.modifiers);
  }
}

TEST(ShortcutTest, BindingsATriggerCannotExpressGiveNone) {
  SwallowPlan record;
  record.everything = true;
  const std::vector<std::pair<const char*, SwallowPlan>> cases = {
      {"no binding, or modifiers only, or a lone modifier key", SwallowPlan{}},
      {"record mode", record},
      {"fn", mainKeyPlan(49, kFnBit | kControlBit)},
      {"key without a keysym (the ISO key)", mainKeyPlan(10, 0)},
      {"modifier key as main key", mainKeyPlan(59, 0)},
      {"code outside every table", mainKeyPlan(0x1234, 0)},
  };
  for (const auto& [name, plan] : cases) EXPECT_FALSE(shortcutFor(plan)) << name;
}

TEST(ShortcutTest, SessionTokensAreOnePerTriggerAndValidPathElements) {
  std::set<std::string> tokens;
  for (KeyCode key : {49, 96, 0, 76}) {
    for (ModifierMask mods : {ModifierMask{0}, kControlBit, ModifierMask{kControlBit | kShiftBit}}) {
      auto token = sessionTokenFor(*shortcutFor(mainKeyPlan(key, mods)));
      EXPECT_EQ(token.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"),
                std::string::npos)
          << token;
      tokens.insert(token);
    }
  }
  EXPECT_EQ(tokens.size(), 12u);
  EXPECT_EQ(sessionTokenFor(*shortcutFor(mainKeyPlan(49, kControlBit))), "vesk_ptt_CTRL_space");
}

}  // namespace
}  // namespace vesk::portal
