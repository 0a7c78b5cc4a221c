#include "audio-tap/linux/thread_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace vesk {
namespace {

TEST(ThreadQueueTest, RunsWorkSeriallyInOrderFromManyThreads) {
  auto queue = ThreadQueue::startOnOwnThread("test");
  std::vector<int> seen;  // touched on the queue only
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) queue->async([&seen, t, i] { seen.push_back(t * 1000 + i); });
    });
  }
  for (auto& p : producers) p.join();
  std::vector<int> copy;
  queue->sync([&] { copy = seen; });
  ASSERT_EQ(copy.size(), 800u);
  std::vector<int> last(4, -1);
  for (int v : copy) {
    EXPECT_GT(v % 1000, last[static_cast<std::size_t>(v / 1000)]);  // each producer's order is kept
    last[static_cast<std::size_t>(v / 1000)] = v % 1000;
  }
}

TEST(ThreadQueueTest, SyncWaitsForEarlierWork) {
  auto queue = ThreadQueue::startOnOwnThread("test");
  std::atomic<int> done{0};
  for (int i = 0; i < 100; ++i) queue->async([&] { done.fetch_add(1); });
  queue->sync([] {});
  EXPECT_EQ(done.load(), 100);
}

TEST(ThreadQueueTest, TimersRunInDeadlineOrderAndCancelledOnesNever) {
  SteadyClock clock;
  ThreadQueue main;
  std::vector<std::string> order;
  const double now = clock.now();
  auto late = std::make_shared<WorkItem>([&] {
    order.push_back("late");
    main.quit();
  });
  auto cancelled = std::make_shared<WorkItem>([&] { order.push_back("cancelled"); });
  auto early = std::make_shared<WorkItem>([&] { order.push_back("early"); });
  main.asyncAfter(now + 0.06, late);
  main.asyncAfter(now + 0.03, cancelled);
  main.asyncAfter(now + 0.01, early);
  main.async([&] { order.push_back("now"); });
  cancelled->cancel();
  main.serve();  // on this thread, as the main thread serves the main queue
  EXPECT_EQ(order, (std::vector<std::string>{"now", "early", "late"}));
  EXPECT_GE(clock.now(), now + 0.06);
}

TEST(ThreadQueueTest, SyncFromAnotherThreadIntoTheServedQueue) {
  ThreadQueue main;
  int value = 0;
  std::thread reader([&] {
    for (int i = 0; i < 50; ++i) main.sync([&] { ++value; });
    main.sync([&] { main.quit(); });
  });
  main.serve();
  reader.join();
  EXPECT_EQ(value, 50);
}

TEST(ThreadQueueTest, QueueReleasedFromItsOwnThreadEndsCleanly) {
  auto queue = ThreadQueue::startOnOwnThread("test");
  std::promise<void> go;
  std::promise<void> ran;
  queue->async([owner = queue, letGo = go.get_future().share(), &ran]() mutable {
    letGo.wait();
    owner.reset();  // the last owner lets go from inside the queue
    ran.set_value();
  });
  queue.reset();
  go.set_value();
  ran.get_future().wait();
}

// Signals from another thread each lead to a run of the handler on the queue after
// them (several may make one run), ahead of work queued later; a destroyed signal is
// not run again.
TEST(ThreadQueueTest, SignalsRunTheirHandlerOnTheQueueAfterTheLastSignal) {
  auto queue = ThreadQueue::startOnOwnThread("test");
  std::atomic<int> produced{0};
  int seen = 0;  // the queue's own
  std::atomic<int> runs{0};
  auto signal = queue->makeSignal([&] {
    seen = produced.load();
    runs.fetch_add(1);
  });
  std::thread producer([&] {
    for (int i = 0; i < 1000; ++i) {
      produced.fetch_add(1);
      signal->signal();
    }
  });
  producer.join();
  int last = 0;  // due signals run ahead of queued work
  queue->sync([&] { last = seen; });
  EXPECT_EQ(last, 1000);
  EXPECT_LE(runs.load(), 1000);
  signal->signal();
  signal.reset();
  queue->sync([] {});
  const int after = runs.load();
  queue->sync([] {});
  EXPECT_EQ(runs.load(), after);
}

// Reads of the sound server share a round trip within one piece of work, and only
// there: every piece, on any queue, must have an id of its own. Only a timer's piece
// is timed: the others answer a command or a change, and must ask the server.
TEST(ThreadQueueTest, EachPieceOfWorkHasAnIdOfItsOwnAndNoneOutside) {
  auto first = ThreadQueue::startOnOwnThread("test");
  auto second = ThreadQueue::startOnOwnThread("test");
  std::vector<std::uint64_t> ids;
  std::vector<bool> timed;
  std::mutex lock;
  auto note = [&] {
    std::lock_guard<std::mutex> hold(lock);
    ids.push_back(ThreadQueue::returnCurrentWork().id);
    timed.push_back(ThreadQueue::returnCurrentWork().timed);
  };
  std::promise<void> timerRan;  // timers come after queued work: wait for it
  auto timer = std::make_shared<WorkItem>([&] {
    note();
    EXPECT_TRUE(ThreadQueue::returnCurrentWork().timed);
    timerRan.set_value();
  });
  first->asyncAfter(SteadyClock().now(), timer);
  auto signal = second->makeSignal(note);
  signal->signal();
  for (int i = 0; i < 3; ++i) {
    first->async(note);
    second->async(note);
  }
  std::uint64_t twice[2] = {};
  first->sync([&] { twice[0] = ThreadQueue::returnCurrentWork().id, twice[1] = ThreadQueue::returnCurrentWork().id; });
  second->sync([] {});
  timerRan.get_future().wait();
  EXPECT_EQ(twice[0], twice[1]);
  EXPECT_NE(twice[0], 0u);
  EXPECT_EQ(ThreadQueue::returnCurrentWork().id, 0u);  // this thread runs no queued work
  std::lock_guard<std::mutex> hold(lock);
  ASSERT_EQ(ids.size(), 8u);
  EXPECT_EQ(std::count(timed.begin(), timed.end(), true), 1);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
  EXPECT_NE(ids.front(), 0u);
}

}  // namespace
}  // namespace vesk
