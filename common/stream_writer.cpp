// Bounded, ordered, non-blocking hand-over of whole items to a writer thread.
#include "common/stream_writer.h"

#include <utility>

namespace vesk {

StreamWriter::StreamWriter(ByteSink& sink, WaitClock& clock, BacklogBounds bounds, ResumeHandler onResumed)
    : sink_(sink), clock_(clock), onResumed_(std::move(onResumed)), backlog_(bounds) {}

StreamWriter::~StreamWriter() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  queued_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void StreamWriter::startThread() {
  thread_ = std::thread([this] { serve(); });
}

void StreamWriter::write(std::string bytes, std::size_t weight) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    backlog_.push(std::move(bytes), weight);
  }
  queued_.notify_one();
}

bool StreamWriter::writeNext() {
  std::string item;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (backlog_.empty()) return false;
    item = backlog_.pop();
    writing_ = true;
  }
  sink_.write(item);
  std::size_t dropped = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    writing_ = false;
    dropped = backlog_.takeDropped();
  }
  progressed_.notify_all();
  if (dropped > 0 && onResumed_) onResumed_(dropped);
  return true;
}

bool StreamWriter::drainBy(double deadline) {
  std::unique_lock<std::mutex> hold(lock_);
  while (!backlog_.empty() || writing_) {
    if (clock_.now() >= deadline) return false;
    clock_.waitUntil(progressed_, hold, deadline);
  }
  return true;
}

void StreamWriter::serve() {
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(lock_);
      queued_.wait(hold, [this] { return !backlog_.empty() || stopping_; });
      if (backlog_.empty()) return;  // stopping, and everything is written
    }
    writeNext();
  }
}

}  // namespace vesk
