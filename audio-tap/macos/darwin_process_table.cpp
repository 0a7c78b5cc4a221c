// The macOS process table over sysctl: KERN_PROC_ALL lists every process with its
// parent (e_ppid) and start time (p_starttime, microseconds); KERN_PROC_PID reads one.
// Reads may come from any thread.
#include "audio-tap/macos/darwin_process_table.h"

#include <sys/sysctl.h>
#include <sys/types.h>

#include <cerrno>
#include <vector>

namespace vesk {
namespace {

ProcessEntry entryOf(const kinfo_proc& info) {
  const timeval& started = info.kp_proc.p_starttime;
  return {info.kp_proc.p_pid, info.kp_eproc.e_ppid,
          static_cast<std::uint64_t>(started.tv_sec) * 1000000u + static_cast<std::uint64_t>(started.tv_usec)};
}

class DarwinProcessTable final : public ProcessTable {
 public:
  std::vector<ProcessEntry> returnProcesses() override {
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL, 0};
    std::vector<kinfo_proc> infos;
    // The table may grow between the size query and the read: ask again with room.
    for (int attempt = 0; attempt < 4; ++attempt) {
      size_t size = 0;
      if (::sysctl(name, 3, nullptr, &size, nullptr, 0) != 0) return {};
      infos.resize(size / sizeof(kinfo_proc) + 16);
      size = infos.size() * sizeof(kinfo_proc);
      if (::sysctl(name, 3, infos.data(), &size, nullptr, 0) == 0) {
        infos.resize(size / sizeof(kinfo_proc));
        std::vector<ProcessEntry> entries;
        entries.reserve(infos.size());
        for (const kinfo_proc& info : infos) entries.push_back(entryOf(info));
        return entries;
      }
      if (errno != ENOMEM) return {};
    }
    return {};
  }

  std::optional<ProcessEntry> returnProcess(ProcessID pid) override {
    if (pid <= 0) return std::nullopt;
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    kinfo_proc info{};
    size_t size = sizeof info;
    if (::sysctl(name, 4, &info, &size, nullptr, 0) != 0 || size < sizeof info) return std::nullopt;
    return entryOf(info);
  }
};

}  // namespace

std::unique_ptr<ProcessTable> makeDarwinProcessTable() { return std::make_unique<DarwinProcessTable>(); }

}  // namespace vesk
