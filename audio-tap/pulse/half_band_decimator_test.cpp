#include "audio-tap/pulse/half_band_decimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace vesk::pulse {
namespace {

// Decimates `input` in pieces of `piece` samples.
std::vector<float> decimate(const std::vector<float>& input, std::size_t piece) {
  HalfBandDecimator decimator;
  std::vector<float> out;
  for (std::size_t i = 0; i < input.size(); i += piece) {
    std::size_t count = std::min(piece, input.size() - i);
    std::vector<float> part((count + 1) / 2);
    part.resize(decimator.process(input.data() + i, count, part.data()));
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

// Amplitude of a tone of `hz` at 48 kHz after decimation, past the filter's start.
double gainAt(double hz) {
  std::vector<float> tone(48000);
  for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<float>(std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / 48000));
  auto out = decimate(tone, 480);
  double peak = 0;
  for (std::size_t i = 1000; i < out.size(); ++i) peak = std::max(peak, std::abs(static_cast<double>(out[i])));
  return peak;
}

TEST(HalfBandDecimatorTest, PassesTheBandAndStopsWhatWouldFoldIntoIt) {
  struct Case {
    double hz, gain, tolerance;
  };
  for (const Case& c : {Case{1000, 1, 1e-4}, Case{10800, 1, 1e-4}, Case{13000, 0, 2e-6}, Case{16000, 0, 2e-6},
                        Case{23000, 0, 2e-6}}) {
    EXPECT_NEAR(gainAt(c.hz), c.gain, c.tolerance) << c.hz << " Hz";
  }
}

TEST(HalfBandDecimatorTest, HalvesTheCountInAnyPiecesAndDelaysByAFixedAmount) {
  std::vector<float> impulse(4000, 0.0f);
  impulse[1000] = 1.0f;
  for (std::size_t piece : {1u, 7u, 480u, 4000u}) {
    auto out = decimate(impulse, piece);
    ASSERT_EQ(out.size(), 2000u) << piece;
    EXPECT_NEAR(out[500 + HalfBandDecimator::kDelayOutputFrames], 0.5f, 1e-6) << piece;
    EXPECT_FLOAT_EQ(out[0], 0.0f);
  }
}

}  // namespace
}  // namespace vesk::pulse
