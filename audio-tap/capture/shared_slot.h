// A shared_ptr that one thread replaces while others take copies of it. A reader
// keeps using the object it copied even after the slot was cleared. The guard is a
// spin lock held only for a pointer copy or swap, never while an object is destroyed,
// so an audio thread never waits for more than a few instructions of another thread.
// (std::atomic<std::shared_ptr> would do, but its implementation in the standard
// library we build with is invisible to ThreadSanitizer.)
#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace vesk {

template <typename T>
class SharedSlot {
 public:
  std::shared_ptr<T> load() const {
    lock();
    std::shared_ptr<T> copy = value_;
    unlock();
    return copy;
  }

  void store(std::shared_ptr<T> value) {
    lock();
    value_.swap(value);
    unlock();
    // The previous object, if this was its last owner, is destroyed here, unlocked.
  }

 private:
  void lock() const {
    while (busy_.test_and_set(std::memory_order_acquire)) {
    }
  }
  void unlock() const { busy_.clear(std::memory_order_release); }

  mutable std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
  std::shared_ptr<T> value_;
};

}  // namespace vesk
