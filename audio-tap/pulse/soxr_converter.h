// Sample-rate and format conversion with libsoxr: any float32 or int16 PCM, any
// channel count, interleaved or not, to signed 16-bit mono at the output rate.
#pragma once

#include <memory>

#include "audio-tap/capture/converter.h"

namespace vesk::pulse {

/// A converter from `from` to `to` (16-bit mono), or none when either is a format it
/// does not handle. Main queue.
std::shared_ptr<AudioConverter> makeSoxrConverter(const AudioFormat& from, const AudioFormat& to);

}  // namespace vesk::pulse
