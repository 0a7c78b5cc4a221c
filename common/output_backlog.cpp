// Bounded backlog of whole items, oldest dropped first.
#include "common/output_backlog.h"

#include <utility>

namespace vesk {

void OutputBacklog::push(std::string bytes, std::size_t weight) {
  weight_ += weight;
  bytes_ += bytes.size();
  items_.push_back(Item{std::move(bytes), weight});
  while (items_.size() > 1 && (weight_ > bounds_.maxWeight || bytes_ > bounds_.maxBytes)) dropOldest();
}

std::string OutputBacklog::pop() {
  Item item = std::move(items_.front());
  items_.pop_front();
  weight_ -= item.weight;
  bytes_ -= item.bytes.size();
  return std::move(item.bytes);
}

std::size_t OutputBacklog::takeDropped() { return std::exchange(dropped_, 0); }

void OutputBacklog::dropOldest() {
  dropped_ += items_.front().weight;
  pop();
}

}  // namespace vesk
