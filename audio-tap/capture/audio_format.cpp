// Formats and PCM buffers.
#include "audio-tap/capture/audio_format.h"

#include <cmath>

namespace vesk {
namespace {

// The largest buffer a single PCM buffer may hold; far beyond any IO cycle or
// conversion, so a hostile byte count cannot make us allocate gigabytes.
constexpr std::uint64_t kMaxBufferBytes = 64u << 20;

}  // namespace

bool AudioFormat::isSignedInt16() const {
  const auto& d = streamDescription;
  return d.mFormatID == kAudioFormatLinearPCM && (d.mFormatFlags & kAudioFormatFlagIsSignedInteger) != 0 &&
         (d.mFormatFlags & kAudioFormatFlagIsFloat) == 0 && d.mBitsPerChannel == 16;
}

bool AudioFormat::isFloat32() const {
  const auto& d = streamDescription;
  return d.mFormatID == kAudioFormatLinearPCM && (d.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
         d.mBitsPerChannel == 32;
}

AudioStreamBasicDescription int16StreamDescription(double sampleRate, std::uint32_t channels, bool interleaved) {
  AudioStreamBasicDescription d;
  d.mSampleRate = sampleRate;
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  if (!interleaved) d.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
  const std::uint32_t perBuffer = interleaved ? channels : 1;
  d.mBytesPerFrame = 2 * perBuffer;
  d.mBytesPerPacket = d.mBytesPerFrame;
  d.mFramesPerPacket = 1;
  d.mChannelsPerFrame = channels;
  d.mBitsPerChannel = 16;
  return d;
}

bool isUsablePcm(const AudioStreamBasicDescription& d) {
  if (d.mFormatID != kAudioFormatLinearPCM) return false;
  if (!std::isfinite(d.mSampleRate) || d.mSampleRate <= 0) return false;
  if (d.mChannelsPerFrame == 0 || d.mBitsPerChannel == 0 || d.mBitsPerChannel % 8 != 0) return false;
  const AudioFormat format{d};
  const std::uint64_t channelsPerBuffer = format.isInterleaved() ? d.mChannelsPerFrame : 1;
  return d.mBytesPerFrame == channelsPerBuffer * (d.mBitsPerChannel / 8);
}

std::shared_ptr<PcmBuffer> PcmBuffer::make(std::shared_ptr<const AudioFormat> format, std::uint32_t frameCapacity) {
  if (!format || !isUsablePcm(format->streamDescription) || frameCapacity == 0) return nullptr;
  const std::uint64_t bytes = std::uint64_t{frameCapacity} * format->bytesPerFrame();
  if (bytes > kMaxBufferBytes) return nullptr;
  std::shared_ptr<PcmBuffer> buffer(new PcmBuffer());
  const std::uint32_t count = format->bufferCount();
  const std::uint32_t channelsPerBuffer = format->isInterleaved() ? format->channelCount() : 1;
  buffer->storage_.assign(count, std::vector<std::uint8_t>(bytes));
  for (auto& storage : buffer->storage_) buffer->buffers_.push_back({channelsPerBuffer, 0, storage.data()});
  buffer->format_ = std::move(format);
  buffer->frameCapacity_ = frameCapacity;
  return buffer;
}

void PcmBuffer::setFrameLength(std::uint32_t frames) {
  frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_;
  for (auto& buffer : buffers_) buffer.mDataByteSize = frameLength_ * format_->bytesPerFrame();
}

std::int16_t* PcmBuffer::int16ChannelData() {
  if (!format_->isSignedInt16() || buffers_.empty()) return nullptr;
  return static_cast<std::int16_t*>(buffers_[0].mData);
}

}  // namespace vesk
