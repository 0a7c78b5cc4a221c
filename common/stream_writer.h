// The writer of one output stream, shared by both helpers. Whoever produces an item
// (an event line, a frame) hands it over and goes on at once: a thread of the writer's
// own does the blocking write, so a host that stops reading holds up no work queue, no
// command reader and no keyboard callback. Items go out whole and in the order they
// were handed over; while the host is not reading they wait in a bounded backlog
// (oldest dropped whole), and the end of the process waits for them only up to a
// deadline. A writer may follow another: each of its items then waits, briefly, for
// the other stream's items handed over before it, so that while the host reads both
// streams an event reaches its pipe after the frames that came before it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "common/output_backlog.h"
#include "common/wait_clock.h"

namespace vesk {

/// Where the bytes go. Abstract so tests can stand in for a pipe.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  /// Writes every byte, blocking as long as the reader takes; a failure (the reader
  /// has gone) loses the bytes silently. Writer thread only.
  virtual void write(std::string_view bytes) = 0;
  /// Writes every byte at once if the sink can take them all without blocking, and
  /// says how many it wrote: all, or none if it cannot or cannot tell. Part of them
  /// only if its room shrank unforeseen; the rest must follow before anything else.
  /// Never blocks. Any thread, never while another write of the sink is under way.
  virtual std::size_t writeIfRoom(std::string_view) { return 0; }
};

class StreamWriter {
 public:
  /// Called on the writer thread after a write that follows drops, with the weight
  /// dropped since the last call: the reader is taking data again.
  using ResumeHandler = std::function<void(std::size_t dropped)>;

  StreamWriter(ByteSink& sink, WaitClock& clock, BacklogBounds bounds, ResumeHandler onResumed = {});

  /// Makes each item written after this wait until the items that `leader` had been
  /// handed before it are written or dropped, but no longer than `maxWaitSeconds`
  /// after it was handed over, so that a stalled leader delays this stream only a
  /// little. Before the thread starts; `leader` uses the same clock.
  void follow(StreamWriter& leader, double maxWaitSeconds);
  /// Writes what is queued, then stops the thread (a process ends with _exit instead
  /// and never runs this).
  ~StreamWriter();
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  /// Starts the thread that writes items as they come. Once, from any thread.
  void startThread();

  /// Queues one whole item behind those before it and returns at once. Any thread.
  void write(std::string bytes, std::size_t weight = 1);

  /// Writes the oldest queued item, if any, on the calling thread. The writer thread
  /// runs this in a loop; tests call it directly. Returns false when nothing was queued.
  bool writeNext();

  /// Waits until every queued item has been written, or until `deadline` on the
  /// writer's clock. True when all was written. Any thread but the writer's.
  bool drainBy(double deadline);

  /// `drainBy` a deadline `seconds` from now.
  bool drainWithin(double seconds) { return drainBy(clock_.now() + seconds); }

  /// How many items have been handed over so far. Any thread.
  std::uint64_t handedOver();

  /// Waits until the first `count` items handed over are written or dropped, or until
  /// `deadline`. Any thread but the writer's.
  void waitFinished(std::uint64_t count, double deadline);

 private:
  void serve();
  bool writeAtOnce(const std::string& bytes);
  bool finished(std::uint64_t count) const;

  ByteSink& sink_;
  WaitClock& clock_;
  ResumeHandler onResumed_;
  StreamWriter* leader_ = nullptr;
  double maxWaitSeconds_ = 0;
  std::mutex lock_;                     // guards everything below
  std::condition_variable queued_;      // an item was queued, or the writer stops
  std::condition_variable progressed_;  // an item was written
  OutputBacklog backlog_;
  std::string rest_;  // of an item its producer began: the writer thread finishes it first
  std::uint64_t handedOver_ = 0;
  bool writing_ = false;  // an item has left the backlog (or is begun) but is not written yet
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vesk
