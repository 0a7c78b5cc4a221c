// Formats and converters on Linux.
#pragma once

#include <memory>

#include "audio-tap/capture/converter.h"

namespace vesk {

/// Formats for any usable linear PCM description. Converters: none yet on this
/// platform, so a capture start that gets this far fails with the converter message.
std::unique_ptr<AudioConverterFactory> makePcmConverterFactory();

}  // namespace vesk
