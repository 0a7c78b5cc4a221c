// The audio hardware of a PulseAudio (or pipewire-pulse) session.
#pragma once

#include <memory>

#include "audio-tap/capture/hardware.h"
#include "audio-tap/process/process_table.h"

namespace vesk::pulse {

/// Audio objects emulated over the sound server the session runs. Connects lazily:
/// with no server every call fails with a negative status, and a server that comes
/// (back) later is found by the next call. A tap that leaves out descendants reads
/// their ancestry from `processes`, which outlives the hardware.
std::unique_ptr<AudioHardware> makePulseHardware(ProcessTable& processes);

}  // namespace vesk::pulse
