// Start-up of the audio tap process: settings from the command line, the two objects
// that live as long as the process, the parent watch, the reader thread, and then
// the main queue for the rest of the process.
#pragma once

#include <span>
#include <string>

#include "audio-tap/process/platform.h"

namespace vesk {

/// Runs the process. `arguments` excludes the program path. Does not return: the
/// process ends with status 0 on "quit", at the end of input or when the parent exits.
void runAudioTapProcess(std::span<const std::string> arguments, Platform& platform);

}  // namespace vesk
