// Sample-rate and format conversion over libsoxr (soxr_create, soxr_process). Formats
// and converters are made on the main queue; convert() runs on the conversion queue.
#include "audio-tap/pulse/soxr_converter.h"

#include <soxr.h>

#include <cstring>
#include <vector>

namespace vesk {
namespace {

// One sample of channel `channel`, frame `frame`, of a buffer in `format`, as a float.
float sampleAt(const PcmBuffer& buffer, const AudioFormat& format, std::uint32_t frame, std::uint32_t channel) {
  const AudioBufferListRef list = buffer.audioBufferList();
  const bool interleaved = format.isInterleaved();
  const AudioBuffer& b = list.mBuffers[interleaved ? 0 : channel];
  const std::size_t index = interleaved ? std::size_t{frame} * format.channelCount() + channel : frame;
  if (format.isFloat32()) {
    float value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(b.mData) + 4 * index, 4);
    return value;
  }
  std::int16_t value;
  std::memcpy(&value, static_cast<const std::uint8_t*>(b.mData) + 2 * index, 2);
  return static_cast<float>(value) / 32768.0f;
}

class SoxrConverter final : public AudioConverter {
 public:
  SoxrConverter(soxr_t soxr, AudioFormat from) : soxr_(soxr), from_(from) {}
  ~SoxrConverter() override { soxr_delete(soxr_); }

  AudioConverterOutputStatus convert(PcmBuffer& output, std::optional<std::string>& error,
                                     const AudioConverterInputBlock& input) override {
    AudioConverterInputStatus status = AudioConverterInputStatus::noDataNow;
    std::shared_ptr<PcmBuffer> buffer = input(output.frameCapacity(), status);
    std::int16_t* out = output.int16ChannelData();
    if (!buffer || status != AudioConverterInputStatus::haveData || out == nullptr) {
      output.setFrameLength(0);
      return AudioConverterOutputStatus::inputRanDry;
    }
    mixDown(*buffer);
    std::size_t used = 0, made = 0;
    soxr_error_t failure =
        soxr_process(soxr_, mono_.data(), mono_.size(), &used, out, output.frameCapacity(), &made);
    output.setFrameLength(static_cast<std::uint32_t>(made));
    if (failure) {
      error = failure;
      return AudioConverterOutputStatus::error;
    }
    return AudioConverterOutputStatus::haveData;
  }

 private:
  void mixDown(const PcmBuffer& buffer) {
    const std::uint32_t channels = from_.channelCount();
    mono_.assign(buffer.frameLength(), 0.0f);
    for (std::uint32_t frame = 0; frame < buffer.frameLength(); ++frame) {
      float sum = 0;
      for (std::uint32_t c = 0; c < channels; ++c) sum += sampleAt(buffer, from_, frame, c);
      mono_[frame] = sum / static_cast<float>(channels);
    }
  }

  soxr_t soxr_;
  AudioFormat from_;
  std::vector<float> mono_;
};

class SoxrConverterFactory final : public AudioConverterFactory {
 public:
  std::shared_ptr<const AudioFormat> makeFormat(const AudioStreamBasicDescription& description) override {
    if (!isUsablePcm(description)) return nullptr;
    return std::make_shared<const AudioFormat>(AudioFormat{description});
  }
  std::shared_ptr<const AudioFormat> makeInt16Format(double sampleRate, std::uint32_t channels,
                                                      bool interleaved) override {
    return makeFormat(int16StreamDescription(sampleRate, channels, interleaved));
  }
  std::shared_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override {
    if (!(from.isFloat32() || from.isSignedInt16()) || !to.isSignedInt16() || to.channelCount() != 1) return nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t failure = nullptr;
    soxr_t soxr = soxr_create(from.sampleRate(), to.sampleRate(), 1, &failure, &io, &quality, nullptr);
    if (failure || soxr == nullptr) return nullptr;
    return std::make_shared<SoxrConverter>(soxr, from);
  }
};

}  // namespace

std::unique_ptr<AudioConverterFactory> makeSoxrConverterFactory() { return std::make_unique<SoxrConverterFactory>(); }

}  // namespace vesk
