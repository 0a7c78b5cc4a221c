// The audio hardware of a PulseAudio (or pipewire-pulse) session.
#pragma once

#include <cstdint>
#include <memory>

#include "audio-tap/capture/hardware.h"
#include "audio-tap/process/process_table.h"

namespace vesk::pulse {

/// Audio objects emulated over the sound server the session runs. Connects lazily:
/// with no server every call fails with a negative status, and a server that comes
/// (back) later is found by the next call. A tap that leaves out descendants reads
/// their ancestry from `processes`, which outlives the hardware. `currentWork`: null,
/// or which piece of queued work the calling thread runs (0 outside one); the reads
/// of one piece of work then share one round trip to the server.
std::unique_ptr<AudioHardware> makePulseHardware(ProcessTable& processes, std::uint64_t (*currentWork)() = nullptr);

}  // namespace vesk::pulse
