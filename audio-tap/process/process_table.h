// The process-table seam: which processes exist, each with its parent and its start
// time. The kernel's table is read while processes come and go, so a list may hold a
// parent that has already been replaced by a newer process with the same identifier;
// the start time tells the two apart. Linux reads /proc, macOS sysctl; tests use a
// fake table.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "audio-tap/process/settings.h"

namespace vesk {

struct ProcessEntry {
  ProcessID pid = 0;
  ProcessID parentPID = 0;
  /// When the process started, in the platform's units, growing over the life of the
  /// machine; 0 when unknown. Only compared with other start times of the same table.
  std::uint64_t startTime = 0;
  bool operator==(const ProcessEntry&) const = default;
};

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  /// Every process that exists now, in no particular order. Any thread.
  virtual std::vector<ProcessEntry> returnProcesses() = 0;
  /// One process; none when it does not exist (any more). Any thread.
  virtual std::optional<ProcessEntry> returnProcess(ProcessID pid) = 0;
};

}  // namespace vesk
