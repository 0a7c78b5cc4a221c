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

void StreamWriter::follow(StreamWriter& leader, double maxWaitSeconds) {
  leader_ = &leader;
  maxWaitSeconds_ = maxWaitSeconds;
}

void StreamWriter::startThread() {
  thread_ = std::thread([this] { serve(); });
}

void StreamWriter::write(std::string bytes, std::size_t weight) {
  if (leader_ == nullptr && writeAtOnce(bytes)) return;
  BacklogItem item{std::move(bytes), weight};
  if (leader_ != nullptr) {
    item.after = leader_->handedOver();
    item.notAfter = clock_.now() + maxWaitSeconds_;
  }
  bool dropped = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const std::size_t before = backlog_.size();
    backlog_.push(std::move(item));
    ++handedOver_;
    dropped = backlog_.size() <= before;
  }
  queued_.notify_one();
  if (dropped) progressed_.notify_all();
}

// The lock is held across the write, so an item handed over meanwhile cannot overtake
// this one; the sink promises not to block, so nobody waits on the lock for long.
bool StreamWriter::writeAtOnce(const std::string& bytes) {
  std::size_t dropped = 0;
  bool begunOnly = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!backlog_.empty() || writing_) return false;
    const std::size_t written = sink_.writeIfRoom(bytes);
    if (written == 0) return false;
    ++handedOver_;
    dropped = backlog_.takeDropped();
    if (written < bytes.size()) {
      rest_.assign(bytes, written);
      writing_ = begunOnly = true;
    }
  }
  if (begunOnly) queued_.notify_one();
  progressed_.notify_all();
  if (dropped > 0 && onResumed_) onResumed_(dropped);
  return true;
}

std::uint64_t StreamWriter::handedOver() {
  std::lock_guard<std::mutex> hold(lock_);
  return handedOver_;
}

bool StreamWriter::finished(std::uint64_t count) const {
  // Items finish in the order they came, so those not finished are the last ones.
  const std::uint64_t unfinished = backlog_.size() + (writing_ ? 1 : 0);
  return handedOver_ - unfinished >= count;
}

void StreamWriter::waitFinished(std::uint64_t count, double deadline) {
  std::unique_lock<std::mutex> hold(lock_);
  while (!finished(count) && clock_.now() < deadline) clock_.waitUntil(progressed_, hold, deadline);
}

bool StreamWriter::writeNext() {
  BacklogItem item;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!rest_.empty()) {
      item.bytes = std::exchange(rest_, {});  // its producer never waited for a leader
    } else {
      if (backlog_.empty()) return false;
      item = backlog_.pop();
      writing_ = true;
    }
  }
  if (leader_ != nullptr) leader_->waitFinished(item.after, item.notAfter);
  sink_.write(item.bytes);
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
      queued_.wait(hold, [this] { return !backlog_.empty() || !rest_.empty() || stopping_; });
      if (backlog_.empty() && rest_.empty()) return;  // stopping, and everything is written
    }
    writeNext();
  }
}

}  // namespace vesk
