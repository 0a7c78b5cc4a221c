// The failure of a capture start: nothing but its message, which the command handler
// reports word for word.
#pragma once

#include <string>

namespace vesk {

struct TapError {
  explicit TapError(std::string message) : description(std::move(message)) {}
  std::string description;
  bool operator==(const TapError&) const = default;
};

/// A sample rate in the shortest decimal form that reads back as the same double,
/// always with a fractional part: 48000 gives "48000.0", 44100.5 gives "44100.5".
std::string formatSampleRate(double rate);

}  // namespace vesk
