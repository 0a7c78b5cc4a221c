// The processes a host is made of: the left-out processes (the parent, each
// "--exclude-pid") and, with "--exclude-descendants", everything they started, walked
// over a process table. Pure: the table is the only contact with the system.
//
// A process is known by its identifier and its start time together, so a reused
// identifier never inherits anything: a child cannot have started before its parent,
// and a remembered process whose identifier now shows another start time is gone.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "audio-tap/process/process_table.h"

namespace vesk {

/// Whether `child` can be a child of `parent`: it started no earlier. Unknown start
/// times (0) do not decide against it.
bool canBeChildOf(const ProcessEntry& child, const ProcessEntry& parent);

/// `from` and every process below them in `table`, each once, in the order found.
/// Ends on any table, cycles and repeated identifiers included.
std::vector<ProcessEntry> returnDescendants(const std::vector<ProcessEntry>& table,
                                            const std::vector<ProcessEntry>& from);

/// Whether process `pid` is one of `ancestors` or descends from one of them, by its
/// ancestry in `table` now. The walk stops at a parent that started after its child
/// (that identifier was reused) and at a cycle.
bool descendsFrom(ProcessTable& table, ProcessID pid, const std::vector<ProcessID>& ancestors);

/// The left-out processes of the audio tap: the roots (own, parent, "--exclude-pid")
/// and, when made with a table, every descendant of a root. A process once found
/// stays left out while it lives, even after it has been handed to another parent.
/// Not thread-safe: one thread (the main queue) uses it.
class ExcludedProcesses {
 public:
  /// The roots alone; no table is ever read.
  explicit ExcludedProcesses(std::vector<ProcessID> roots);
  /// The roots and their descendants in `table`, which outlives this object.
  ExcludedProcesses(std::vector<ProcessID> roots, ProcessTable& table);

  bool includesDescendants() const { return table_ != nullptr; }

  /// The left-out identifiers now: the roots in their order, duplicates kept, then
  /// every other left-out process in ascending order. Walks the table afresh.
  std::vector<ProcessID> refresh();

 private:
  const std::vector<ProcessID> roots_;
  ProcessTable* const table_;
  std::map<ProcessID, std::uint64_t> rootStarts_;  // each root's start time, once seen
  std::map<ProcessID, std::uint64_t> members_;     // left out below the roots: pid -> start time
};

}  // namespace vesk
