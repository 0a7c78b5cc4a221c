// Audio formats and PCM buffers: plain data the core owns. A format is a stream
// description with the facts the pipeline needs; a PCM buffer holds frames of one
// format in one buffer per channel (non-interleaved) or one buffer (interleaved),
// and exposes them as a buffer list the way a platform buffer does.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audio-tap/capture/hardware.h"

namespace vesk {

struct AudioFormat {
  AudioStreamBasicDescription streamDescription;

  double sampleRate() const { return streamDescription.mSampleRate; }
  std::uint32_t channelCount() const { return streamDescription.mChannelsPerFrame; }
  bool isInterleaved() const { return (streamDescription.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0; }
  /// Buffers of a buffer list in this format: one, or one per channel.
  std::uint32_t bufferCount() const { return isInterleaved() ? 1 : channelCount(); }
  /// Bytes of one frame in one buffer.
  std::uint32_t bytesPerFrame() const { return streamDescription.mBytesPerFrame; }
  bool isSignedInt16() const;
  bool isFloat32() const;
};

/// Signed 16-bit integer PCM, the platform's common format "Int16".
AudioStreamBasicDescription int16StreamDescription(double sampleRate, std::uint32_t channels, bool interleaved);

/// Whether a description is linear PCM whose frames a buffer can hold: a positive,
/// finite rate, at least one channel, and a bytes-per-frame that matches its layout.
bool isUsablePcm(const AudioStreamBasicDescription& description);

class PcmBuffer {
 public:
  /// A zero-filled buffer of `frameCapacity` frames, frame length 0; none when the
  /// format cannot be held (not usable PCM) or the capacity is 0 or absurdly large.
  static std::shared_ptr<PcmBuffer> make(std::shared_ptr<const AudioFormat> format, std::uint32_t frameCapacity);

  const std::shared_ptr<const AudioFormat>& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }

  /// Sets the frames held (at most the capacity); every buffer's byte size follows.
  void setFrameLength(std::uint32_t frames);

  /// The buffer's own list, one entry per buffer of its format, writable.
  std::span<AudioBuffer> mutableAudioBufferList() { return buffers_; }
  AudioBufferListRef audioBufferList() const {
    return {static_cast<std::uint32_t>(buffers_.size()), buffers_.data()};
  }

  /// The samples of the first buffer when the format holds signed 16-bit integers;
  /// null otherwise.
  std::int16_t* int16ChannelData();

 private:
  PcmBuffer() = default;
  std::shared_ptr<const AudioFormat> format_;
  std::uint32_t frameCapacity_ = 0;
  std::uint32_t frameLength_ = 0;
  std::vector<std::vector<std::uint8_t>> storage_;
  std::vector<AudioBuffer> buffers_;
};

}  // namespace vesk
