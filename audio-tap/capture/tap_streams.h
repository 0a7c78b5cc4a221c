// Where the tap's audio sits in its aggregate device's input. An aggregate device
// hands its IO procs the input streams of its sub-devices first (a headset's
// microphone, say) and then those of its taps. Capture reads only the tap's own
// streams, and tells the platform to leave the others off for its IO proc, so that
// capturing never opens a microphone or forces a headset into its call profile.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "audio-tap/capture/hardware.h"

namespace vesk {

struct InputStream {
  AudioObjectID id = kAudioObjectUnknown;
  std::uint32_t channels = 0;  // 0 when the stream's format cannot be read
  double rate = 0;
};

struct TapStreams {
  /// Every input stream of the aggregate device, in IO order; empty when the
  /// device would not say (then the delivered list is read as it comes).
  std::vector<InputStream> streams;
  /// The tap's own buffers in the delivered list: [first, first + count).
  std::uint32_t first = 0;
  std::uint32_t count = std::numeric_limits<std::uint32_t>::max();
  /// Buffers ahead of the tap's: the sub-devices' inputs, to be left off.
  bool hasOtherInputs() const { return first > 0; }
};

/// Finds the tap's streams in `aggregate`'s input: those after `subDevice`'s own
/// input streams (at least the last stream). Main queue.
TapStreams returnTapStreams(AudioHardware& hardware, AudioObjectID aggregate, AudioObjectID subDevice);

/// The part of an IO cycle's input that belongs to the tap; no buffers when the
/// cycle does not reach that far. Any thread; allocates nothing.
AudioBufferListRef tapBuffersOf(const AudioBufferListRef& input, std::uint32_t first, std::uint32_t count);

/// The bytes of Core Audio's IO proc stream usage for `procID`: a pointer-sized IO
/// proc, the stream count, then one 32-bit on/off flag per stream, on for the tap's.
std::vector<std::uint8_t> returnStreamUsage(AudioDeviceIOProcID procID, const TapStreams& tap);

}  // namespace vesk
