// Walks of the process tree over the process-table seam.
#include "audio-tap/process/process_tree.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

namespace vesk {

bool canBeChildOf(const ProcessEntry& child, const ProcessEntry& parent) {
  if (child.pid == parent.pid) return false;
  if (child.startTime == 0 || parent.startTime == 0) return true;
  return child.startTime >= parent.startTime;
}

std::vector<ProcessEntry> returnDescendants(const std::vector<ProcessEntry>& table,
                                            const std::vector<ProcessEntry>& from) {
  std::multimap<ProcessID, const ProcessEntry*> children;  // equal keys keep table order
  for (const ProcessEntry& entry : table) children.emplace(entry.parentPID, &entry);
  std::vector<ProcessEntry> found;
  std::set<ProcessID> seen;
  for (const ProcessEntry& start : from) {
    if (seen.insert(start.pid).second) found.push_back(start);
  }
  // `found` grows while it is walked: each member's children are appended once.
  for (std::size_t i = 0; i < found.size(); ++i) {
    const ProcessEntry parent = found[i];
    auto [begin, end] = children.equal_range(parent.pid);
    for (auto it = begin; it != end; ++it) {
      const ProcessEntry& child = *it->second;
      if (canBeChildOf(child, parent) && seen.insert(child.pid).second) found.push_back(child);
    }
  }
  return found;
}

bool descendsFrom(ProcessTable& table, ProcessID pid, const std::vector<ProcessID>& ancestors) {
  auto isAncestor = [&](ProcessID candidate) {
    return std::find(ancestors.begin(), ancestors.end(), candidate) != ancestors.end();
  };
  if (isAncestor(pid)) return true;
  std::optional<ProcessEntry> current = table.returnProcess(pid);
  std::set<ProcessID> seen;
  while (current && current->parentPID > 0 && seen.insert(current->pid).second) {
    auto parent = table.returnProcess(current->parentPID);
    if (!parent || !canBeChildOf(*current, *parent)) return false;
    if (isAncestor(parent->pid)) return true;
    current = parent;
  }
  return false;
}

ExcludedProcesses::ExcludedProcesses(std::vector<ProcessID> roots) : roots_(std::move(roots)), table_(nullptr) {}

ExcludedProcesses::ExcludedProcesses(std::vector<ProcessID> roots, ProcessTable& table)
    : roots_(std::move(roots)), table_(&table) {}

std::vector<ProcessID> ExcludedProcesses::refresh() {
  std::vector<ProcessID> result = roots_;
  if (!table_) return result;
  const std::vector<ProcessEntry> table = table_->returnProcesses();
  std::unordered_map<ProcessID, const ProcessEntry*> byPID;
  for (const ProcessEntry& entry : table) byPID[entry.pid] = &entry;

  std::vector<ProcessEntry> from;
  for (ProcessID root : roots_) {
    auto found = byPID.find(root);
    if (found == byPID.end()) continue;
    // A root is the process first seen under its identifier, not a later one.
    auto [pinned, _] = rootStarts_.try_emplace(root, found->second->startTime);
    if (pinned->second == found->second->startTime) from.push_back(*found->second);
  }
  for (const auto& [pid, startTime] : members_) {
    auto found = byPID.find(pid);
    if (found != byPID.end() && found->second->startTime == startTime) from.push_back(*found->second);
  }

  members_.clear();
  for (const ProcessEntry& member : returnDescendants(table, from)) {
    if (std::find(roots_.begin(), roots_.end(), member.pid) == roots_.end()) {
      members_[member.pid] = member.startTime;
    }
  }
  for (const auto& [pid, startTime] : members_) result.push_back(pid);
  return result;
}

}  // namespace vesk
