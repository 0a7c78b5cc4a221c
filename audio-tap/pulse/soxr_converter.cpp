// The Linux converter: channels averaged to mono, resampled, rounded to 16 bits.
// An exact 2:1 ratio (48 kHz devices) goes through a half-band decimator, whose output
// follows its input within 2 ms; any other ratio through libsoxr at high quality,
// whose block filter hands out samples in bursts. Resampler histories carry over from
// one buffer to the next, so a capture converts as one continuous signal. Rounding
// adds no dither: digital silence in gives exact zeros out. Conversion queue, one call
// at a time; after the first buffers nothing on this path allocates.
#include "audio-tap/pulse/soxr_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "audio-tap/pulse/half_band_decimator.h"

namespace vesk::pulse {
namespace {

// libsoxr's block filter holds back up to about 40 ms of output at common rates (38 ms
// measured at 48 kHz in 10 ms buffers); a lead of silence this long covers it, so every
// call yields samples and none runs short later. The half-band path needs none.
constexpr double kSoxrLeadSeconds = 0.050;

std::int16_t toInt16(float sample) {
  const float scaled = std::clamp(sample * 32768.0f, -32768.0f, 32767.0f);
  return static_cast<std::int16_t>(scaled + (scaled >= 0 ? 0.5f : -0.5f));
}

class SoxrConverter final : public AudioConverter {
 public:
  SoxrConverter(soxr_t resampler, AudioFormat from, double ratio)
      : resampler_(resampler), from_(std::move(from)), ratio_(ratio) {
    if (resampler_) ready_.assign(static_cast<std::size_t>(kSoxrLeadSeconds * from_.sampleRate() * ratio_), 0.0f);
    else halfBand_.emplace();
  }
  ~SoxrConverter() override {
    if (resampler_) soxr_delete(resampler_);
  }
  SoxrConverter(const SoxrConverter&) = delete;
  SoxrConverter& operator=(const SoxrConverter&) = delete;

  // Output follows input time: after n input frames in all, n x ratio output frames in
  // all, less what the resampler still holds beyond the lead (made up in later calls).
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
      const float* mono = monoOf(*buffer);
      if (!mono) {
        error = "The input buffer does not match the converter's format.";
        return AudioConverterOutputStatus::error;
      }
      if (auto failure = resample(mono, buffer->frameLength())) {
        error = std::string("Resampling failed: ") + failure;
        return AudioConverterOutputStatus::error;
      }
      inputFrames_ += buffer->frameLength();
    }
    const std::size_t count = static_cast<std::size_t>(std::min({owed(), capacity, std::uint64_t{ready_.size() - head_}}));
    std::transform(ready_.begin() + static_cast<std::ptrdiff_t>(head_),
                   ready_.begin() + static_cast<std::ptrdiff_t>(head_ + count), out, toInt16);
    consume(count);
    outputFrames_ += count;
    output.setFrameLength(static_cast<std::uint32_t>(count));
    // Like the platform converter: samples made count as data even when input ran dry.
    return count > 0 ? AudioConverterOutputStatus::haveData : result;
  }

 private:
  // The buffer's samples as one mono float signal: the buffer's own memory when it
  // already is float mono, otherwise the channels' average in mono_. Null when the
  // buffer is not in the converter's format.
  const float* monoOf(const PcmBuffer& buffer) {
    const AudioFormat& format = *buffer.format();
    if (format.sampleRate() != from_.sampleRate() || format.channelCount() != from_.channelCount() ||
        format.isFloat32() != from_.isFloat32()) {
      return nullptr;
    }
    const std::size_t frames = buffer.frameLength();
    const std::uint32_t channels = format.channelCount();
    const bool isFloat = format.isFloat32();
    const std::size_t sampleBytes = isFloat ? 4 : 2;
    AudioBufferListRef list = buffer.audioBufferList();
    if (list.mNumberBuffers < format.bufferCount()) return nullptr;
    for (std::uint32_t b = 0; b < format.bufferCount(); ++b) {
      const std::size_t perFrame = format.isInterleaved() ? channels : 1;
      if (!list.mBuffers[b].mData || list.mBuffers[b].mDataByteSize < frames * perFrame * sampleBytes) return nullptr;
    }
    if (isFloat && channels == 1) return static_cast<const float*>(list.mBuffers[0].mData);
    mono_.assign(frames, 0.0f);
    for (std::uint32_t c = 0; c < channels; ++c) {
      // Interleaved: one buffer, channel c at every channels-th sample. Planar: buffer c.
      const bool interleaved = format.isInterleaved();
      const auto* bytes = static_cast<const std::uint8_t*>(list.mBuffers[interleaved ? 0 : c].mData);
      const std::size_t stride = interleaved ? channels : 1, offset = interleaved ? c : 0;
      for (std::size_t i = 0; i < frames; ++i) mono_[i] += sampleAt(bytes, i * stride + offset, isFloat);
    }
    if (channels > 1) {
      for (float& s : mono_) s /= static_cast<float>(channels);
    }
    return mono_.data();
  }

  static float sampleAt(const std::uint8_t* bytes, std::size_t index, bool isFloat) {
    if (isFloat) {
      float f;
      std::memcpy(&f, bytes + index * 4, 4);
      return f;
    }
    std::int16_t s;
    std::memcpy(&s, bytes + index * 2, 2);
    return static_cast<float>(s) / 32768.0f;
  }

  std::uint64_t owed() const {
    return static_cast<std::uint64_t>(std::llround(static_cast<double>(inputFrames_) * ratio_)) - outputFrames_;
  }

  // Runs `count` mono samples through the resampler, appending its output to ready_.
  soxr_error_t resample(const float* in, std::size_t count) {
    const std::size_t start = ready_.size();
    if (halfBand_) {
      ready_.resize(start + (count + 1) / 2);
      ready_.resize(start + halfBand_->process(in, count, ready_.data() + start));
      return nullptr;
    }
    const std::size_t room = static_cast<std::size_t>(static_cast<double>(count) * ratio_) + 1024;
    std::size_t left = count, made = 0;
    for (;;) {
      std::size_t used = 0, madeNow = 0;
      ready_.resize(start + made + room);
      if (soxr_error_t failure = soxr_process(resampler_, in, left, &used, ready_.data() + start + made, room, &madeNow)) {
        ready_.resize(start + made);
        return failure;
      }
      made += madeNow;
      in += used;
      left -= used;
      if (left == 0 && madeNow < room) break;
    }
    ready_.resize(start + made);
    return nullptr;
  }

  void consume(std::size_t count) {
    head_ += count;
    // Handed-out samples are dropped now and then, not at every call.
    if (head_ >= 4096 && head_ * 2 >= ready_.size()) {
      ready_.erase(ready_.begin(), ready_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
  }

  soxr_t resampler_;  // null on the half-band path
  std::optional<HalfBandDecimator> halfBand_;
  AudioFormat from_;
  double ratio_;
  std::vector<float> mono_;
  std::vector<float> ready_;  // resampled samples; those before head_ are handed out
  std::size_t head_ = 0;
  std::uint64_t inputFrames_ = 0;
  std::uint64_t outputFrames_ = 0;
};

}  // namespace

std::shared_ptr<AudioConverter> makeSoxrConverter(const AudioFormat& from, const AudioFormat& to) {
  if (!(from.isFloat32() || from.isSignedInt16()) || from.channelCount() == 0 || !(from.sampleRate() > 0)) {
    return nullptr;
  }
  if (!to.isSignedInt16() || to.channelCount() != 1 || !(to.sampleRate() > 0)) return nullptr;
  if (from.sampleRate() == 2 * to.sampleRate()) return std::make_shared<SoxrConverter>(nullptr, from, 0.5);
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t error = nullptr;
  soxr_t resampler = soxr_create(from.sampleRate(), to.sampleRate(), 1, &error, &io, &quality, nullptr);
  if (error || !resampler) return nullptr;
  return std::make_shared<SoxrConverter>(resampler, from, to.sampleRate() / from.sampleRate());
}

}  // namespace vesk::pulse
