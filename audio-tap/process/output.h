// The two output channels of the audio tap: event lines on standard error and
// length-prefixed PCM frames on standard output. Nothing else writes to either.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vesk {

/// Keeps members in the order they were added, so "event" leads every line.
using Json = nlohmann::ordered_json;

/// Where events and frames go. Abstract so tests can record them.
class OutputChannels {
 public:
  virtual ~OutputChannels() = default;

  /// Sends one event as one compact JSON line. An event that cannot be serialised
  /// (a string that is not UTF-8) sends nothing at all. Any thread.
  virtual void emit(const Json& event) = 0;

  /// Sends one frame: the payload's length as 4 little-endian bytes, then the
  /// payload, whole, never interleaved with another frame. Any thread.
  virtual void writeFrame(std::string_view payload) = 0;
};

/// Sends {"event":"error","message":message}.
void emitError(OutputChannels& output, std::string_view message);

/// The bytes of one frame: little-endian payload length, then the payload.
std::string encodeFrame(std::string_view payload);

/// The payload of samples: each a signed 16-bit little-endian integer.
std::string encodeSamples(std::span<const std::int16_t> samples);

/// Writes events and frames to two file descriptors, standard error and standard
/// output in the process. Each stream has its own lock, held for exactly one whole
/// write; write failures (a host that closed its end) are ignored.
class StreamChannels final : public OutputChannels {
 public:
  StreamChannels(int frameFd, int eventFd) : frameFd_(frameFd), eventFd_(eventFd) {}
  void emit(const Json& event) override;
  void writeFrame(std::string_view payload) override;

 private:
  int frameFd_;
  int eventFd_;
  std::mutex stdoutLock_;
  std::mutex stderrLock_;
};

}  // namespace vesk
