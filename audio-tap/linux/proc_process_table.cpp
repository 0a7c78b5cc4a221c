// The Linux process table over /proc. A process may end between the listing of
// /proc and the read of its stat file: it is then simply not in the table.
#include "audio-tap/linux/proc_process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

namespace vesk {
namespace {

template <typename T>
bool parseNumber(std::string_view text, T& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

std::optional<ProcessEntry> readStat(ProcessID pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[1024];
  ssize_t length;
  do {
    length = ::read(fd, buffer, sizeof buffer);
  } while (length < 0 && errno == EINTR);
  ::close(fd);
  if (length <= 0) return std::nullopt;
  return parseProcStat(std::string_view(buffer, static_cast<std::size_t>(length)));
}

class ProcProcessTable final : public ProcessTable {
 public:
  std::vector<ProcessEntry> returnProcesses() override {
    std::vector<ProcessEntry> entries;
    DIR* proc = ::opendir("/proc");
    if (!proc) return entries;
    while (const dirent* entry = ::readdir(proc)) {
      ProcessID pid = 0;
      if (!parseNumber(std::string_view(entry->d_name), pid) || pid <= 0) continue;
      if (auto stat = readStat(pid)) entries.push_back(*stat);
    }
    ::closedir(proc);
    return entries;
  }

  std::optional<ProcessEntry> returnProcess(ProcessID pid) override {
    if (pid <= 0) return std::nullopt;
    return readStat(pid);
  }
};

}  // namespace

std::optional<ProcessEntry> parseProcStat(std::string_view text) {
  const auto open = text.find(" (");
  const auto close = text.rfind(')');  // the name itself may hold ')'
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;
  ProcessEntry entry;
  if (!parseNumber(text.substr(0, open), entry.pid)) return std::nullopt;
  // After the name: " state ppid ..." with the start time as field 22 overall, the
  // 20th after the name.
  std::string_view rest = text.substr(close + 1);
  std::string_view fields[20];
  for (auto& field : fields) {
    if (rest.empty() || rest.front() != ' ') return std::nullopt;
    rest.remove_prefix(1);
    const auto end = rest.find_first_of(" \n");
    field = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  if (!parseNumber(fields[1], entry.parentPID) || !parseNumber(fields[19], entry.startTime)) return std::nullopt;
  return entry;
}

std::unique_ptr<ProcessTable> makeProcProcessTable() { return std::make_unique<ProcProcessTable>(); }

}  // namespace vesk
