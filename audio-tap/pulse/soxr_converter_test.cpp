#include "audio-tap/pulse/soxr_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "audio-tap/capture/testing/fake_converter.h"

namespace vesk {
namespace {

// Feeds `seconds` of a stereo 440 Hz tone at 48000 Hz through the converter in blocks
// of 512 frames, as the pipeline does, and returns the 24000 Hz mono output.
std::vector<std::int16_t> convertTone(AudioConverterFactory& factory, double seconds) {
  auto from = factory.makeFormat(testing::float32Format(48000, 2));
  auto to = factory.makeInt16Format(24000, 1, true);
  auto converter = factory.makeConverter(*from, *to);
  EXPECT_NE(converter, nullptr);
  std::vector<std::int16_t> result;
  if (!converter) return result;
  const auto total = static_cast<std::uint32_t>(48000 * seconds);
  for (std::uint32_t start = 0; start < total; start += 512) {
    auto input = PcmBuffer::make(from, 512);
    input->setFrameLength(512);
    auto* samples = static_cast<float*>(input->mutableAudioBufferList()[0].mData);
    for (std::uint32_t i = 0; i < 512; ++i) {
      const float v = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 440.0 * (start + i) / 48000.0));
      samples[2 * i] = v;
      samples[2 * i + 1] = v;
    }
    auto output = PcmBuffer::make(to, 256 + 64);
    std::optional<std::string> error;
    bool given = false;
    const auto status = converter->convert(*output, error, [&](std::uint32_t, AudioConverterInputStatus& s) {
      s = given ? AudioConverterInputStatus::noDataNow : AudioConverterInputStatus::haveData;
      return given ? nullptr : (given = true, input);
    });
    EXPECT_NE(status, AudioConverterOutputStatus::error);
    EXPECT_FALSE(error.has_value());
    result.insert(result.end(), output->int16ChannelData(), output->int16ChannelData() + output->frameLength());
  }
  return result;
}

TEST(SoxrConverterTest, ResamplesAToneToHalfTheRateKeepingItsPitch) {
  auto factory = makeSoxrConverterFactory();
  const auto out = convertTone(*factory, 1.0);
  // Half as many samples, less what the filter holds back (a few tens of milliseconds).
  EXPECT_LE(out.size(), 24000u);
  EXPECT_GE(out.size(), 23000u);
  // Count rising zero crossings after the resampler has settled: 440 per second.
  int crossings = 0;
  for (std::size_t i = 2400; i + 1 < 2400 + 12000 && i + 1 < out.size(); ++i) {
    if (out[i] < 0 && out[i + 1] >= 0) ++crossings;
  }
  EXPECT_NEAR(crossings, 220, 2);
  std::int16_t peak = 0;
  for (std::size_t i = 2400; i < out.size(); ++i) peak = std::max<std::int16_t>(peak, out[i]);
  EXPECT_NEAR(peak, 16384, 400);
}

TEST(SoxrConverterTest, RefusesFormatsItCannotConvert) {
  auto factory = makeSoxrConverterFactory();
  auto mono16 = factory->makeInt16Format(24000, 1, true);
  auto stereo16 = factory->makeInt16Format(24000, 2, true);
  AudioStreamBasicDescription float64 = testing::float32Format(48000, 1);
  float64.mBitsPerChannel = 64;
  float64.mBytesPerFrame = float64.mBytesPerPacket = 8;
  auto doubles = factory->makeFormat(float64);
  ASSERT_NE(doubles, nullptr);
  EXPECT_EQ(factory->makeConverter(*doubles, *mono16), nullptr);
  EXPECT_EQ(factory->makeConverter(*mono16, *stereo16), nullptr);
  AudioStreamBasicDescription broken = testing::float32Format(48000, 2);
  broken.mBytesPerFrame = 3;
  EXPECT_EQ(factory->makeFormat(broken), nullptr);
  EXPECT_EQ(factory->makeFormat(testing::float32Format(0, 1)), nullptr);
}

}  // namespace
}  // namespace vesk
