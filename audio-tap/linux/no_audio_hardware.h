// The audio hardware of a machine this process has no audio access on.
#pragma once

#include <memory>

#include "audio-tap/capture/hardware.h"

namespace vesk {

/// Answers every call with kAudioHardwareNotRunningError: no property can be read,
/// no tap or device created, no listener registered. "start" therefore fails at tap
/// creation, "checkPermission" answers false and the input watch sees no device.
std::unique_ptr<AudioHardware> makeNoAudioHardware();

}  // namespace vesk
