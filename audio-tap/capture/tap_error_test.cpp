#include "audio-tap/capture/tap_error.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace vesk {
namespace {

// The text std::to_chars gives in fixed notation with no precision, plus ".0" on an
// integer: what the sample rate must read like on every platform.
std::string reference(double value) {
  char text[400];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  std::string out(text, result.ptr);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

TEST(FormatSampleRateTest, WritesWhatToCharsWrites) {
  std::vector<double> values = {
      48000,  44100,  96000, 8000, 22050.5, 0.1, 1e-7, 123456.789, 5e-324, 1e23, 0x1p53, 0x1p53 - 1,
      0x1p54, 1e300,  std::numeric_limits<double>::max(), std::numeric_limits<double>::min(), -44100.25, -0.0,
      9007199254740993.0, 2.5, 0.3, 1.0 / 3, 299792458, 4.35, 1e16, 1e15 + 0.5};
  // Either side of powers of two, where the gaps between doubles change size.
  for (int exponent = -1074; exponent <= 1023; exponent += 7) {
    const double power = std::ldexp(1.0, exponent);
    values.insert(values.end(), {power, std::nextafter(power, 0.0), std::nextafter(power, 1e308)});
  }
  std::mt19937_64 random(20261209);
  for (int i = 0; i < 10000; ++i) {
    std::uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value)) values.push_back(value);
    values.push_back(static_cast<double>(random() % 1000000) / 8.0);  // rates as devices give them
  }
  for (double value : values) ASSERT_EQ(formatSampleRate(value), reference(value)) << std::hexfloat << value;
}

}  // namespace
}  // namespace vesk
