// Small readers of audio object properties. Each reads one property (two, for the
// output device's UID) into a buffer of fixed size and turns every failure into an
// absent result or an empty list; none keeps state or reports an error. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio-tap/capture/hardware.h"

namespace vesk {

/// The default input device; none when the read fails or names no device.
std::optional<AudioObjectID> returnDefaultInputDeviceID(AudioHardware& hardware);

/// The UID of the default system output device; none when either read fails or
/// there is no device. An empty UID is a result, not an absence.
std::optional<std::string> returnDefaultOutputDeviceUID(AudioHardware& hardware);

/// The default system output device; none when the read fails or names no device.
std::optional<AudioObjectID> returnDefaultOutputDeviceID(AudioHardware& hardware);

/// A 64-bit floating-point property (a device's nominal rate); none on a failed read.
std::optional<double> returnFloat64Property(AudioHardware& hardware, AudioObjectID object,
                                            AudioObjectPropertySelector selector);

/// A device's input streams, in the order its IO procs see them; empty on any failure.
std::vector<AudioObjectID> returnInputStreamIDs(AudioHardware& hardware, AudioObjectID device);

/// A stream's format as its IO procs see it; none on a failed read.
std::optional<AudioStreamBasicDescription> returnStreamFormat(AudioHardware& hardware, AudioObjectID stream);

/// The audio process object of a process; none when the platform refuses or answers 0.
std::optional<AudioObjectID> returnProcessObjectID(AudioHardware& hardware, std::int32_t pid);

/// The stream format of a tap; none on a failed read, whatever was written.
std::optional<AudioStreamBasicDescription> returnTapFormat(AudioHardware& hardware, AudioObjectID tapID);

/// A 32-bit property; 0 is a value like any other, only a failed read is none.
std::optional<std::uint32_t> returnUInt32Property(AudioHardware& hardware, AudioObjectID object,
                                                  AudioObjectPropertySelector selector);

/// A string property; none on a failed read.
std::optional<std::string> returnStringProperty(AudioHardware& hardware, AudioObjectID object,
                                                AudioObjectPropertySelector selector);

/// Every audio process object; empty on any failure, never partial. Entries the
/// platform did not fill stay 0.
std::vector<AudioObjectID> returnProcessObjectIDs(AudioHardware& hardware);

}  // namespace vesk
