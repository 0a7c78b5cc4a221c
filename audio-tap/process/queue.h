// Queues and time: the seam through which the core runs work on the main queue and
// on its serial audio queues, and reads the monotonic clock. Each platform supplies
// one implementation (libdispatch on macOS, threads and condition variables on
// Linux); tests use a queue they step by hand and a clock they move themselves, so
// the debounce is tested without sleeping.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace vesk {

/// A piece of work that can be cancelled until it begins.
class WorkItem {
 public:
  explicit WorkItem(std::function<void()> work) : work_(std::move(work)) {}

  /// After this, a `perform` that has not begun does nothing. Any thread.
  void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
  bool isCancelled() const { return cancelled_.load(std::memory_order_relaxed); }

  /// Runs the work unless the item was cancelled. Called by the queue that holds it.
  void perform() {
    if (!isCancelled()) work_();
  }

 private:
  std::function<void()> work_;
  std::atomic<bool> cancelled_{false};
};

/// Makes a handler run on a queue without queuing a closure: how a real-time thread
/// hands work on, since queuing a closure allocates and may take the queue's lock.
class QueueSignal {
 public:
  virtual ~QueueSignal() = default;

  /// Makes the handler run on its queue once more, soon; signals that come before it
  /// has begun make one run between them. Neither allocates nor waits for a lock that
  /// another thread holds (on Linux, where the IO thread is not a real-time one, it
  /// takes the queue's lock for an instant to wake it). Any thread.
  virtual void signal() = 0;
};

/// How urgent a queue's work is; a platform may map it to a thread priority.
enum class QualityOfService { unspecified, userInteractive };

/// A serial queue: work runs one item at a time, in the order it was queued.
class SerialQueue {
 public:
  virtual ~SerialQueue() = default;

  /// Queues `work` behind everything queued before it and returns at once. Any thread.
  virtual void async(std::function<void()> work) = 0;

  /// Runs `work` on the queue after everything queued before it, and returns when it
  /// has finished. Any thread except the queue's own (that would wait for itself).
  virtual void sync(std::function<void()> work) = 0;

  /// Runs `item` on the queue at or after `deadline`, in seconds on the platform's
  /// clock, unless it has been cancelled by then. Any thread.
  virtual void asyncAfter(double deadline, std::shared_ptr<WorkItem> item) = 0;

  /// A signal whose handler runs on this queue, one run at a time like any work.
  /// Once the signal is destroyed its handler does not begin again. Any thread.
  virtual std::shared_ptr<QueueSignal> makeSignal(std::function<void()> handler) = 0;
};

/// A monotonic clock in seconds, the one `asyncAfter` deadlines are measured on.
class Clock {
 public:
  virtual ~Clock() = default;
  /// Any thread.
  virtual double now() const = 0;
};

}  // namespace vesk
