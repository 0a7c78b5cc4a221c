// Formats and a converter over libsoxr: any linear PCM of 16-bit integers or 32-bit
// floats, any channel count and layout, mixed down to mono and resampled at high
// quality to 16-bit integers.
#pragma once

#include <memory>

#include "audio-tap/capture/converter.h"

namespace vesk {

std::unique_ptr<AudioConverterFactory> makeSoxrConverterFactory();

}  // namespace vesk
