// Formats as plain PCM descriptions, converters over libsoxr. Called on the main queue.
#include "audio-tap/linux/pcm_converters.h"

#include "audio-tap/pulse/soxr_converter.h"

namespace vesk {
namespace {

class PcmConverterFactory final : public AudioConverterFactory {
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
    return pulse::makeSoxrConverter(from, to);
  }
};

}  // namespace

std::unique_ptr<AudioConverterFactory> makePcmConverterFactory() { return std::make_unique<PcmConverterFactory>(); }

}  // namespace vesk
