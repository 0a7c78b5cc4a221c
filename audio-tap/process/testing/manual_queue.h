// A clock and a serial queue that tests step by hand. Nothing runs until the test
// says so; `sync` drains what was queued before and then runs its work inline, which
// is what a serial queue guarantees to a caller that waits for it. A signal only
// marks its handler due (no allocation, as on a platform queue); running the queue
// runs due handlers before queued work.
#pragma once

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "audio-tap/process/queue.h"

namespace vesk::testing {

class ManualClock final : public Clock {
 public:
  double now() const override { return seconds; }
  double seconds = 100.0;
};

class ManualQueue final : public SerialQueue {
 public:
  explicit ManualQueue(ManualClock& clock, std::string name = "manual") : label(std::move(name)), clock_(clock) {}

  void async(std::function<void()> work) override { queued_.push_back(std::move(work)); }
  void sync(std::function<void()> work) override {
    runPending();
    ++syncCalls;
    work();
  }
  void asyncAfter(double deadline, std::shared_ptr<WorkItem> item) override {
    timers_.push_back({deadline, order_++, std::move(item)});
  }

  std::shared_ptr<QueueSignal> makeSignal(std::function<void()> handler) override {
    auto signal = std::make_shared<Signal>(std::move(handler));
    signals_.push_back(signal);
    return signal;
  }

  /// Runs due signal handlers and queued work, including work queued meanwhile,
  /// until none is left. Returns how many items ran.
  int runPending() {
    int ran = 0;
    for (;;) {
      if (std::shared_ptr<Signal> signal = dueSignal()) {
        signal->due.store(false);
        signal->handler();
      } else if (!queued_.empty()) {
        auto work = std::move(queued_.front());
        queued_.pop_front();
        work();
      } else {
        return ran;
      }
      ++ran;
    }
  }

  /// Moves the clock forward by `seconds`, running queued work and every timer whose
  /// deadline is reached, in deadline order, each at its own moment.
  void advance(double seconds) {
    const double target = clock_.seconds + seconds;
    runPending();
    for (;;) {
      auto due = std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
        return a.deadline != b.deadline ? a.deadline < b.deadline : a.order < b.order;
      });
      if (due == timers_.end() || due->deadline > target) break;
      Timer timer = *due;
      timers_.erase(due);
      clock_.seconds = std::max(clock_.seconds, timer.deadline);
      timer.item->perform();
      runPending();
    }
    clock_.seconds = target;
  }

  /// Timers scheduled and not yet run (cancelled ones included).
  std::size_t scheduledTimers() const { return timers_.size(); }
  std::size_t queuedItems() {
    std::size_t due = 0;
    for (auto& weak : signals_) {
      if (auto signal = weak.lock(); signal && signal->due.load()) ++due;
    }
    return queued_.size() + due;
  }

  std::string label;
  int syncCalls = 0;

 private:
  struct Signal final : QueueSignal {
    explicit Signal(std::function<void()> h) : handler(std::move(h)) {}
    void signal() override { due.store(true); }
    std::function<void()> handler;
    std::atomic<bool> due{false};
  };
  std::shared_ptr<Signal> dueSignal() {
    std::erase_if(signals_, [](const std::weak_ptr<Signal>& weak) { return weak.expired(); });
    for (auto& weak : signals_) {
      // The queue's own list keeps no signal alive: one that is gone is not run.
      if (auto signal = weak.lock(); signal && signal->due.load()) return signal;
    }
    return nullptr;
  }
  struct Timer {
    double deadline;
    long order;
    std::shared_ptr<WorkItem> item;
  };
  ManualClock& clock_;
  std::deque<std::function<void()>> queued_;
  std::vector<std::weak_ptr<Signal>> signals_;
  std::vector<Timer> timers_;
  long order_ = 0;
};

}  // namespace vesk::testing
