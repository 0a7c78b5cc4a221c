// The process table of macOS, from the kernel (sysctl KERN_PROC).
#pragma once

#include <memory>

#include "audio-tap/process/process_table.h"

namespace vesk {

std::unique_ptr<ProcessTable> makeDarwinProcessTable();

}  // namespace vesk
