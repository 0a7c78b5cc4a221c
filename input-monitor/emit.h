// Event lines of the input monitor: one compact JSON object and a line feed each.
#pragma once

#include <mutex>

#include <nlohmann/json.hpp>

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

/// Writes each event as one line to a file descriptor (standard output in production).
class LineOutput final : public EventOutput {
 public:
  explicit LineOutput(int fd) : outHandle_(fd) {}
  /// Serialises first; an event that cannot be serialised writes nothing. The line
  /// and its line feed go out in one whole write under emitLock, so a reader never
  /// sees half a line. Write errors (the host closed the pipe) are ignored.
  void emit(const Json& event) override;

 private:
  int outHandle_;
  std::mutex emitLock_;
};

}  // namespace vesk
