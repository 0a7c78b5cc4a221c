// A clock and a serial queue that tests step by hand. Nothing runs until the test
// says so; `sync` drains what was queued before and then runs its work inline, which
// is what a serial queue guarantees to a caller that waits for it.
#pragma once

#include <algorithm>
#include <deque>
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

  /// Runs queued work, including work queued meanwhile, until none is left.
  /// Returns how many items ran.
  int runPending() {
    int ran = 0;
    while (!queued_.empty()) {
      auto work = std::move(queued_.front());
      queued_.pop_front();
      work();
      ++ran;
    }
    return ran;
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
  std::size_t queuedItems() const { return queued_.size(); }

  std::string label;
  int syncCalls = 0;

 private:
  struct Timer {
    double deadline;
    long order;
    std::shared_ptr<WorkItem> item;
  };
  ManualClock& clock_;
  std::deque<std::function<void()>> queued_;
  std::vector<Timer> timers_;
  long order_ = 0;
};

}  // namespace vesk::testing
