// The audio hardware of macOS: Core Audio itself.
#pragma once

#include <memory>

#include "audio-tap/capture/hardware.h"

namespace vesk {

/// Passes every call straight to Core Audio. Queues handed to it must be
/// DispatchSerialQueues (the platform's own).
std::unique_ptr<AudioHardware> makeCoreAudioHardware();

}  // namespace vesk
