// The process table of Linux, read from /proc: each process's parent and start time
// from /proc/<pid>/stat. Reads may come from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "audio-tap/process/process_table.h"

namespace vesk {

/// The entry of one /proc/<pid>/stat text: pid, parent (field 4) and start time
/// (field 22, clock ticks since boot). The command name in parentheses may hold any
/// characters, spaces and parentheses included; none for malformed text.
std::optional<ProcessEntry> parseProcStat(std::string_view text);

std::unique_ptr<ProcessTable> makeProcProcessTable();

}  // namespace vesk
