// Watching the parent process on Linux.
#pragma once

#include <functional>

#include "audio-tap/process/queue.h"
#include "audio-tap/process/settings.h"

namespace vesk {

/// Queues `onExit` on `mainQueue` once process `pid` has exited, or at once when it
/// is no longer this process's parent (it exited before the watch began).
void watchParentProcess(ProcessID pid, SerialQueue& mainQueue, std::function<void()> onExit);

}  // namespace vesk
