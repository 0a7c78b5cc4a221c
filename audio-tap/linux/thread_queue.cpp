// Serial queues over std::thread, std::mutex and a POSIX semaphore. Called from
// any thread; serve() runs on the main thread (main queue) or on the queue's own thread.
#include "audio-tap/linux/thread_queue.h"

#include <pthread.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <future>
#include <optional>
#include <utility>

namespace vesk {
namespace {

std::atomic<std::uint64_t> lastWork{0};
thread_local ThreadQueue::Work currentWork;

// Marks the piece of work the serving thread runs while it lives.
class WorkScope {
 public:
  explicit WorkScope(bool timed = false) {
    currentWork = {lastWork.fetch_add(1, std::memory_order_relaxed) + 1, timed};
  }
  ~WorkScope() { currentWork = {}; }
  WorkScope(const WorkScope&) = delete;
  WorkScope& operator=(const WorkScope&) = delete;
};

// Waits for a post, or until `deadline` (steady-clock seconds) if there is one. A
// post that comes after a timeout is taken by the next sleep, which then only looks
// at the queue once more.
void sleepUntil(sem_t& wake, std::optional<double> deadline) {
  if (!deadline) {
    while (sem_wait(&wake) != 0 && errno == EINTR) {
    }
    return;
  }
  const double whole = std::floor(*deadline);
  timespec at{static_cast<time_t>(whole), std::min(static_cast<long>((*deadline - whole) * 1e9), 999'999'999L)};
  while (sem_clockwait(&wake, CLOCK_MONOTONIC, &at) != 0 && errno == EINTR) {
  }
}

}  // namespace

ThreadQueue::Work ThreadQueue::returnCurrentWork() { return currentWork; }

double SteadyClock::now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ThreadQueue::ThreadQueue() : state_(std::make_shared<State>()) {}

ThreadQueue::~ThreadQueue() {
  quit();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // the last owner let go from inside the queue: it ends by itself
  } else {
    thread_.join();
  }
}

std::shared_ptr<ThreadQueue> ThreadQueue::startOnOwnThread(const std::string& label) {
  auto queue = std::make_shared<ThreadQueue>();
  queue->thread_ = std::thread([state = queue->state_, name = label.substr(0, 15)] {
    pthread_setname_np(pthread_self(), name.c_str());
    serve(*state);
  });
  return queue;
}

void ThreadQueue::rouse(std::unique_lock<std::mutex>& hold, State& state) {
  const bool asleep = std::exchange(state.asleep, false);
  hold.unlock();
  if (asleep) sem_post(&state.wake);
}

void ThreadQueue::async(std::function<void()> work) {
  std::unique_lock<std::mutex> hold(state_->mutex);
  state_->work.push_back(std::move(work));
  rouse(hold, *state_);
}

void ThreadQueue::sync(std::function<void()> work) {
  std::promise<void> done;
  async([&work, &done] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

void ThreadQueue::asyncAfter(double deadline, std::shared_ptr<WorkItem> item) {
  std::unique_lock<std::mutex> hold(state_->mutex);
  state_->timers.emplace(deadline, std::move(item));
  rouse(hold, *state_);
}

// Sets its flag and wakes the serving thread. The lock that waking takes orders the
// wake after the serving thread's last look at the flags, so that it is not lost.
class ThreadQueue::ThreadSignal final : public QueueSignal {
 public:
  ThreadSignal(std::shared_ptr<State> state, std::shared_ptr<Signal> signal)
      : state_(std::move(state)), signal_(std::move(signal)) {}
  ~ThreadSignal() override {
    std::lock_guard<std::mutex> hold(state_->mutex);
    std::erase(state_->signals, signal_);
  }
  void signal() override {
    signal_->due.store(true, std::memory_order_release);
    state_->signalled.store(true, std::memory_order_release);
    std::unique_lock<std::mutex> hold(state_->mutex);
    rouse(hold, *state_);
  }

 private:
  std::shared_ptr<State> state_;
  std::shared_ptr<Signal> signal_;
};

std::shared_ptr<QueueSignal> ThreadQueue::makeSignal(std::function<void()> handler) {
  auto signal = std::make_shared<Signal>();
  signal->handler = std::move(handler);
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->signals.push_back(signal);
  }
  return std::make_shared<ThreadSignal>(state_, std::move(signal));
}

void ThreadQueue::serve() { serve(*state_); }

void ThreadQueue::serve(State& state) {
  const SteadyClock clock;
  std::unique_lock<std::mutex> hold(state.mutex);
  while (!state.quitting) {
    if (state.signalled.exchange(false, std::memory_order_acq_rel)) {
      std::vector<std::shared_ptr<Signal>> due;
      for (const auto& signal : state.signals) {
        if (signal->due.exchange(false, std::memory_order_acq_rel)) due.push_back(signal);
      }
      hold.unlock();
      for (const auto& signal : due) {
        WorkScope scope;
        signal->handler();
      }
      due.clear();
      hold.lock();
      continue;
    }
    if (!state.work.empty()) {
      auto work = std::move(state.work.front());
      state.work.pop_front();
      hold.unlock();
      {
        WorkScope scope;
        work();
        work = nullptr;  // release what the work held before taking the lock again
      }
      hold.lock();
      continue;
    }
    if (!state.timers.empty() && state.timers.begin()->first <= clock.now()) {
      auto item = std::move(state.timers.begin()->second);
      state.timers.erase(state.timers.begin());
      hold.unlock();
      {
        WorkScope scope(true);
        item->perform();
        item.reset();
      }
      hold.lock();
      continue;
    }
    const std::optional<double> deadline =
        state.timers.empty() ? std::nullopt : std::optional<double>(state.timers.begin()->first);
    state.asleep = true;
    hold.unlock();
    sleepUntil(state.wake, deadline);
    hold.lock();
    state.asleep = false;
  }
}

void ThreadQueue::quit() {
  std::unique_lock<std::mutex> hold(state_->mutex);
  state_->quitting = true;
  rouse(hold, *state_);
}

}  // namespace vesk
