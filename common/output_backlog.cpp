// Bounded backlog of whole items, oldest dropped first.
#include "common/output_backlog.h"

#include <utility>

namespace vesk {

void OutputBacklog::push(BacklogItem item) {
  weight_ += item.weight;
  bytes_ += item.bytes.size();
  items_.push_back(std::move(item));
  while (items_.size() > 1 && (weight_ > bounds_.maxWeight || bytes_ > bounds_.maxBytes)) dropOldest();
}

BacklogItem OutputBacklog::pop() {
  BacklogItem item = std::move(items_.front());
  items_.pop_front();
  weight_ -= item.weight;
  bytes_ -= item.bytes.size();
  return item;
}

std::size_t OutputBacklog::takeDropped() { return std::exchange(dropped_, 0); }

void OutputBacklog::dropOldest() {
  dropped_ += items_.front().weight;
  pop();
}

}  // namespace vesk
