// Event lines and frames over whole write(2) calls.
#include "audio-tap/process/output.h"

#include "common/fd_io.h"

namespace vesk {

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
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto bits = static_cast<std::uint16_t>(samples[i]);
    payload[2 * i] = static_cast<char>(bits & 0xFF);
    payload[2 * i + 1] = static_cast<char>(bits >> 8);
  }
  return payload;
}

void StreamChannels::emit(const Json& event) {
  // Serialise before taking the lock, so a slow serialisation holds up no writer.
  std::string line;
  try {
    line = event.dump();
  } catch (const Json::exception&) {
    return;  // not UTF-8: nothing is written, nothing is reported
  }
  line.push_back('\n');
  std::lock_guard<std::mutex> hold(stderrLock_);
  writeAll(eventFd_, line);
}

void StreamChannels::writeFrame(std::string_view payload) {
  const std::string frame = encodeFrame(payload);
  std::lock_guard<std::mutex> hold(stdoutLock_);
  writeAll(frameFd_, frame);
}

}  // namespace vesk
