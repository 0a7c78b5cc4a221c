// The audio hardware of a PulseAudio (or pipewire-pulse) session.
#pragma once

#include <memory>

#include "audio-tap/capture/hardware.h"

namespace vesk::pulse {

/// Audio objects emulated over the sound server the session runs. Connects lazily:
/// with no server every call fails with a negative status, and a server that comes
/// (back) later is found by the next call.
std::unique_ptr<AudioHardware> makePulseHardware();

}  // namespace vesk::pulse
