// Text of tap errors.
//
// The sample rate is written the way std::to_chars writes a double in fixed notation
// without a precision, but through the C library: the floating-point std::to_chars is
// missing from the C++ library of macOS before 13.3, and the shared code runs on 11.0.
#include "audio-tap/capture/tap_error.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vesk {
namespace {

// A decimal: the integer `digits` times ten to the power `exponent`.
struct Decimal {
  std::uint64_t digits;
  int exponent;
};

bool readsBackAs(const Decimal& decimal, double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%" PRIu64 "e%d", decimal.digits, decimal.exponent);
  return std::strtod(text, nullptr) == value;
}

// `value` (finite, positive) correctly rounded to `count` significant digits.
Decimal roundedTo(double value, int count) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*e", count - 1, value);
  Decimal decimal{0, 0};
  const char* c = text;
  for (; *c && *c != 'e'; ++c) {
    if (*c >= '0' && *c <= '9') decimal.digits = decimal.digits * 10 + static_cast<std::uint64_t>(*c - '0');
  }
  decimal.exponent = (*c == 'e' ? std::atoi(c + 1) : 0) - (count - 1);
  return decimal;
}

// The fewest significant digits that read back as `value` (finite, positive) and,
// among those, the ones nearest to it: the value correctly rounded to that many digits,
// or where that misses (next to a power of two, where the gap below a double is half the
// gap above it) its neighbour on the far side of `value`.
Decimal shortestDecimal(double value) {
  for (int count = 1;; ++count) {
    Decimal rounded = roundedTo(value, count);
    if (count >= 17 || readsBackAs(rounded, value)) return rounded;
    char text[48];
    std::snprintf(text, sizeof text, "%" PRIu64 "e%d", rounded.digits, rounded.exponent);
    Decimal neighbour = rounded;
    if (std::strtod(text, nullptr) > value) {
      --neighbour.digits;
    } else {
      ++neighbour.digits;
    }
    if (readsBackAs(neighbour, value)) return neighbour;
  }
}

}  // namespace

std::string formatSampleRate(double rate) {
  if (std::isnan(rate)) return "nan";
  if (std::isinf(rate)) return rate < 0 ? "-inf" : "inf";
  std::string out = std::signbit(rate) ? "-" : "";
  const double magnitude = std::fabs(rate);
  if (magnitude == 0) {
    out += "0";
  } else if (magnitude >= 0x1p53) {
    // Every such double is an integer, written out exactly: all its fixed forms are
    // equally long, and the exact one is nearest.
    char text[400];  // the largest double has 309 digits
    std::snprintf(text, sizeof text, "%.0f", magnitude);
    out += text;
  } else {
    Decimal decimal = shortestDecimal(magnitude);
    while (decimal.digits % 10 == 0) {
      decimal.digits /= 10;
      ++decimal.exponent;
    }
    const std::string digits = std::to_string(decimal.digits);
    const int point = static_cast<int>(digits.size()) + decimal.exponent;  // digits before the point
    if (decimal.exponent >= 0) {
      out += digits + std::string(static_cast<std::size_t>(decimal.exponent), '0');
    } else if (point > 0) {
      out += digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
    } else {
      out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    }
  }
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

}  // namespace vesk
