// Command-line parsing of the audio tap.
#include "audio-tap/process/settings.h"

#include <limits>

namespace vesk {

std::optional<ProcessID> parseProcessID(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate in 64 bits and stop as soon as the value leaves the 32-bit range, so
  // any number of leading zeros is fine and no digit string can overflow.
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(std::numeric_limits<ProcessID>::min())
                                      : std::numeric_limits<ProcessID>::max();
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > limit) return std::nullopt;
  }
  return static_cast<ProcessID>(negative ? -value : value);
}

Settings parseArguments(std::span<const std::string> arguments) {
  Settings settings;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--exclude-pid" && i + 1 < arguments.size()) {
      if (auto pid = parseProcessID(arguments[++i])) settings.extraPIDs.push_back(*pid);
    } else if (argument == "--debug") {
      settings.debug = true;
    } else if (argument == "--exclude-descendants") {
      settings.excludeDescendants = true;
    }
  }
  return settings;
}

}  // namespace vesk
