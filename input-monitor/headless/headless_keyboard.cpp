// A keyboard with no access to keys. No OS facility is used; run() parks the main
// thread until the command reader ends the process.
#include "input-monitor/headless/headless_keyboard.h"

#include <condition_variable>
#include <mutex>

namespace vesk {
namespace {

// Without a tap no hold can begin, so no watchdog tick has anything to do.
class InertTimer final : public RepeatingTimer {
 public:
  void invalidate() override {}
};

class HeadlessKeyboard final : public Keyboard {
 public:
  bool isTrusted(bool) override { return false; }
  bool createTap(KeyEventHandler&) override { return false; }
  void reenableTap() override {}
  EventFlags returnFlagsState() override { return 0; }
  bool returnKeyState(std::uint16_t) override { return false; }
  bool returnSecureInputEnabled() override { return false; }
  std::unique_ptr<RepeatingTimer> startRepeatingTimer(double, std::function<void()>) override {
    return std::make_unique<InertTimer>();
  }
  void swallowPlanChanged(const SwallowPlan&) override {}
  void run() override {
    // Nothing ever arrives; the process ends when standard input does.
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) never_.wait(hold);
  }

 private:
  std::mutex mutex_;
  std::condition_variable never_;
};

}  // namespace

std::unique_ptr<Keyboard> makeHeadlessKeyboard() { return std::make_unique<HeadlessKeyboard>(); }

}  // namespace vesk
