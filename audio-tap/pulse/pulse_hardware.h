// The audio hardware of a PulseAudio (or pipewire-pulse) session.
#pragma once

#include <cstdint>
#include <memory>

#include "audio-tap/capture/hardware.h"
#include "audio-tap/process/process_table.h"

namespace vesk::pulse {

/// A piece of queued work, as the platform's queues tell them apart: an id no other
/// piece shares (0 outside queued work), and whether a timer of the helper's own
/// started it rather than a command or a change that came in.
struct QueuedWork {
  std::uint64_t id = 0;
  bool timed = false;
};

/// Audio objects emulated over the sound server the session runs. Connects lazily:
/// with no server every call fails with a negative status, and a server that comes
/// (back) later is found by the next call. A tap that leaves out descendants reads
/// their ancestry from `processes`, which outlives the hardware. `currentWork`: null,
/// or which piece of queued work the calling thread runs; the reads of one piece of
/// work then share one round trip to the server, and those of timed work ask a server
/// that announces every change for none.
std::unique_ptr<AudioHardware> makePulseHardware(ProcessTable& processes, QueuedWork (*currentWork)() = nullptr);

}  // namespace vesk::pulse
