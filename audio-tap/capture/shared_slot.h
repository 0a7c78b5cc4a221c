// A shared_ptr that one thread replaces while others take copies of it. A reader
// keeps using the object it copied even after the slot was cleared. The guard is held
// only for a pointer copy or swap, never while an object is destroyed, so an audio
// thread never waits for more than a few instructions of another thread.
//
// On Apple platforms the guard is os_unfair_lock: a waiter blocks in the kernel and
// lends its priority to the holder, where a spin on a real-time IO thread could starve
// a preempted holder of lower priority. Elsewhere it is a spin lock on an atomic flag,
// which ThreadSanitizer sees. (std::atomic<std::shared_ptr> would do, but its
// implementation in the standard library we build with is invisible to ThreadSanitizer.)
#pragma once

#include <memory>
#include <utility>

#if defined(__APPLE__)
#include <os/lock.h>
#else
#include <atomic>
#endif

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
#if defined(__APPLE__)
  void lock() const { os_unfair_lock_lock(&busy_); }
  void unlock() const { os_unfair_lock_unlock(&busy_); }

  mutable os_unfair_lock busy_ = OS_UNFAIR_LOCK_INIT;
#else
  void lock() const {
    while (busy_.test_and_set(std::memory_order_acquire)) {
    }
  }
  void unlock() const { busy_.clear(std::memory_order_release); }

  mutable std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
#endif
  std::shared_ptr<T> value_;
};

}  // namespace vesk
