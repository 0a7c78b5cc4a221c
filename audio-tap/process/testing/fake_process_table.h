// A process table for tests: the entries a test sets, returned as they stand (racy
// tables included: cycles, stale parents, reused identifiers), with a count of reads.
#pragma once

#include <algorithm>
#include <vector>

#include "audio-tap/process/process_table.h"

namespace vesk::testing {

class FakeProcessTable final : public ProcessTable {
 public:
  std::vector<ProcessEntry> returnProcesses() override {
    ++listings;
    return entries;
  }
  std::optional<ProcessEntry> returnProcess(ProcessID pid) override {
    auto found = std::find_if(entries.begin(), entries.end(), [pid](const ProcessEntry& e) { return e.pid == pid; });
    if (found == entries.end()) return std::nullopt;
    return *found;
  }

  void add(ProcessID pid, ProcessID parent, std::uint64_t startTime) { entries.push_back({pid, parent, startTime}); }
  void remove(ProcessID pid) {
    std::erase_if(entries, [pid](const ProcessEntry& e) { return e.pid == pid; });
  }
  void reparent(ProcessID pid, ProcessID parent) {
    for (auto& e : entries) {
      if (e.pid == pid) e.parentPID = parent;
    }
  }

  std::vector<ProcessEntry> entries;
  int listings = 0;
};

}  // namespace vesk::testing
