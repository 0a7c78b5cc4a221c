// Time for waits with a deadline. Abstract so tests can move time by hand and never
// sleep; the process uses the monotonic clock.
#pragma once

#include <condition_variable>
#include <mutex>

namespace vesk {

class WaitClock {
 public:
  virtual ~WaitClock() = default;

  /// Seconds on a monotonic clock. Any thread.
  virtual double now() const = 0;

  /// Waits on `cv`, with `lock` held on entry and on return, until it is notified or
  /// `deadline` (seconds on this clock) has come. May return early; callers re-check.
  virtual void waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, double deadline) = 0;
};

/// The monotonic clock of the standard library.
class SteadyWaitClock final : public WaitClock {
 public:
  double now() const override;
  void waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, double deadline) override;
};

}  // namespace vesk
