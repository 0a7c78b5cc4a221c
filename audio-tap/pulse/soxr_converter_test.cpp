#include "audio-tap/pulse/soxr_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <vector>

namespace vesk::pulse {
namespace {

std::shared_ptr<const AudioFormat> floatFormat(double rate, std::uint32_t channels, bool interleaved) {
  AudioStreamBasicDescription d;
  d.mSampleRate = rate;
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved);
  d.mBytesPerPacket = d.mBytesPerFrame = interleaved ? 4 * channels : 4;
  d.mFramesPerPacket = 1;
  d.mChannelsPerFrame = channels;
  d.mBitsPerChannel = 32;
  return std::make_shared<const AudioFormat>(AudioFormat{d});
}

std::shared_ptr<const AudioFormat> int16Format(double rate, std::uint32_t channels) {
  return std::make_shared<const AudioFormat>(AudioFormat{int16StreamDescription(rate, channels, true)});
}

// Converts `frames` of a signal (a function of time in seconds) in buffers of `block`
// frames, the way the capture pipeline does: one input buffer per call, offered once.
std::vector<std::int16_t> convertSignal(AudioConverter& converter, const std::shared_ptr<const AudioFormat>& from,
                                        std::size_t frames, std::size_t block, const std::function<double(double)>& signal) {
  auto to = int16Format(24000, 1);
  std::vector<std::int16_t> result;
  std::uint32_t channels = from->channelCount();
  for (std::size_t start = 0; start < frames; start += block) {
    auto input = PcmBuffer::make(from, static_cast<std::uint32_t>(block));
    input->setFrameLength(static_cast<std::uint32_t>(block));
    auto list = input->mutableAudioBufferList();
    for (std::size_t i = 0; i < block; ++i) {
      double v = signal(static_cast<double>(start + i) / from->sampleRate());
      for (std::uint32_t c = 0; c < channels; ++c) {
        if (from->isFloat32()) {
          float f = static_cast<float>(v);
          auto& b = list[from->isInterleaved() ? 0 : c];
          std::memcpy(static_cast<std::uint8_t*>(b.mData) + 4 * (from->isInterleaved() ? i * channels + c : i), &f, 4);
        } else {
          auto s = static_cast<std::int16_t>(std::lround(v * 32767));
          std::memcpy(static_cast<std::uint8_t*>(list[0].mData) + 2 * (i * channels + c), &s, 2);
        }
      }
    }
    auto output = PcmBuffer::make(to, static_cast<std::uint32_t>(static_cast<double>(block) * 24000 / from->sampleRate()) + 64);
    bool offered = false;
    std::optional<std::string> error;
    converter.convert(*output, error, [&](std::uint32_t, AudioConverterInputStatus& status) {
      status = offered ? AudioConverterInputStatus::noDataNow : AudioConverterInputStatus::haveData;
      return std::exchange(offered, true) ? nullptr : input;
    });
    EXPECT_FALSE(error.has_value());
    // Every buffer yields samples, also while the resampler fills up.
    EXPECT_GT(output->frameLength(), 0u);
    result.insert(result.end(), output->int16ChannelData(), output->int16ChannelData() + output->frameLength());
  }
  return result;
}

std::vector<std::int16_t> convertSine(AudioConverter& converter, const std::shared_ptr<const AudioFormat>& from,
                                      double hz, std::size_t frames, std::size_t block, float amplitude) {
  return convertSignal(converter, from, frames, block,
                       [&](double t) { return amplitude * std::sin(2 * std::numbers::pi * hz * t); });
}

// Strength of one frequency in the signal (Goertzel), relative to a full-scale sine.
double level(const std::vector<std::int16_t>& s, double hz, double rate) {
  double w = 2 * std::numbers::pi * hz / rate, coeff = 2 * std::cos(w), s1 = 0, s2 = 0;
  for (std::int16_t x : s) {
    double s0 = x / 32768.0 + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return 2 * std::sqrt(s1 * s1 + s2 * s2 - coeff * s1 * s2) / static_cast<double>(s.size());
}

TEST(SoxrConverterTest, ResamplesEveryInputLayoutToMono24k) {
  struct Case {
    const char* name;
    std::shared_ptr<const AudioFormat> from;
  };
  for (const Case& c : std::vector<Case>{
           {"float mono 48k", floatFormat(48000, 1, true)},
           {"float mono 44.1k", floatFormat(44100, 1, true)},
           {"float stereo interleaved 48k", floatFormat(48000, 2, true)},
           {"float stereo planar 96k", floatFormat(96000, 2, false)},
           {"int16 stereo 16k", int16Format(16000, 2)},
       }) {
    auto converter = makeSoxrConverter(*c.from, *int16Format(24000, 1));
    ASSERT_NE(converter, nullptr) << c.name;
    std::size_t frames = static_cast<std::size_t>(c.from->sampleRate());  // one second
    auto out = convertSine(*converter, c.from, 1000, frames, static_cast<std::size_t>(c.from->sampleRate() / 100), 0.5f);
    // One second in, exactly one second out: the resampler's delay is made up with
    // silence ahead of the signal, so output keeps pace with input time.
    EXPECT_EQ(out.size(), 24000u) << c.name;
    std::vector<std::int16_t> steady(out.begin() + 2400, out.end());  // past the delay
    EXPECT_NEAR(level(steady, 1000, 24000), 0.5, 0.02) << c.name;
    EXPECT_LT(level(steady, 3000, 24000), 0.005) << c.name;
  }
}

TEST(SoxrConverterTest, DigitalSilenceGivesExactZeros) {
  // No dither: silence from the start, and silence after a tone once the filter's
  // tail has passed, come out as exact zeros on both resampling paths.
  for (const auto& from : {floatFormat(48000, 1, true), floatFormat(44100, 1, true), floatFormat(96000, 2, false),
                           int16Format(16000, 2)}) {
    std::size_t second = static_cast<std::size_t>(from->sampleRate()), block = second / 100;
    auto silent = convertSignal(*makeSoxrConverter(*from, *int16Format(24000, 1)), from, second, block,
                                [](double) { return 0.0; });
    EXPECT_EQ(std::count(silent.begin(), silent.end(), 0), static_cast<std::ptrdiff_t>(silent.size()))
        << from->sampleRate();
    auto toneThenSilence = convertSignal(*makeSoxrConverter(*from, *int16Format(24000, 1)), from, 2 * second, block,
                                         [](double t) { return t < 1 ? 0.5 * std::sin(2 * std::numbers::pi * 440 * t) : 0.0; });
    std::vector<std::int16_t> tail(toneThenSilence.begin() + 24000 + 2400, toneThenSilence.end());  // 100 ms on
    EXPECT_EQ(std::count(tail.begin(), tail.end(), 0), static_cast<std::ptrdiff_t>(tail.size())) << from->sampleRate();
  }
}

TEST(SoxrConverterTest, AMixBeyondFullScaleSaturatesAndNeverWraps) {
  // Two loud streams summed: a sine at 1.8 of full scale. Rounded to 16 bits it is cut
  // flat at both limits (over a third of a period at each); wrapped, it would fold over.
  for (const auto& from : {floatFormat(48000, 1, true), floatFormat(44100, 1, true)}) {
    auto out = convertSine(*makeSoxrConverter(*from, *int16Format(24000, 1)), from, 440,
                           static_cast<std::size_t>(from->sampleRate()), static_cast<std::size_t>(from->sampleRate() / 100), 1.8f);
    std::vector<std::int16_t> steady(out.begin() + 2400, out.end());
    const auto atMax = std::count(steady.begin(), steady.end(), std::int16_t{32767});
    const auto atMin = std::count(steady.begin(), steady.end(), std::int16_t{-32768});
    EXPECT_GT(atMax, static_cast<std::ptrdiff_t>(steady.size() / 4)) << from->sampleRate();
    EXPECT_GT(atMin, static_cast<std::ptrdiff_t>(steady.size() / 4)) << from->sampleRate();
  }
}

TEST(SoxrConverterTest, RefusesFormatsItCannotServe) {
  auto to = int16Format(24000, 1);
  EXPECT_EQ(makeSoxrConverter(*floatFormat(48000, 1, true), *int16Format(24000, 2)), nullptr);
  EXPECT_EQ(makeSoxrConverter(*floatFormat(48000, 1, true), *floatFormat(24000, 1, true)), nullptr);
  AudioStreamBasicDescription weird = floatFormat(48000, 1, true)->streamDescription;
  weird.mBitsPerChannel = 24;
  weird.mFormatFlags = kAudioFormatFlagIsSignedInteger;
  EXPECT_EQ(makeSoxrConverter(AudioFormat{weird}, *to), nullptr);
}

TEST(SoxrConverterTest, AnInputBufferOfAnotherFormatIsAnError) {
  auto converter = makeSoxrConverter(*floatFormat(48000, 1, true), *int16Format(24000, 1));
  auto wrong = PcmBuffer::make(floatFormat(44100, 1, true), 441);
  wrong->setFrameLength(441);
  auto output = PcmBuffer::make(int16Format(24000, 1), 304);
  std::optional<std::string> error;
  bool offered = false;
  auto status = converter->convert(*output, error, [&](std::uint32_t, AudioConverterInputStatus& s) {
    s = offered ? AudioConverterInputStatus::noDataNow : AudioConverterInputStatus::haveData;
    return std::exchange(offered, true) ? nullptr : wrong;
  });
  EXPECT_EQ(status, AudioConverterOutputStatus::error);
  EXPECT_TRUE(error.has_value());
}

}  // namespace
}  // namespace vesk::pulse
