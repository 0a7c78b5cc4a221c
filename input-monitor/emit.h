// Event lines of the input monitor: one compact JSON object and a line feed each.
#pragma once

#include <nlohmann/json.hpp>

#include "common/fd_sink.h"
#include "common/stream_writer.h"
#include "common/wait_clock.h"

namespace vesk {

/// Keeps members in the order they were written, so "type" leads every line.
using Json = nlohmann::ordered_json;

/// Where events go. Abstract so tests can record them.
class EventOutput {
 public:
  virtual ~EventOutput() = default;
  /// Sends one event line. Called from any thread; lines never interleave.
  virtual void emit(const Json& event) = 0;
};

/// What a host that stops reading may leave unread before the oldest lines are
/// dropped: 1,000 lines, and at most 4 MiB of them.
constexpr BacklogBounds kLineBacklog{1000, 4u << 20};

/// Writes each event as one line to a file descriptor (standard output in production)
/// through a writer thread of its own, so a host that stops reading never holds up
/// the keyboard callback or the command reader.
class LineOutput final : public EventOutput {
 public:
  explicit LineOutput(int fd);
  /// Serialises first; an event that cannot be serialised writes nothing. The line
  /// and its line feed go out as one whole item, so a reader never sees half a line.
  /// Write errors (the host closed the pipe) are ignored.
  void emit(const Json& event) override;

  /// Waits until every line queued has been written, or `seconds` have passed. For
  /// the end of the process.
  bool drainWithin(double seconds) { return writer_.drainWithin(seconds); }

 private:
  FdSink outHandle_;
  SteadyWaitClock clock_;
  StreamWriter writer_;
};

}  // namespace vesk
