// The converter seam: formats and a sample-rate and format converter from the tap's
// stream format to 16-bit mono PCM. AVAudioConverter on macOS, libsoxr on Linux.
// The pipeline calls a converter once per captured buffer, with an output buffer
// and an input block, and reads back a status, an error text and the frames made.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audio-tap/capture/audio_format.h"

namespace vesk {

enum class AudioConverterOutputStatus : int { haveData = 0, inputRanDry = 1, endOfStream = 2, error = 3 };
enum class AudioConverterInputStatus : int { haveData = 0, noDataNow = 1, endOfStream = 2 };

/// Asked by a converter for more input: returns a buffer with status haveData, or
/// none with noDataNow or endOfStream. Called only while `convert` runs.
using AudioConverterInputBlock =
    std::function<std::shared_ptr<PcmBuffer>(std::uint32_t packetCount, AudioConverterInputStatus& status)>;

class AudioConverter {
 public:
  virtual ~AudioConverter() = default;

  /// Converts what `input` supplies into `output`, as much as fits, and sets the
  /// output's frame length. May store an error text. Keeps no reference to `input`
  /// after returning; state carried from one call to the next (a resampler's history)
  /// stays in the converter. Conversion queue, one call at a time.
  virtual AudioConverterOutputStatus convert(PcmBuffer& output, std::optional<std::string>& error,
                                             const AudioConverterInputBlock& input) = 0;
};

class AudioConverterFactory {
 public:
  virtual ~AudioConverterFactory() = default;

  /// A format from a whole stream description; none when the platform cannot
  /// represent it. Main queue.
  virtual std::shared_ptr<const AudioFormat> makeFormat(const AudioStreamBasicDescription& description) = 0;

  /// Signed 16-bit integer PCM of the given rate and channels; none when impossible.
  /// Main queue.
  virtual std::shared_ptr<const AudioFormat> makeInt16Format(double sampleRate, std::uint32_t channels,
                                                              bool interleaved) = 0;

  /// A converter between two formats; none when the platform has none for them.
  /// Main queue.
  virtual std::shared_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) = 0;
};

}  // namespace vesk
