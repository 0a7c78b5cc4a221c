// libsoxr at high quality, streaming: the resampler's history carries over from one
// buffer to the next, so a capture converts as one continuous signal. Called on the
// conversion queue, one call at a time.
#include "audio-tap/pulse/soxr_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace vesk::pulse {
namespace {

class SoxrConverter final : public AudioConverter {
 public:
  SoxrConverter(soxr_t resampler, AudioFormat from, double ratio)
      : resampler_(resampler), from_(std::move(from)), ratio_(ratio) {
    // A short cushion of silence ahead of the signal absorbs the resampler's uneven
    // output, so every call yields samples and none runs short later.
    primed_.assign(static_cast<std::size_t>(kCushionSeconds * from_.sampleRate() * ratio_), 0);
  }
  ~SoxrConverter() override { soxr_delete(resampler_); }
  SoxrConverter(const SoxrConverter&) = delete;
  SoxrConverter& operator=(const SoxrConverter&) = delete;

  // Output follows input time exactly: after n input frames in all, n x ratio output
  // frames in all, whatever the resampler holds back. Until its first samples arrive
  // (its delay) the difference is made up with silence, as a primed converter does.
  AudioConverterOutputStatus convert(PcmBuffer& output, std::optional<std::string>& error,
                                     const AudioConverterInputBlock& input) override {
    std::int16_t* out = output.int16ChannelData();
    if (!out) {
      error = "The output buffer does not hold 16-bit samples.";
      return AudioConverterOutputStatus::error;
    }
    const std::uint64_t capacity = output.frameCapacity();
    AudioConverterOutputStatus result = AudioConverterOutputStatus::haveData;
    while (owed() < capacity) {
      AudioConverterInputStatus status = AudioConverterInputStatus::noDataNow;
      std::shared_ptr<PcmBuffer> buffer = input(static_cast<std::uint32_t>(capacity - owed()), status);
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
      if (auto failure = resample()) {
        error = std::string("Resampling failed: ") + failure;
        return AudioConverterOutputStatus::error;
      }
      inputFrames_ += mono_.size();
    }
    std::size_t count = static_cast<std::size_t>(std::min(owed(), capacity));
    std::size_t fromResampler = std::min(count, primed_.size());
    std::copy_n(primed_.begin(), fromResampler, out);
    primed_.erase(primed_.begin(), primed_.begin() + static_cast<std::ptrdiff_t>(fromResampler));
    std::fill(out + fromResampler, out + count, 0);
    outputFrames_ += count;
    output.setFrameLength(static_cast<std::uint32_t>(count));
    // Like the platform converter: samples made count as data even when input ran dry.
    return count > 0 ? AudioConverterOutputStatus::haveData : result;
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

  std::uint64_t owed() const {
    return static_cast<std::uint64_t>(std::llround(static_cast<double>(inputFrames_) * ratio_)) - outputFrames_;
  }

  // Runs mono_ through the resampler, appending what comes out to primed_.
  soxr_error_t resample() {
    const float* in = mono_.data();
    std::size_t left = mono_.size();
    scratch_.resize(static_cast<std::size_t>(static_cast<double>(left) * ratio_) + 1024);
    for (;;) {
      std::size_t used = 0, made = 0;
      if (soxr_error_t failure = soxr_process(resampler_, in, left, &used, scratch_.data(), scratch_.size(), &made)) {
        return failure;
      }
      primed_.insert(primed_.end(), scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(made));
      in += used;
      left -= used;
      if (left == 0 && made < scratch_.size()) return nullptr;
    }
  }

  // Covers the resampler's widest swing between blocks (about 40 ms at common rates).
  static constexpr double kCushionSeconds = 0.050;

  soxr_t resampler_;
  AudioFormat from_;
  double ratio_;
  std::vector<float> mono_;
  std::vector<std::int16_t> scratch_;
  std::deque<std::int16_t> primed_;  // resampled samples not yet handed out
  std::uint64_t inputFrames_ = 0;
  std::uint64_t outputFrames_ = 0;
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
  return std::make_shared<SoxrConverter>(resampler, from, to.sampleRate() / from.sampleRate());
}

}  // namespace vesk::pulse
