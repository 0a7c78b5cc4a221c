// Formats and converters of macOS: AVFAudio's.
#pragma once

#include <memory>

#include "audio-tap/capture/converter.h"

namespace vesk {

/// Formats through AVAudioFormat, converters through AVAudioConverter.
std::unique_ptr<AudioConverterFactory> makeAVAudioConverterFactory();

}  // namespace vesk
