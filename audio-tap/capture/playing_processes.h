// Which processes play audio now, for the report that capture hears nothing while
// something plays. Each entry names its process the way "inputActivity" does.
#pragma once

#include <vector>

#include "audio-tap/capture/hardware.h"
#include "audio-tap/process/output.h"

namespace vesk {

/// [{"pid":P,"bundleId":B}, ...] for every process object that runs audio output,
/// except the objects in `leftOut`; a bundle identifier that cannot be read is "".
/// Main queue.
Json returnPlayingProcesses(AudioHardware& hardware, const std::vector<AudioObjectID>& leftOut);

}  // namespace vesk
