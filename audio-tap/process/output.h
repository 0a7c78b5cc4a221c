// The two output channels of the audio tap: event lines on standard error and
// length-prefixed PCM frames on standard output. Nothing else writes to either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/fd_sink.h"
#include "common/stream_writer.h"
#include "common/wait_clock.h"

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

/// What a host that stops reading may leave unread before the oldest is dropped:
/// 30 s of frames at 24000 Hz, and 1,000 event lines (and at most 4 MiB of them, so
/// that long "Unknown command" lines cannot take much memory either).
constexpr std::size_t kFrameBacklogSamples = 30 * 24000;
constexpr BacklogBounds kEventBacklog{1000, 4u << 20};

/// Writes events and frames to two file descriptors, standard error and standard
/// output in the process, each through a writer thread of its own: `emit` and
/// `writeFrame` never wait for the host to read. Write failures (a host that closed
/// its end) are ignored. With `debug`, frames dropped from the backlog are reported
/// as {"event":"debug","step":"framesDropped","samples":N} once the host reads again.
/// An event line waits up to 0.1 s for the frames written before it, so a host that
/// reads both streams has the last frame by the time it reads "stopped".
class StreamChannels final : public OutputChannels {
 public:
  StreamChannels(int frameFd, int eventFd, bool debug = false,
                 std::size_t frameBacklogSamples = kFrameBacklogSamples);
  void emit(const Json& event) override;
  void writeFrame(std::string_view payload) override;

  /// Waits until both streams have taken everything queued, or `seconds` have passed;
  /// true when everything went out. For the end of the process. Main queue.
  bool drainWithin(double seconds);

 private:
  void reportDrop(std::size_t samples);

  bool debug_;
  SteadyWaitClock clock_;
  FdSink eventSink_;
  FdSink frameSink_;
  StreamWriter events_;  // before frames_, which reports its drops through it
  StreamWriter frames_;
};

}  // namespace vesk
