// Serial queues and the clock on libdispatch. Objective-C++ only (the queue handle
// is a dispatch object managed by ARC).
#pragma once

#include <dispatch/dispatch.h>

#include <string>

#include "audio-tap/process/queue.h"

namespace vesk {

/// Seconds of host time (mach_absolute_time): the clock dispatch_time counts in, so
/// that a deadline of now() + 1 fires one second from now.
class HostClock final : public Clock {
 public:
  double now() const override;
};

/// A SerialQueue over a serial dispatch queue; the main queue is one of them.
class DispatchSerialQueue final : public SerialQueue {
 public:
  /// Wraps an existing queue (the main queue).
  explicit DispatchSerialQueue(dispatch_queue_t queue);
  /// A new serial queue named `label`; userInteractive runs it at that QoS class.
  DispatchSerialQueue(const std::string& label, QualityOfService qos);

  void async(std::function<void()> work) override;
  void sync(std::function<void()> work) override;
  void asyncAfter(double deadline, std::shared_ptr<WorkItem> item) override;
  /// A data source on the queue: merging data into it neither allocates nor locks.
  std::shared_ptr<QueueSignal> makeSignal(std::function<void()> handler) override;

  /// The queue itself, for platform calls that deliver on it.
  dispatch_queue_t queue() const { return queue_; }

 private:
  dispatch_queue_t queue_;
  HostClock clock_;
};

/// The dispatch queue behind `queue`, or null when it is not a DispatchSerialQueue.
dispatch_queue_t returnDispatchQueue(SerialQueue& queue);

}  // namespace vesk
