// Text of tap errors.
#include "audio-tap/capture/tap_error.h"

#include <charconv>
#include <cmath>

namespace vesk {

std::string formatSampleRate(double rate) {
  if (std::isnan(rate)) return "nan";
  if (std::isinf(rate)) return rate < 0 ? "-inf" : "inf";
  char text[400];  // the fixed form of the largest double has 309 digits
  const auto result = std::to_chars(text, text + sizeof text, rate, std::chars_format::fixed);
  std::string out(text, result.ptr);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

}  // namespace vesk
