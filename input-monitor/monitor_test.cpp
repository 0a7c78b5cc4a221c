#include "input-monitor/monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "input-monitor/testing/fake_keyboard.h"
#include "input-monitor/testing/key_script.h"
#include "input-monitor/testing/recording_output.h"

namespace vesk {
namespace {

using namespace vesk::testing;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class MonitorTest : public ::testing::Test {
 protected:
  MonitorTest() {
    monitor.start();
    output.take();
  }

  // Plays the steps in order, checking each verdict and what each wrote.
  void play(const std::vector<KeyStep>& steps, const std::string& scenario) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const auto& s = steps[i];
      Verdict verdict = monitor.handle(s.type, KeyEvent{s.key, flagsOf(s.mods)});
      EXPECT_EQ(verdict, s.verdict) << scenario << ", step " << i;
      EXPECT_EQ(output.take(), expandLines(s.lines)) << scenario << ", step " << i;
    }
  }

  void hold(KeyCode key, ModifierMask mods) {
    ASSERT_EQ(monitor.handle(kKeyDown, KeyEvent{key, flagsOf(mods)}), Verdict::swallow);
    ASSERT_THAT(output.take(), ElementsAre(kDownLine));
  }

  FakeKeyboard keyboard;
  RecordingOutput output;
  Monitor monitor{keyboard, output};
};

TEST_F(MonitorTest, StartReportsPermissionThenReady) {
  struct Case {
    bool trusted, tap;
    std::vector<std::string> lines;
  };
  for (const Case& c : std::vector<Case>{
           {true, true, {R"({"type":"permission","trusted":true})", R"({"type":"ready","tapCreated":true})"}},
           {false, false, {R"({"type":"permission","trusted":false})", R"({"type":"ready","tapCreated":false})"}},
           {false, true, {R"({"type":"permission","trusted":false})", R"({"type":"ready","tapCreated":true})"}},
       }) {
    FakeKeyboard kb;
    kb.trusted = c.trusted;
    kb.tapAvailable = c.tap;
    RecordingOutput out;
    Monitor m(kb, out);
    m.start();
    EXPECT_EQ(out.lines, c.lines);
    EXPECT_EQ(kb.checks, 1);
    EXPECT_EQ(kb.prompts, 0);
  }
}

struct BindingScenario {
  const char* name;
  std::optional<KeyCode> mainKey;
  std::vector<std::string> modifiers;
  std::vector<KeyStep> steps;
};

TEST_F(MonitorTest, BindingKinds) {
  const auto pass = Verdict::pass;
  const auto swallow = Verdict::swallow;
  const std::vector<BindingScenario> scenarios = {
      {"main key: press, autorepeat, release",
       49,
       {"control"},
       {{kFlagsChanged, 59, kCtrl, pass, {}},
        {kKeyDown, 49, kCtrl, swallow, {"down"}},
        {kKeyDown, 49, kCtrl, swallow, {}},
        {kKeyDown, 49, kCtrl, swallow, {}},
        {kKeyUp, 49, kCtrl, swallow, {"up"}},
        {kFlagsChanged, 59, kNone, pass, {}}}},
      {"main key: missing modifier passes, extra modifier presses",
       49,
       {"control"},
       {{kKeyDown, 49, kNone, pass, {}},
        {kKeyUp, 49, kNone, pass, {}},
        {kKeyDown, 49, kShift, pass, {}},
        {kKeyDown, 49, kCtrl | kShift, swallow, {"down"}},
        {kKeyUp, 49, kCtrl | kShift, swallow, {"up"}}}},
      {"main key: releasing the modifier ends the hold, the later key-up passes",
       49,
       {"control"},
       {{kKeyDown, 49, kCtrl, swallow, {"down"}},
        {kFlagsChanged, 59, kNone, pass, {"up"}},
        {kKeyDown, 49, kNone, pass, {}},
        {kKeyUp, 49, kNone, pass, {}}}},
      {"main key: other keys and extra modifier changes during a hold",
       49,
       {"control"},
       {{kKeyDown, 49, kCtrl, swallow, {"down"}},
        {kKeyDown, 0, kCtrl, pass, {}},
        {kKeyUp, 0, kCtrl, pass, {}},
        {kFlagsChanged, 56, kCtrl | kShift, pass, {}},
        {kFlagsChanged, 56, kCtrl, pass, {}},
        {kKeyUp, 49, kCtrl, swallow, {"up"}}}},
      {"main key without modifiers presses under any modifiers",
       49,
       {},
       {{kKeyDown, 49, kCmd | kOpt | kFn, swallow, {"down"}},
        {kFlagsChanged, 55, kNone, pass, {}},
        {kKeyUp, 49, kNone, swallow, {"up"}}}},
      {"main key with an unknown modifier never presses",
       49,
       {"control", "hyper"},
       {{kKeyDown, 49, kCtrl | kOpt | kShift | kCmd | kFn, pass, {}},
        {kKeyUp, 49, kCtrl, pass, {}}}},
      {"main key bound to fn: the fn bit counts like any modifier",
       0,
       {"fn"},
       {{kKeyDown, 0, kNone, pass, {}}, {kKeyDown, 0, kFn, swallow, {"down"}}, {kKeyUp, 0, kFn, swallow, {"up"}}}},
      {"modifier-only: all bound modifiers press, losing one releases",
       std::nullopt,
       {"control", "option"},
       {{kFlagsChanged, 59, kCtrl, pass, {}},
        {kFlagsChanged, 58, kCtrl | kOpt, pass, {"down"}},
        {kKeyDown, 0, kCtrl | kOpt, pass, {}},
        {kKeyUp, 0, kCtrl | kOpt, pass, {}},
        {kFlagsChanged, 56, kCtrl | kOpt | kShift, pass, {}},
        {kFlagsChanged, 59, kOpt | kShift, pass, {"up"}},
        {kFlagsChanged, 56, kOpt, pass, {}}}},
      {"modifier-only fn is swallowed while it decides",
       std::nullopt,
       {"fn"},
       {{kFlagsChanged, 63, kFn, swallow, {"down"}},
        {kFlagsChanged, 56, kFn | kShift, pass, {}},
        {kFlagsChanged, 56, kFn, pass, {}},
        {kFlagsChanged, 63, kNone, swallow, {"up"}},
        {kFlagsChanged, 56, kShift, pass, {}}}},
      {"modifier-only with an empty set never presses",
       std::nullopt,
       {},
       {{kFlagsChanged, 59, kCtrl | kOpt | kShift | kCmd | kFn, pass, {}}}},
      {"modifier-only with an unknown name never presses",
       std::nullopt,
       {"hyper"},
       {{kFlagsChanged, 59, kCtrl | kOpt | kShift | kCmd | kFn, pass, {}}}},
      {"modifier key: right option presses and releases, left option does nothing",
       61,
       {"command"},  // ignored for a modifier-key binding
       {{kFlagsChanged, 58, kOpt, pass, {}},
        {kFlagsChanged, 58, kNone, pass, {}},
        {kFlagsChanged, 61, kOpt, pass, {"down"}},
        {kKeyDown, 0, kOpt, pass, {}},
        {kKeyUp, 0, kOpt, pass, {}},
        {kFlagsChanged, 58, kOpt, pass, {}},
        {kFlagsChanged, 61, kOpt, pass, {"up"}},  // left option still holds the bit
        {kFlagsChanged, 58, kNone, pass, {}}}},
      {"modifier key: a change without the key's bit does not press",
       54,
       {},
       {{kFlagsChanged, 54, kNone, pass, {}}, {kFlagsChanged, 54, kCmd, pass, {"down"}}}},
  };
  for (const auto& s : scenarios) {
    monitor.setBinding(s.mainKey, s.modifiers);
    play(s.steps, s.name);
    monitor.clearBinding();
    output.take();
  }
}

TEST_F(MonitorTest, WithoutBindingEverythingPasses) {
  play({{kKeyDown, 49, kCtrl, Verdict::pass, {}},
        {kFlagsChanged, 63, kFn, Verdict::pass, {}},
        {kKeyUp, 49, kCtrl, Verdict::pass, {}}},
       "never bound");
  monitor.setBinding(49, {"control"});
  monitor.clearBinding();
  play({{kKeyDown, 49, kCtrl, Verdict::pass, {}}}, "cleared");
}

TEST_F(MonitorTest, TapDisabledIsReenabledAndChangesNothing) {
  monitor.setBinding(49, {"control"});
  monitor.handle(kFlagsChanged, KeyEvent{59, flagsOf(kCtrl)});
  for (std::uint32_t type : {kTapDisabledByTimeout, kTapDisabledByUserInput}) {
    EXPECT_EQ(monitor.handle(type, KeyEvent{49, 0}), Verdict::pass);
  }
  EXPECT_EQ(keyboard.reenables, 2);
  EXPECT_EQ(monitor.state().prevFlags, flagsOf(kCtrl));
  EXPECT_THAT(output.lines, IsEmpty());

  FakeKeyboard noTapKeyboard;
  noTapKeyboard.tapAvailable = false;
  Monitor noTap(noTapKeyboard, output);
  noTap.start();
  noTap.handle(kTapDisabledByTimeout, KeyEvent{});
  EXPECT_EQ(noTapKeyboard.reenables, 0);
}

struct WatchdogCase {
  const char* name;
  std::optional<KeyCode> mainKey;
  std::vector<std::string> modifiers;
  std::vector<KeyStep> press;
  std::vector<std::uint16_t> keysDown;
  ModifierMask flagsState;
  bool ends;
};

TEST_F(MonitorTest, WatchdogEndsHoldsWhoseKeysAreUp) {
  const auto swallow = Verdict::swallow;
  const auto pass = Verdict::pass;
  const std::vector<WatchdogCase> cases = {
      {"main key still held", 49, {"control"}, {{kKeyDown, 49, kCtrl, swallow, {"down"}}}, {49}, kCtrl, false},
      {"main key up", 49, {"control"}, {{kKeyDown, 49, kCtrl, swallow, {"down"}}}, {}, kCtrl, true},
      {"bound modifier missing", 49, {"control"}, {{kKeyDown, 49, kCtrl, swallow, {"down"}}}, {49}, kNone, true},
      {"fn is never polled", 49, {"fn"}, {{kKeyDown, 49, kFn, swallow, {"down"}}}, {49}, kNone, false},
      {"modifier-only, one missing",
       std::nullopt,
       {"control", "option"},
       {{kFlagsChanged, 58, kCtrl | kOpt, pass, {"down"}}},
       {},
       kCtrl,
       true},
      {"modifier-only, all held",
       std::nullopt,
       {"control", "option"},
       {{kFlagsChanged, 58, kCtrl | kOpt, pass, {"down"}}},
       {},
       kCtrl | kOpt,
       false},
      {"modifier-only fn alone",
       std::nullopt,
       {"fn"},
       {{kFlagsChanged, 63, kFn, swallow, {"down"}}},
       {},
       kNone,
       false},
      {"modifier key down, flags ignored", 61, {"shift"}, {{kFlagsChanged, 61, kOpt, pass, {"down"}}}, {61}, kNone, false},
      {"modifier key up", 61, {}, {{kFlagsChanged, 61, kOpt, pass, {"down"}}}, {58}, kOpt, true},
  };
  for (const auto& c : cases) {
    FakeKeyboard kb;
    RecordingOutput out;
    Monitor m(kb, out);
    m.start();
    out.take();
    m.setBinding(c.mainKey, c.modifiers);
    for (const auto& step : c.press) m.handle(step.type, KeyEvent{step.key, flagsOf(step.mods)});
    ASSERT_THAT(out.take(), ElementsAre(kDownLine)) << c.name;
    ASSERT_EQ(kb.liveTimers(), 1) << c.name;
    EXPECT_DOUBLE_EQ(kb.timers.back()->seconds, 0.2);
    for (auto key : c.keysDown) kb.keysDown[key] = true;
    kb.flagsState = flagsOf(c.flagsState) | 0x10000;  // caps lock never matters
    kb.advanceTick();
    EXPECT_EQ(out.take(), c.ends ? std::vector<std::string>{kUpLine} : std::vector<std::string>{}) << c.name;
    EXPECT_EQ(kb.liveTimers(), c.ends ? 0 : 1) << c.name;
    EXPECT_EQ(m.state().pttActive, !c.ends) << c.name;
  }
}

TEST_F(MonitorTest, ReleaseStopsTheWatchdog) {
  monitor.setBinding(49, {});
  hold(49, kNone);
  monitor.handle(kKeyUp, KeyEvent{49, 0});
  EXPECT_EQ(keyboard.liveTimers(), 0);
  EXPECT_FALSE(monitor.state().hasHoldWatchdog);
}

TEST_F(MonitorTest, CommandsDropAHoldSilently) {
  using Command = std::function<void(Monitor&)>;
  const std::vector<std::pair<const char*, Command>> commands = {
      {"setBinding", [](Monitor& m) { m.setBinding(49, {"control"}); }},
      {"clearBinding", [](Monitor& m) { m.clearBinding(); }},
      {"setMode listen", [](Monitor& m) { m.setMode("listen"); }},
      {"setMode other", [](Monitor& m) { m.setMode("anything"); }},
  };
  for (const auto& [name, command] : commands) {
    FakeKeyboard kb;
    RecordingOutput out;
    Monitor m(kb, out);
    m.setBinding(49, {"control"});
    m.handle(kKeyDown, KeyEvent{49, flagsOf(kCtrl)});
    out.take();

    command(m);
    EXPECT_THAT(out.lines, IsEmpty()) << name;
    // Dropped: no hold, the timer still scheduled.
    EXPECT_FALSE(m.state().pttActive) << name;
    EXPECT_EQ(kb.liveTimers(), 1) << name;
    // The key-up of the dropped hold is nobody's business now.
    m.setBinding(49, {"control"});
    EXPECT_EQ(m.handle(kKeyUp, KeyEvent{49, flagsOf(kCtrl)}), Verdict::pass) << name;

    // The next tick stops the timer and says nothing.
    kb.advanceTick();
    EXPECT_THAT(out.lines, IsEmpty()) << name;
    EXPECT_EQ(kb.liveTimers(), 0) << name;

    // A new press starts a new hold with a new timer.
    EXPECT_EQ(m.handle(kKeyDown, KeyEvent{49, flagsOf(kCtrl)}), Verdict::swallow) << name;
    EXPECT_THAT(out.take(), ElementsAre(kDownLine)) << name;
    EXPECT_EQ(kb.timers.size(), 2u) << name;
    EXPECT_EQ(kb.liveTimers(), 1) << name;
  }
}

TEST_F(MonitorTest, PressWhileDroppedReusesTheScheduledTimer) {
  monitor.setBinding(49, {});
  hold(49, kNone);
  monitor.setBinding(49, {});
  hold(49, kNone);
  EXPECT_EQ(keyboard.timersEvery(0.2).size(), 1u);
  keyboard.keysDown[49] = true;
  keyboard.advanceTick();
  EXPECT_THAT(output.lines, IsEmpty());
  keyboard.keysDown.clear();
  keyboard.advanceTick();
  EXPECT_THAT(output.take(), ElementsAre(kUpLine));
}

TEST(MonitorWithoutKeyStateTest, KeyboardReportsTheWholeHold) {
  // A desktop-owned shortcut: press, autorepeated presses, and the release all come as
  // events; there is nothing to poll, so no watchdog runs and only events end the hold.
  FakeKeyboard kb;
  kb.keyState = false;
  RecordingOutput out;
  Monitor m(kb, out);
  m.start();
  out.take();
  m.setBinding(49, {"control"});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(m.handle(kKeyDown, KeyEvent{49, flagsOf(kCtrl)}), Verdict::swallow);
  EXPECT_THAT(out.take(), ElementsAre(kDownLine));
  EXPECT_TRUE(kb.timersEvery(0.2).empty());
  EXPECT_FALSE(m.state().hasHoldWatchdog);
  m.handle(kKeyUp, KeyEvent{49, flagsOf(kCtrl)});
  EXPECT_THAT(out.take(), ElementsAre(kUpLine));

  // A hold dropped by a command stays silent, and the next press begins a new one.
  m.handle(kKeyDown, KeyEvent{49, flagsOf(kCtrl)});
  m.setBinding(49, {"control"});
  m.handle(kKeyUp, KeyEvent{49, flagsOf(kCtrl)});
  EXPECT_THAT(out.take(), ElementsAre(kDownLine));
  m.handle(kKeyDown, KeyEvent{49, flagsOf(kCtrl)});
  EXPECT_THAT(out.take(), ElementsAre(kDownLine));
  EXPECT_TRUE(kb.timersEvery(0.2).empty());
  EXPECT_TRUE(kb.queriedKeys.empty());
}

TEST_F(MonitorTest, TickAfterTheMonitorIsGoneDoesNothing) {
  FakeKeyboard kb;
  RecordingOutput out;
  auto m = std::make_unique<Monitor>(kb, out);
  m->setBinding(49, {});
  m->handle(kKeyDown, KeyEvent{49, 0});
  auto timer = kb.timers.at(0);
  m.reset();
  EXPECT_FALSE(timer->valid);
  timer->tick();  // a tick already on its way when the monitor went
  EXPECT_EQ(out.lines.size(), 1u);
}

TEST_F(MonitorTest, PrevFlagsFollowsEveryEvent) {
  monitor.setBinding(49, {"control"});
  monitor.handle(kKeyDown, KeyEvent{49, flagsOf(kCtrl) | 0x10000});
  EXPECT_EQ(monitor.state().prevFlags, flagsOf(kCtrl) | 0x10000);
  monitor.clearBinding();
  monitor.handle(kKeyUp, KeyEvent{49, 0x2});
  EXPECT_EQ(monitor.state().prevFlags, 0x2u);
}

TEST_F(MonitorTest, SwallowPlanFollowsBindingAndMode) {
  struct Case {
    const char* name;
    std::function<void(Monitor&)> change;
    SwallowPlan plan;
  };
  const std::vector<Case> cases = {
      {"main key", [](Monitor& m) { m.setBinding(49, {"control", "shift"}); }, {false, 49, kCtrl | kShift}},
      {"record", [](Monitor& m) { m.setMode("record"); }, {true, std::nullopt, 0}},
      {"back to listen", [](Monitor& m) { m.setMode("listen"); }, {false, 49, kCtrl | kShift}},
      {"modifier key", [](Monitor& m) { m.setBinding(61, {}); }, {}},
      {"modifier only", [](Monitor& m) { m.setBinding(std::nullopt, {"fn"}); }, {}},
      {"unknown name", [](Monitor& m) { m.setBinding(49, {"hyper"}); }, {}},
      {"cleared", [](Monitor& m) { m.clearBinding(); }, {}},
  };
  for (const auto& c : cases) {
    c.change(monitor);
    ASSERT_FALSE(keyboard.plans.empty());
    EXPECT_EQ(keyboard.plans.back(), c.plan) << c.name;
  }
  // Recording hands the keys back.
  monitor.setBinding(49, {});
  monitor.setMode("record");
  monitor.handle(kKeyDown, KeyEvent{0, 0});
  EXPECT_EQ(keyboard.plans.back(), (SwallowPlan{false, 49, 0}));
}

TEST(MonitorSecureInputTest, ReportsChangesOnceASecondWhileKeysMatter) {
  const std::string on = R"({"type":"secureInput","enabled":true})";
  const std::string off = R"({"type":"secureInput","enabled":false})";
  struct Step {
    std::function<void(Monitor&)> command;  // may be empty
    bool secureInput;
    double seconds;  // time let pass after the command
    std::vector<std::string> lines;
    int queries;  // of the secure input state, during this step
  };
  const auto bind = [](Monitor& m) { m.setBinding(49, {"control"}); };
  const auto unbind = [](Monitor& m) { m.clearBinding(); };
  const auto record = [](Monitor& m) { m.setMode("record"); };
  const std::vector<std::pair<const char*, std::vector<Step>>> scenarios = {
      {"no binding: never asked", {{{}, true, 3, {}, 0}}},
      {"off from the start: asked, nothing said", {{bind, false, 3, {}, 3}}},
      {"asked once a second, not at every watchdog tick", {{bind, true, 0.8, {}, 0}, {{}, true, 0.2, {on}, 1}}},
      {"on, stays on, off",
       {{bind, false, 1, {}, 1}, {{}, true, 1, {on}, 1}, {{}, true, 2, {}, 2}, {{}, false, 1, {off}, 1}}},
      {"record mode without a binding", {{record, true, 1, {on}, 1}, {{}, false, 1, {off}, 1}}},
      {"binding cleared while on: silent until keys matter again",
       {{bind, true, 1, {on}, 1}, {unbind, false, 2, {}, 0}, {bind, false, 1, {off}, 1}}},
  };
  for (const auto& [name, steps] : scenarios) {
    testing::FakeKeyboard kb;
    testing::RecordingOutput out;
    Monitor m(kb, out);
    m.start();
    out.take();
    ASSERT_EQ(kb.liveTimers(1.0), 1) << name;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const Step& step = steps[i];
      if (step.command) step.command(m);
      kb.secureInput = step.secureInput;
      const int queriesBefore = kb.secureInputQueries;
      kb.advance(step.seconds);
      EXPECT_EQ(out.take(), step.lines) << name << ", step " << i;
      EXPECT_EQ(kb.secureInputQueries - queriesBefore, step.queries) << name << ", step " << i;
    }
  }
}

TEST(MonitorSecureInputTest, CheckEndsWithTheMonitor) {
  testing::FakeKeyboard kb;
  testing::RecordingOutput out;
  auto m = std::make_unique<Monitor>(kb, out);
  m->start();
  m->setBinding(49, {});
  auto timer = kb.timersEvery(1.0).at(0);
  m.reset();
  EXPECT_FALSE(timer->valid);
  kb.secureInput = true;
  timer->tick();  // a tick already on its way when the monitor went
  EXPECT_EQ(kb.secureInputQueries, 0);
}

}  // namespace
}  // namespace vesk

namespace vesk {
namespace {

// Commands arrive on the reader thread while the event thread handles keys and ticks:
// every "down" must still be followed by at most one "up", and nothing may race.
TEST(MonitorThreadsTest, CommandsDuringEventsKeepLinesConsistent) {
  testing::FakeKeyboard keyboard;
  testing::RecordingOutput output;
  std::mutex outputLock;
  struct LockedOutput final : EventOutput {
    testing::RecordingOutput& inner;
    std::mutex& lock;
    LockedOutput(testing::RecordingOutput& o, std::mutex& l) : inner(o), lock(l) {}
    void emit(const Json& event) override {
      std::lock_guard<std::mutex> hold(lock);
      inner.emit(event);
    }
  } locked(output, outputLock);
  Monitor monitor(keyboard, locked);
  monitor.start();
  std::atomic<bool> done{false};
  std::thread reader([&] {
    for (int i = 0; i < 2000; ++i) {
      monitor.setBinding(49, {"control"});
      if (i % 3 == 0) monitor.setMode(i % 2 ? "record" : "listen");
      if (i % 7 == 0) monitor.clearBinding();
    }
    done = true;
  });
  const EventFlags control = testing::flagsOf(kControlBit);
  while (!done) {
    monitor.handle(kKeyDown, KeyEvent{49, control});
    keyboard.advanceTick();
    monitor.handle(kKeyUp, KeyEvent{49, control});
  }
  reader.join();
  std::lock_guard<std::mutex> hold(outputLock);
  bool held = false;
  for (const auto& line : output.lines) {
    if (line == testing::kDownLine) {
      held = true;
    } else if (line == testing::kUpLine) {
      EXPECT_TRUE(held) << "an up without its down";
      held = false;
    }
  }
}

}  // namespace
}  // namespace vesk
