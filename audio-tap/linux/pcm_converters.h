// Formats and converters on Linux.
#pragma once

#include <memory>

#include "audio-tap/capture/converter.h"

namespace vesk {

/// Formats for any usable linear PCM description; converters over libsoxr from
/// float32 or int16 PCM to 16-bit mono.
std::unique_ptr<AudioConverterFactory> makePcmConverterFactory();

}  // namespace vesk
