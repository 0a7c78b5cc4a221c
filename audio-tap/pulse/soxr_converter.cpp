// libsoxr at high quality, streaming: the resampler's history carries over from one
// buffer to the next, so a capture converts as one continuous signal. Called on the
// conversion queue, one call at a time.
#include "audio-tap/pulse/soxr_converter.h"

#include <soxr.h>

#include <cstring>
#include <string>
#include <vector>

namespace vesk::pulse {
namespace {

class SoxrConverter final : public AudioConverter {
 public:
  SoxrConverter(soxr_t resampler, AudioFormat from) : resampler_(resampler), from_(std::move(from)) {}
  ~SoxrConverter() override { soxr_delete(resampler_); }
  SoxrConverter(const SoxrConverter&) = delete;
  SoxrConverter& operator=(const SoxrConverter&) = delete;

  AudioConverterOutputStatus convert(PcmBuffer& output, std::optional<std::string>& error,
                                     const AudioConverterInputBlock& input) override {
    std::int16_t* out = output.int16ChannelData();
    if (!out) {
      error = "The output buffer does not hold 16-bit samples.";
      return AudioConverterOutputStatus::error;
    }
    std::size_t capacity = output.frameCapacity();
    std::size_t produced = 0;
    AudioConverterOutputStatus result = AudioConverterOutputStatus::haveData;
    while (produced < capacity) {
      AudioConverterInputStatus status = AudioConverterInputStatus::noDataNow;
      std::shared_ptr<PcmBuffer> buffer = input(static_cast<std::uint32_t>(capacity - produced), status);
      if (status == AudioConverterInputStatus::endOfStream) {
        result = AudioConverterOutputStatus::endOfStream;
        break;
      }
      if (status != AudioConverterInputStatus::haveData || !buffer) {
        result = AudioConverterOutputStatus::inputRanDry;
        break;
      }
      if (!downmix(*buffer)) {
        error = "The input buffer does not match the converter's format.";
        return AudioConverterOutputStatus::error;
      }
      std::size_t used = 0, made = 0;
      soxr_error_t failure =
          soxr_process(resampler_, mono_.data(), mono_.size(), &used, out + produced, capacity - produced, &made);
      if (failure) {
        error = std::string("Resampling failed: ") + failure;
        return AudioConverterOutputStatus::error;
      }
      produced += made;
    }
    output.setFrameLength(static_cast<std::uint32_t>(produced));
    // Like the platform converter: samples made count as data even when input ran dry.
    return produced > 0 ? AudioConverterOutputStatus::haveData : result;
  }

 private:
  // Averages the channels of `buffer` into mono_ as floats.
  bool downmix(const PcmBuffer& buffer) {
    const AudioFormat& format = *buffer.format();
    if (format.sampleRate() != from_.sampleRate() || format.channelCount() != from_.channelCount() ||
        format.isFloat32() != from_.isFloat32()) {
      return false;
    }
    std::size_t frames = buffer.frameLength();
    std::uint32_t channels = format.channelCount();
    AudioBufferListRef list = buffer.audioBufferList();
    mono_.assign(frames, 0.0f);
    for (std::uint32_t c = 0; c < channels; ++c) {
      // Interleaved: one buffer, channel c at every channels-th sample. Planar: buffer c.
      bool interleaved = format.isInterleaved();
      const AudioBuffer& b = list.mBuffers[interleaved ? 0 : c];
      if (!b.mData) return false;
      std::size_t stride = interleaved ? channels : 1;
      std::size_t offset = interleaved ? c : 0;
      std::size_t sampleBytes = format.isFloat32() ? 4 : 2;
      if (b.mDataByteSize < (frames == 0 ? 0 : ((frames - 1) * stride + offset + 1) * sampleBytes)) return false;
      for (std::size_t i = 0; i < frames; ++i) mono_[i] += sampleAt(b, i * stride + offset, format.isFloat32());
    }
    if (channels > 1) {
      for (float& s : mono_) s /= static_cast<float>(channels);
    }
    return true;
  }

  static float sampleAt(const AudioBuffer& b, std::size_t index, bool isFloat) {
    if (isFloat) {
      float f;
      std::memcpy(&f, static_cast<const std::uint8_t*>(b.mData) + index * 4, 4);
      return f;
    }
    std::int16_t s;
    std::memcpy(&s, static_cast<const std::uint8_t*>(b.mData) + index * 2, 2);
    return static_cast<float>(s) / 32768.0f;
  }

  soxr_t resampler_;
  AudioFormat from_;
  std::vector<float> mono_;
};

}  // namespace

std::shared_ptr<AudioConverter> makeSoxrConverter(const AudioFormat& from, const AudioFormat& to) {
  if (!(from.isFloat32() || from.isSignedInt16()) || from.channelCount() == 0 || !(from.sampleRate() > 0)) {
    return nullptr;
  }
  if (!to.isSignedInt16() || to.channelCount() != 1 || !(to.sampleRate() > 0)) return nullptr;
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
  soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t error = nullptr;
  soxr_t resampler = soxr_create(from.sampleRate(), to.sampleRate(), 1, &error, &io, &quality, nullptr);
  if (error || !resampler) return nullptr;
  return std::make_shared<SoxrConverter>(resampler, from);
}

}  // namespace vesk::pulse
