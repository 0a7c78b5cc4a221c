// Finding the tap's streams over the audio-hardware seam.
#include "audio-tap/capture/tap_streams.h"

#include <algorithm>
#include <cstring>

#include "audio-tap/capture/property_readers.h"

namespace vesk {

TapStreams returnTapStreams(AudioHardware& hardware, AudioObjectID aggregate, AudioObjectID subDevice) {
  TapStreams tap;
  for (AudioObjectID id : returnInputStreamIDs(hardware, aggregate)) {
    InputStream stream{id, 0, 0};
    if (auto format = returnStreamFormat(hardware, id)) {
      stream.channels = format->mChannelsPerFrame;
      stream.rate = format->mSampleRate;
    }
    tap.streams.push_back(stream);
  }
  if (tap.streams.empty()) return tap;
  const auto total = static_cast<std::uint32_t>(tap.streams.size());
  const auto others = static_cast<std::uint32_t>(returnInputStreamIDs(hardware, subDevice).size());
  tap.first = std::min(others, total - 1);
  tap.count = total - tap.first;
  return tap;
}

AudioBufferListRef tapBuffersOf(const AudioBufferListRef& input, std::uint32_t first, std::uint32_t count) {
  if (input.mBuffers == nullptr || first >= input.mNumberBuffers) return {0, nullptr};
  return {std::min(count, input.mNumberBuffers - first), input.mBuffers + first};
}

std::vector<std::uint8_t> returnStreamUsage(AudioDeviceIOProcID procID, const TapStreams& tap) {
  const auto procPointer = static_cast<std::uintptr_t>(procID);
  const auto total = static_cast<std::uint32_t>(tap.streams.size());
  std::vector<std::uint8_t> bytes(sizeof procPointer + sizeof total + total * sizeof(std::uint32_t));
  std::memcpy(bytes.data(), &procPointer, sizeof procPointer);
  std::memcpy(bytes.data() + sizeof procPointer, &total, sizeof total);
  for (std::uint32_t i = 0; i < total; ++i) {
    const std::uint32_t on = i >= tap.first && i - tap.first < tap.count ? 1 : 0;
    std::memcpy(bytes.data() + sizeof procPointer + sizeof total + i * sizeof on, &on, sizeof on);
  }
  return bytes;
}

}  // namespace vesk
