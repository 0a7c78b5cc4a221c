// Serial queues over std::thread, std::mutex and std::condition_variable. Called from
// any thread; serve() runs on the main thread (main queue) or on the queue's own thread.
#include "audio-tap/linux/thread_queue.h"

#include <pthread.h>

#include <chrono>
#include <future>

namespace vesk {

double SteadyClock::now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ThreadQueue::~ThreadQueue() {
  quit();
  if (thread_.joinable()) thread_.join();
}

std::shared_ptr<ThreadQueue> ThreadQueue::startOnOwnThread(const std::string& label) {
  auto queue = std::make_shared<ThreadQueue>();
  ThreadQueue* raw = queue.get();
  queue->thread_ = std::thread([raw, name = label.substr(0, 15)] {
    pthread_setname_np(pthread_self(), name.c_str());
    raw->serve();
  });
  return queue;
}

void ThreadQueue::async(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    work_.push_back(std::move(work));
  }
  wake_.notify_one();
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
  {
    std::lock_guard<std::mutex> hold(mutex_);
    timers_.emplace(deadline, std::move(item));
  }
  wake_.notify_one();
}

void ThreadQueue::serve() {
  const SteadyClock clock;
  std::unique_lock<std::mutex> hold(mutex_);
  while (!quitting_) {
    if (!work_.empty()) {
      auto work = std::move(work_.front());
      work_.pop_front();
      hold.unlock();
      work();
      hold.lock();
      continue;
    }
    if (!timers_.empty() && timers_.begin()->first <= clock.now()) {
      auto item = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
      hold.unlock();
      item->perform();
      hold.lock();
      continue;
    }
    if (timers_.empty()) {
      wake_.wait(hold);
    } else {
      const auto deadline = std::chrono::steady_clock::time_point(
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              std::chrono::duration<double>(timers_.begin()->first)));
      wake_.wait_until(hold, deadline);
    }
  }
}

void ThreadQueue::quit() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    quitting_ = true;
  }
  wake_.notify_all();
}

}  // namespace vesk
