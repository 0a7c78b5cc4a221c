// Serial queues over libdispatch, and host time over mach_absolute_time. Queue
// operations are called from any thread; work runs on the dispatch queue (for the
// main queue: on the main thread, served by the main run loop).
#include "audio-tap/macos/dispatch_queue.h"

#include <mach/mach_time.h>

#include "audio-tap/macos/clock_math.h"

namespace vesk {

double HostClock::now() const {
  static const mach_timebase_info_data_t timebase = [] {
    mach_timebase_info_data_t info{};
    mach_timebase_info(&info);
    return info;
  }();
  return hostTicksToSeconds(mach_absolute_time(), timebase.numer, timebase.denom);
}

DispatchSerialQueue::DispatchSerialQueue(dispatch_queue_t queue) : queue_(queue) {}

DispatchSerialQueue::DispatchSerialQueue(const std::string& label, QualityOfService qos) {
  dispatch_queue_attr_t attributes = DISPATCH_QUEUE_SERIAL;
  if (qos == QualityOfService::userInteractive) {
    attributes = dispatch_queue_attr_make_with_qos_class(attributes, QOS_CLASS_USER_INTERACTIVE, 0);
  }
  queue_ = dispatch_queue_create(label.c_str(), attributes);
}

void DispatchSerialQueue::async(std::function<void()> work) {
  dispatch_async(queue_, ^{
    work();
  });
}

void DispatchSerialQueue::sync(std::function<void()> work) {
  // The caller waits, so the block may use the caller's function in place.
  std::function<void()>* body = &work;
  dispatch_sync(queue_, ^{
    (*body)();
  });
}

void DispatchSerialQueue::asyncAfter(double deadline, std::shared_ptr<WorkItem> item) {
  // Cancellation is the item's own flag, looked at when the block runs: a cancelled
  // item that has not begun does nothing, and lives on only until its deadline.
  const dispatch_time_t when = dispatch_time(DISPATCH_TIME_NOW, nanosecondsUntil(deadline, clock_.now()));
  dispatch_after(when, queue_, ^{
    item->perform();
  });
}

namespace {

// A signal is a data source whose event handler runs on the queue. Data merged into
// it (from the IO thread) is coalesced until the handler runs.
class DispatchSignal final : public QueueSignal {
 public:
  DispatchSignal(dispatch_queue_t queue, std::function<void()> handler)
      : source_(dispatch_source_create(DISPATCH_SOURCE_TYPE_DATA_OR, 0, 0, queue)) {
    dispatch_source_set_event_handler(source_, ^{
      handler();
    });
    dispatch_resume(source_);
  }
  ~DispatchSignal() override { dispatch_source_cancel(source_); }

  void signal() override { dispatch_source_merge_data(source_, 1); }

 private:
  dispatch_source_t source_;
};

}  // namespace

std::shared_ptr<QueueSignal> DispatchSerialQueue::makeSignal(std::function<void()> handler) {
  return std::make_shared<DispatchSignal>(queue_, std::move(handler));
}

dispatch_queue_t returnDispatchQueue(SerialQueue& queue) {
  auto* dispatchQueue = dynamic_cast<DispatchSerialQueue*>(&queue);
  return dispatchQueue ? dispatchQueue->queue() : nullptr;
}

}  // namespace vesk
