// A keyboard for tests: holds the key state a test sets, records what the monitor
// asked of it, and runs timer ticks only when the test lets time pass.
#pragma once

#include <cmath>
#include <map>
#include <memory>
#include <vector>

#include "input-monitor/keyboard.h"

namespace vesk::testing {

class FakeKeyboard final : public Keyboard {
 public:
  struct Timer final : RepeatingTimer {
    double seconds = 0;
    std::function<void()> tick;
    bool valid = true;
    long elapsedMs = 0;  // since the last tick
    void invalidate() override { valid = false; }
  };

  bool isTrusted(bool prompt) override {
    (prompt ? prompts : checks)++;
    return trusted;
  }
  bool createTap(KeyEventHandler& h) override {
    handler = &h;
    return tapAvailable;
  }
  void reenableTap() override { reenables++; }
  EventFlags returnFlagsState() override { return flagsState; }
  bool returnKeyState(std::uint16_t keyCode) override {
    queriedKeys.push_back(keyCode);
    return keysDown.count(keyCode) > 0;
  }
  bool hasKeyState() const override { return keyState; }
  bool returnSecureInputEnabled() override {
    secureInputQueries++;
    return secureInput;
  }
  std::unique_ptr<RepeatingTimer> startRepeatingTimer(double seconds, std::function<void()> tick) override {
    auto timer = std::make_shared<Timer>();
    timer->seconds = seconds;
    timer->tick = std::move(tick);
    timers.push_back(timer);
    // The monitor owns the handle; the fake keeps the timer alive like a run loop does.
    return std::make_unique<Handle>(timer);
  }
  void swallowPlanChanged(const SwallowPlan& plan) override { plans.push_back(plan); }
  void run() override {}

  /// Lets `seconds` pass: every timer still scheduled ticks once per whole interval.
  void advance(double seconds) {
    const long passedMs = std::lround(seconds * 1000);
    auto scheduled = timers;
    for (auto& timer : scheduled) {
      const long intervalMs = std::lround(timer->seconds * 1000);
      timer->elapsedMs += passedMs;
      while (timer->valid && timer->elapsedMs >= intervalMs) {
        timer->elapsedMs -= intervalMs;
        timer->tick();
      }
    }
  }
  /// One tick of the hold watchdog, as 0.2 s passing.
  void advanceTick() { advance(0.2); }
  /// The timers of one interval (0.2 s: hold watchdogs; 1 s: the secure input check).
  std::vector<std::shared_ptr<Timer>> timersEvery(double seconds) const {
    std::vector<std::shared_ptr<Timer>> found;
    for (const auto& timer : timers) {
      if (timer->seconds == seconds) found.push_back(timer);
    }
    return found;
  }
  int liveTimers(double seconds = kWatchdogInterval) const {
    int n = 0;
    for (const auto& timer : timersEvery(seconds)) n += timer->valid ? 1 : 0;
    return n;
  }
  static constexpr double kWatchdogInterval = 0.2;

  bool trusted = true;
  bool tapAvailable = true;
  bool keyState = true;
  KeyEventHandler* handler = nullptr;
  int checks = 0;
  int prompts = 0;
  int reenables = 0;
  EventFlags flagsState = 0;
  std::map<std::uint16_t, bool> keysDown;
  std::vector<std::uint16_t> queriedKeys;
  bool secureInput = false;
  int secureInputQueries = 0;
  std::vector<std::shared_ptr<Timer>> timers;
  std::vector<SwallowPlan> plans;

 private:
  struct Handle final : RepeatingTimer {
    explicit Handle(std::shared_ptr<Timer> t) : timer(std::move(t)) {}
    void invalidate() override { timer->invalidate(); }
    std::shared_ptr<Timer> timer;
  };
};

}  // namespace vesk::testing
