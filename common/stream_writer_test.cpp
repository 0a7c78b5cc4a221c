#include "common/stream_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/output_backlog.h"

namespace vesk {
namespace {

constexpr std::size_t kAll = std::string::npos;

// Records what is written; with `hold` set, the write of the item equal to it waits
// until the test calls release(), as a pipe whose reader has stopped reading.
class FakeSink final : public ByteSink {
 public:
  void write(std::string_view bytes) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (bytes == hold) {
      blocked_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return released_; });
    }
    written.emplace_back(bytes);
  }
  std::size_t writeIfRoom(std::string_view bytes) override {
    const std::size_t taken = std::min(room, bytes.size());
    if (taken == 0) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    written.emplace_back(bytes.substr(0, taken));
    return taken;
  }
  void waitUntilBlocked() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return blocked_; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written;
  }

  std::string hold;
  std::size_t room = 0;  // what a producer's own write takes of an item (producer threads only)
  std::vector<std::string> written;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool blocked_ = false;
  bool released_ = false;
};

// Time that moves only when the writer waits: each wait runs `onWait` (with the
// writer's lock released, as a real wait would) and then moves time by `step`,
// never past the deadline.
class FakeClock final : public WaitClock {
 public:
  double now() const override { return time; }
  void waitUntil(std::condition_variable&, std::unique_lock<std::mutex>& lock, double deadline) override {
    ++waits;
    lock.unlock();
    if (onWait) onWait();
    lock.lock();
    time = std::min(deadline, time + step);
  }

  double time = 0;
  double step = 1;
  int waits = 0;
  std::function<void()> onWait;
};

std::vector<std::string> items(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i <= to; ++i) out.push_back("item" + std::to_string(i));
  return out;
}

TEST(OutputBacklogTest, DropsOldestWholeItemsPastEitherBound) {
  struct Case {
    const char* name;
    BacklogBounds bounds;
    std::vector<std::pair<std::string, std::size_t>> pushes;  // bytes, weight
    std::vector<std::string> kept;
    std::size_t dropped;
  };
  const std::vector<Case> cases = {
      {"within bounds", {3, 100}, {{"a", 1}, {"b", 1}, {"c", 1}}, {"a", "b", "c"}, 0},
      {"past the weight", {3, 100}, {{"a", 1}, {"b", 1}, {"c", 1}, {"d", 1}, {"e", 1}}, {"c", "d", "e"}, 2},
      {"weights of frames", {10, 100}, {{"a", 4}, {"b", 4}, {"c", 4}}, {"b", "c"}, 4},
      {"past the bytes", {100, 5}, {{"aa", 1}, {"bb", 1}, {"cc", 1}}, {"bb", "cc"}, 1},
      {"newest kept alone", {2, 100}, {{"a", 1}, {"big", 5}}, {"big"}, 1},
  };
  for (const auto& c : cases) {
    OutputBacklog backlog(c.bounds);
    for (const auto& [bytes, weight] : c.pushes) backlog.push(BacklogItem{bytes, weight});
    EXPECT_EQ(backlog.takeDropped(), c.dropped) << c.name;
    EXPECT_EQ(backlog.takeDropped(), 0u) << c.name;
    std::vector<std::string> kept;
    while (!backlog.empty()) kept.push_back(backlog.pop().bytes);
    EXPECT_EQ(kept, c.kept) << c.name;
    EXPECT_EQ(backlog.weight(), 0u) << c.name;
    EXPECT_EQ(backlog.bytes(), 0u) << c.name;
  }
}

TEST(StreamWriterTest, ProducersNeverWaitForAStalledReaderAndItGetsTheNewestInOrder) {
  FakeSink sink;
  sink.hold = "item1";
  FakeClock clock;
  std::vector<std::size_t> resumed;
  std::vector<std::string> writtenWhenResumed;
  {
    StreamWriter writer(sink, clock, BacklogBounds{100, 1 << 20}, [&](std::size_t dropped) {
      resumed.push_back(dropped);
      writtenWhenResumed = sink.snapshot();
    });
    writer.startThread();
    writer.write("item1");
    sink.waitUntilBlocked();
    // The reader has stopped: 5,000 more items must not wait for it (were they to,
    // the test would hang here), and only the newest 100 are kept.
    for (const auto& item : items(2, 5000)) writer.write(item);
    sink.release();
  }  // the destructor writes what is queued
  std::vector<std::string> expected = {"item1"};
  for (const auto& item : items(4901, 5000)) expected.push_back(item);
  EXPECT_EQ(sink.written, expected);
  // Reported once, after the stalled write went through: the reader reads again.
  EXPECT_EQ(resumed, std::vector<std::size_t>{4899});
  EXPECT_EQ(writtenWhenResumed, std::vector<std::string>{"item1"});
}

TEST(StreamWriterTest, AProducerWritesItsItemItselfOnlyWhenNothingWaitsAndTheSinkHasRoom) {
  FakeSink sink;
  FakeClock clock;
  {
    StreamWriter writer(sink, clock, BacklogBounds{100, 1 << 20});
    sink.room = kAll;
    writer.write("item1");  // no writer thread yet: only the producer can have written it
    EXPECT_EQ(sink.snapshot(), items(1, 1));
    writer.startThread();
    sink.room = 0;
    sink.hold = "item2";
    writer.write("item2");
    sink.waitUntilBlocked();
    sink.room = kAll;
    writer.write("item3");  // item2 is still being written: item3 waits its turn
    writer.write("item4");
    EXPECT_EQ(sink.snapshot(), items(1, 1));
    EXPECT_EQ(writer.handedOver(), 4u);
    sink.release();
  }  // the destructor writes what is queued
  EXPECT_EQ(sink.written, items(1, 4));
}

TEST(StreamWriterTest, AnItemItsProducerOnlyBeganIsFinishedByTheWriterThreadBeforeAnyOther) {
  FakeSink sink;
  FakeClock clock;
  {
    StreamWriter writer(sink, clock, BacklogBounds{100, 1 << 20});
    sink.room = 3;  // the sink's room shrank unforeseen: it takes "ite" of "item1"
    writer.write("item1");
    sink.room = kAll;
    writer.write("item2");
    EXPECT_EQ(sink.snapshot(), std::vector<std::string>{"ite"});
    EXPECT_EQ(writer.handedOver(), 2u);
    writer.startThread();
  }
  EXPECT_EQ(sink.written, (std::vector<std::string>{"ite", "m1", "item2"}));
}

TEST(StreamWriterTest, DrainWaitsForTheQueueUpToItsDeadline) {
  struct Case {
    const char* name;
    int queued;
    bool readerReads;  // each wait lets the reader take one item
    double deadline;
    bool drained;
    std::size_t written;
    double endsAt;
  };
  const std::vector<Case> cases = {
      {"nothing queued", 0, false, 0.5, true, 0, 0},
      {"reader takes everything in time", 3, true, 10, true, 3, 3},
      {"reader too slow", 30, true, 10, false, 10, 10},
      {"reader not reading", 3, false, 0.5, false, 0, 0.5},
  };
  for (const auto& c : cases) {
    FakeSink sink;
    FakeClock clock;
    StreamWriter writer(sink, clock, BacklogBounds{100, 1 << 20});
    for (const auto& item : items(1, c.queued)) writer.write(item);
    if (c.readerReads) clock.onWait = [&writer] { writer.writeNext(); };
    EXPECT_EQ(writer.drainBy(c.deadline), c.drained) << c.name;
    EXPECT_EQ(sink.written, items(1, static_cast<int>(c.written))) << c.name;
    EXPECT_EQ(clock.time, c.endsAt) << c.name;
    clock.onWait = nullptr;
  }
}

TEST(StreamWriterTest, DrainCountsTheItemBeingWritten) {
  FakeSink sink;
  sink.hold = "item1";
  FakeClock clock;
  StreamWriter writer(sink, clock, BacklogBounds{100, 1 << 20});
  writer.startThread();
  writer.write("item1");
  sink.waitUntilBlocked();
  // Nothing is queued any more, but the one item is still on its way: not drained.
  EXPECT_FALSE(writer.drainWithin(0.5));
  EXPECT_EQ(clock.time, 0.5);
  sink.release();
}

// Events follow frames: while the host reads both streams, a line goes out after the
// frames handed over before it; a stalled frame stream holds it up only briefly.
TEST(StreamWriterTest, AFollowerWaitsForItsLeaderOnlyUpToItsLimit) {
  struct Case {
    const char* name;
    bool framesFlow;  // each wait lets the reader take one frame, 10 ms apart
    std::vector<std::string> order;
    double writtenAt;
  };
  const std::vector<Case> cases = {
      {"frames flow", true, {"frame1", "frame2", "stopped"}, 0.02},
      {"frames stalled", false, {"stopped"}, 0.1},
  };
  for (const auto& c : cases) {
    std::vector<std::string> order;
    struct LogSink final : ByteSink {
      explicit LogSink(std::vector<std::string>& log) : log_(log) {}
      void write(std::string_view bytes) override { log_.emplace_back(bytes); }
      std::vector<std::string>& log_;
    };
    LogSink frameSink(order), eventSink(order);
    FakeClock clock;
    clock.step = 0.01;
    StreamWriter frames(frameSink, clock, BacklogBounds{100, 1 << 20});
    StreamWriter events(eventSink, clock, BacklogBounds{100, 1 << 20});
    events.follow(frames, 0.1);
    frames.write("frame1");
    frames.write("frame2");
    events.write("stopped");
    frames.write("frame3");  // handed over after the event: not waited for
    if (c.framesFlow) clock.onWait = [&frames] { frames.writeNext(); };
    ASSERT_TRUE(events.writeNext()) << c.name;
    EXPECT_EQ(order, c.order) << c.name;
    EXPECT_DOUBLE_EQ(clock.time, c.writtenAt) << c.name;
  }
}

}  // namespace
}  // namespace vesk
