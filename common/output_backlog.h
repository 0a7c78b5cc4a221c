// What an output stream still owes its reader: a bounded queue of whole items (event
// lines or frames). Past the bound the oldest items are dropped whole and counted, so
// a reader that stops reading costs a fixed amount of memory however long it stalls.
// Pure logic: no locks, no threads, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace vesk {

/// One whole item: its bytes, its weight, and what must go before it on another
/// stream (`after` items of that stream, waited for until `notAfter` at most).
struct BacklogItem {
  std::string bytes;
  std::size_t weight = 1;
  std::uint64_t after = 0;
  double notAfter = 0;
};

/// Limits of a backlog. Each item carries a weight (1 for a line, its samples for a
/// frame); the backlog keeps at most `maxWeight` in weight and `maxBytes` in bytes.
struct BacklogBounds {
  std::size_t maxWeight;
  std::size_t maxBytes;
};

class OutputBacklog {
 public:
  explicit OutputBacklog(BacklogBounds bounds) : bounds_(bounds) {}

  /// Appends an item, then drops the oldest items whole until the bounds hold again.
  /// The newest item is always kept, even alone past the bounds.
  void push(BacklogItem item);

  /// Removes and returns the oldest item. Only when not empty.
  BacklogItem pop();

  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }
  std::size_t weight() const { return weight_; }
  std::size_t bytes() const { return bytes_; }

  /// The weight dropped since the last call, and starts counting again from zero.
  std::size_t takeDropped();

 private:
  void dropOldest();

  BacklogBounds bounds_;
  std::deque<BacklogItem> items_;
  std::size_t weight_ = 0;
  std::size_t bytes_ = 0;
  std::size_t dropped_ = 0;
};

}  // namespace vesk
