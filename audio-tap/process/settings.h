// Process-wide settings of the audio tap and the command line that sets them. They
// are fixed before any other thread or queue runs and only read afterwards, so any
// thread may read them without a lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

using ProcessID = std::int32_t;

struct Settings {
  /// Rate of the converted output, in Hz.
  double outputSampleRate = 24000.0;
  /// Samples in a full frame (200 ms at 24000 Hz).
  std::int64_t framesPerChunk = 4800;
  /// Whether "debug" events are sent; each sender checks it itself.
  bool debug = false;
  /// Processes given with "--exclude-pid", in command-line order, duplicates kept.
  std::vector<ProcessID> extraPIDs;
  /// "--exclude-descendants": every descendant of a left-out process is left out too.
  bool excludeDescendants = false;
};

/// A "--exclude-pid" value: an optional sign, one or more ASCII digits and nothing
/// else, in the signed 32-bit range; none for anything else.
std::optional<ProcessID> parseProcessID(std::string_view text);

/// Settings from the arguments after the program path. "--exclude-pid" consumes the
/// next argument whatever it holds; "--debug" and "--exclude-descendants" are flags
/// that may stand anywhere; unknown arguments and bad values are dropped.
Settings parseArguments(std::span<const std::string> arguments);

}  // namespace vesk
