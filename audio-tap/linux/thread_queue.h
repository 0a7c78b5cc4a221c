// Serial queues on plain threads: a mutex, a semaphore to sleep on, a list of work, a
// list of timers and a list of signals. The main queue is served by the main thread through serve();
// every other queue runs serve() on a thread of its own.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio-tap/process/queue.h"

namespace vesk {

/// Seconds on std::chrono::steady_clock, the clock of every ThreadQueue deadline.
class SteadyClock final : public Clock {
 public:
  double now() const override;
};

class ThreadQueue final : public SerialQueue {
 public:
  ThreadQueue();
  /// Stops serving and joins the queue's own thread, if it has one (or lets it finish
  /// on its own when the queue is destroyed from that very thread). Work still queued
  /// is dropped.
  ~ThreadQueue() override;

  /// A queue served by a new thread named after `label`.
  static std::shared_ptr<ThreadQueue> startOnOwnThread(const std::string& label);

  void async(std::function<void()> work) override;
  void sync(std::function<void()> work) override;
  void asyncAfter(double deadline, std::shared_ptr<WorkItem> item) override;
  std::shared_ptr<QueueSignal> makeSignal(std::function<void()> handler) override;

  /// Runs the queue's work on the calling thread until `quit`.
  void serve();
  /// Makes `serve` return once the item it runs (if any) has finished. Any thread.
  void quit();

  /// Which piece of queued work (an async block, a timer, a signal's handler) the
  /// calling thread runs now: an id no other piece of any queue shares (0 outside
  /// queued work), and whether it is a timer's. Lets a backend treat what one piece
  /// of work asks as asked at once, and know work of the helper's own clock.
  struct Work {
    std::uint64_t id = 0;
    bool timed = false;
  };
  static Work returnCurrentWork();

 private:
  struct Signal {
    std::function<void()> handler;
    std::atomic<bool> due{false};
  };
  class ThreadSignal;
  // Shared with the serving thread, so that it stays valid until that thread is done.
  struct State {
    State() { sem_init(&wake, 0, 0); }
    ~State() { sem_destroy(&wake); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    std::mutex mutex;
    // The serving thread sleeps on `wake` with `asleep` set; whoever gives it
    // something to do clears the flag and posts once. Not a condition variable:
    // glibc takes the mutex back from a condition wait marked as contended, so every
    // wake-up by a timer would end in a call to the kernel to wake nobody.
    sem_t wake;
    bool asleep = false;
    std::deque<std::function<void()>> work;
    std::multimap<double, std::shared_ptr<WorkItem>> timers;  // equal deadlines keep their order
    std::vector<std::shared_ptr<Signal>> signals;
    std::atomic<bool> signalled{false};  // some signal is due
    bool quitting = false;
  };
  static void serve(State& state);
  /// Lets go of the lock `hold` holds on `state`, then wakes the serving thread if it
  /// sleeps (so that it does not wake to wait for the lock).
  static void rouse(std::unique_lock<std::mutex>& hold, State& state);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace vesk
