#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "input-monitor/monitor.h"
#include "input-monitor/testing/fake_keyboard.h"
#include "input-monitor/testing/key_script.h"
#include "input-monitor/testing/recording_output.h"

namespace vesk {
namespace {

using namespace vesk::testing;

std::string recorded(const char* mainKey, const char* modifiers, const char* label) {
  return std::string(R"({"type":"recorded","binding":{"mainKey":)") + mainKey + R"(,"modifiers":)" + modifiers +
         R"(,"label":")" + label + R"("}})";
}

struct RecordScenario {
  const char* name;
  std::vector<KeyStep> steps;
  const char* modeAfter;
};

TEST(RecorderTest, Scenarios) {
  const auto pass = Verdict::pass;
  const auto swallow = Verdict::swallow;
  const std::vector<RecordScenario> scenarios = {
      {"key with a modifier",
       {{kKeyDown, 49, kCtrl, swallow, {recorded("49", R"(["control"])", "\u2303 + Space")}},
        {kKeyUp, 49, kCtrl, pass, {}}},
       "listen"},
      {"escape is recorded like any key", {{kKeyDown, 53, kNone, swallow, {recorded("53", "[]", "Esc")}}}, "listen"},
      {"all modifiers in label order",
       {{kKeyDown, 105, kFn | kCmd | kShift | kOpt | kCtrl, swallow,
         {recorded("105", R"(["control","option","shift","command","fn"])",
                   "\u2303 + \u2325 + \u21E7 + \u2318 + \U0001F310 + key105")}}},
       "listen"},
      {"command alone",
       {{kFlagsChanged, 55, kCmd, pass, {}},
        {kFlagsChanged, 55, kNone, pass, {recorded("null", R"(["command"])", "\u2318")}}},
       "listen"},
      {"fn alone is swallowed both ways",
       {{kFlagsChanged, 63, kFn, swallow, {}},
        {kFlagsChanged, 63, kNone, swallow, {recorded("null", R"(["fn"])", "\U0001F310")}}},
       "listen"},
      {"two modifiers record nothing",
       {{kFlagsChanged, 55, kCmd, pass, {}},
        {kFlagsChanged, 56, kCmd | kShift, pass, {}},
        {kFlagsChanged, 56, kCmd, pass, {}},
        {kFlagsChanged, 55, kNone, pass, {}}},
       "record"},
      {"modifier then key records the key",
       {{kFlagsChanged, 55, kCmd, pass, {}},
        {kKeyDown, 0, kCmd, swallow, {recorded("0", R"(["command"])", "\u2318 + A")}},
        {kFlagsChanged, 55, kNone, pass, {}}},
       "listen"},
      {"key-up alone passes", {{kKeyUp, 12, kNone, pass, {}}}, "record"},
      {"caps lock is not a modifier",
       {{kFlagsChanged, 57, kNone, pass, {}},
        {kKeyDown, 0, kNone, swallow, {recorded("0", "[]", "A")}}},
       "listen"},
      {"a second modifier while fn is held is swallowed and clears the candidate",
       {{kFlagsChanged, 63, kFn, swallow, {}},
        {kFlagsChanged, 56, kFn | kShift, swallow, {}},
        {kFlagsChanged, 56, kFn, swallow, {}},
        {kFlagsChanged, 63, kNone, swallow, {}}},
       "record"},
      {"candidate released while another modifier stays",
       {{kFlagsChanged, 55, kCmd, pass, {}},
        {kFlagsChanged, 56, kCmd | kShift, pass, {}},
        {kFlagsChanged, 55, kShift, pass, {}},
        {kFlagsChanged, 56, kNone, pass, {}}},
       "record"},
      {"a fresh press after a failed attempt is a candidate again",
       {{kFlagsChanged, 55, kCmd, pass, {}},
        {kFlagsChanged, 56, kCmd | kShift, pass, {}},
        {kFlagsChanged, 56, kCmd, pass, {}},
        {kFlagsChanged, 55, kNone, pass, {}},
        {kFlagsChanged, 58, kOpt, pass, {}},
        {kFlagsChanged, 58, kNone, pass, {recorded("null", R"(["option"])", "\u2325")}}},
       "listen"},
  };
  for (const auto& s : scenarios) {
    FakeKeyboard keyboard;
    RecordingOutput output;
    Monitor monitor(keyboard, output);
    monitor.setBinding(49, {"control"});
    monitor.setMode("record");
    for (std::size_t i = 0; i < s.steps.size(); ++i) {
      const auto& step = s.steps[i];
      EXPECT_EQ(monitor.handle(step.type, KeyEvent{step.key, flagsOf(step.mods)}), step.verdict)
          << s.name << ", step " << i;
      EXPECT_EQ(output.take(), expandLines(step.lines)) << s.name << ", step " << i;
    }
    EXPECT_EQ(monitor.state().mode, s.modeAfter) << s.name;
    // Recording never touches the binding and never begins a hold.
    EXPECT_TRUE(monitor.state().hasBinding) << s.name;
    EXPECT_EQ(keyboard.timers.size(), 0u) << s.name;
  }
}

TEST(RecorderTest, SetModeBetweenPressAndReleaseRecordsNothing) {
  for (const char* mode : {"listen", "record"}) {
    FakeKeyboard keyboard;
    RecordingOutput output;
    Monitor monitor(keyboard, output);
    monitor.setMode("record");
    monitor.handle(kFlagsChanged, KeyEvent{55, flagsOf(kCmd)});
    monitor.setMode(mode);
    EXPECT_FALSE(monitor.state().recordPendingMod.has_value());
    monitor.handle(kFlagsChanged, KeyEvent{55, 0});
    EXPECT_TRUE(output.lines.empty()) << mode;
  }
}

TEST(RecorderTest, AfterRecordingTheBindingWorksAgain) {
  FakeKeyboard keyboard;
  RecordingOutput output;
  Monitor monitor(keyboard, output);
  monitor.setBinding(49, {"control"});
  monitor.setMode("record");
  monitor.handle(kKeyDown, KeyEvent{49, flagsOf(kCtrl)});
  ASSERT_EQ(output.take().size(), 1u);
  EXPECT_EQ(monitor.handle(kKeyUp, KeyEvent{49, flagsOf(kCtrl)}), Verdict::pass);
  EXPECT_TRUE(output.take().empty());
  EXPECT_EQ(monitor.handle(kKeyDown, KeyEvent{49, flagsOf(kCtrl)}), Verdict::swallow);
  EXPECT_EQ(output.take(), std::vector<std::string>{kDownLine});
}

TEST(RecorderTest, EnteringRecordModeDropsAHold) {
  FakeKeyboard keyboard;
  RecordingOutput output;
  Monitor monitor(keyboard, output);
  monitor.setBinding(std::nullopt, {"control"});
  monitor.handle(kFlagsChanged, KeyEvent{59, flagsOf(kCtrl)});
  output.take();
  monitor.setMode("record");
  EXPECT_FALSE(monitor.state().pttActive);
  // The release while recording is the candidate's, not the hold's: no "up".
  monitor.handle(kFlagsChanged, KeyEvent{59, 0});
  EXPECT_TRUE(output.lines.empty());
}

}  // namespace
}  // namespace vesk
