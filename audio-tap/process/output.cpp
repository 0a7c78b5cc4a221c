// Event lines and frames, each stream through a writer thread of its own.
#include "audio-tap/process/output.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace vesk {
namespace {

// How long an event line waits for the frames written before it: long enough for a
// host that reads standard output, short enough that one that does not (or a full
// pipe at the end) delays events only a little.
constexpr double kEventWaitForFramesSeconds = 0.1;

}  // namespace

void emitError(OutputChannels& output, std::string_view message) {
  Json event;
  event["event"] = "error";
  event["message"] = std::string(message);
  output.emit(event);
}

std::string encodeFrame(std::string_view payload) {
  const auto size = static_cast<std::uint32_t>(payload.size());
  std::string frame;
  frame.reserve(4 + payload.size());
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<char>((size >> shift) & 0xFF));
  frame.append(payload);
  return frame;
}

std::string encodeSamples(std::span<const std::int16_t> samples) {
  std::string payload;
  payload.resize(samples.size() * 2);
  if constexpr (std::endian::native == std::endian::little) {
    if (!samples.empty()) std::memcpy(payload.data(), samples.data(), payload.size());
  } else {
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const auto bits = static_cast<std::uint16_t>(samples[i]);
      payload[2 * i] = static_cast<char>(bits & 0xFF);
      payload[2 * i + 1] = static_cast<char>(bits >> 8);
    }
  }
  return payload;
}

StreamChannels::StreamChannels(int frameFd, int eventFd, bool debug, std::size_t frameBacklogSamples)
    : debug_(debug),
      eventSink_(eventFd),
      frameSink_(frameFd),
      events_(eventSink_, clock_, kEventBacklog),
      // Bytes are bounded by the samples: two a sample, and four for each prefix.
      frames_(frameSink_, clock_, BacklogBounds{frameBacklogSamples, SIZE_MAX},
              [this](std::size_t dropped) { reportDrop(dropped); }) {
  events_.follow(frames_, kEventWaitForFramesSeconds);
  events_.startThread();
  frames_.startThread();
}

void StreamChannels::emit(const Json& event) {
  // Serialised on the caller's thread; only whole lines reach the writer.
  std::string line;
  try {
    line = event.dump();
  } catch (const Json::exception&) {
    return;  // not UTF-8: nothing is written, nothing is reported
  }
  line.push_back('\n');
  events_.write(std::move(line));
}

void StreamChannels::writeFrame(std::string_view payload) { frames_.write(encodeFrame(payload), payload.size() / 2); }

bool StreamChannels::drainWithin(double seconds) {
  // Both writers work at the same time, so one deadline covers the two waits.
  const double deadline = clock_.now() + seconds;
  const bool framesOut = frames_.drainBy(deadline);
  return events_.drainBy(deadline) && framesOut;
}

void StreamChannels::reportDrop(std::size_t samples) {
  if (!debug_) return;
  Json event;
  event["event"] = "debug";
  event["step"] = "framesDropped";
  event["samples"] = samples;
  emit(event);
}

}  // namespace vesk
