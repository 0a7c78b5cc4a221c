// Property readers over the audio-hardware seam.
#include "audio-tap/capture/property_readers.h"

namespace vesk {
namespace {

// Reads a 4-byte property, with an optional 4-byte qualifier.
std::optional<std::uint32_t> readUInt32(AudioHardware& hardware, AudioObjectID object,
                                        AudioObjectPropertySelector selector, const std::int32_t* qualifier = nullptr) {
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  const auto address = globalAddress(selector);
  const std::uint32_t qualifierSize = qualifier ? sizeof *qualifier : 0;
  if (hardware.getPropertyData(object, address, qualifierSize, qualifier, size, &value) != kAudioHardwareNoError) {
    return std::nullopt;
  }
  return value;
}

// Reads a stream description (a tap's format, a stream's virtual format).
std::optional<AudioStreamBasicDescription> readFormat(AudioHardware& hardware, AudioObjectID object,
                                                      AudioObjectPropertySelector selector) {
  AudioStreamBasicDescription format;
  std::uint32_t size = sizeof format;
  if (hardware.getPropertyData(object, globalAddress(selector), 0, nullptr, size, &format) != kAudioHardwareNoError) {
    return std::nullopt;
  }
  return format;
}

// An object ID where 0 means none.
std::optional<AudioObjectID> nonZero(std::optional<std::uint32_t> id) {
  if (!id || *id == kAudioObjectUnknown) return std::nullopt;
  return id;
}

}  // namespace

std::optional<AudioObjectID> returnDefaultInputDeviceID(AudioHardware& hardware) {
  return nonZero(readUInt32(hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice));
}

std::optional<std::string> returnDefaultOutputDeviceUID(AudioHardware& hardware) {
  auto device = nonZero(readUInt32(hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice));
  if (!device) return std::nullopt;
  return returnStringProperty(hardware, *device, kAudioDevicePropertyDeviceUID);
}

std::optional<AudioObjectID> returnDefaultOutputDeviceID(AudioHardware& hardware) {
  return nonZero(readUInt32(hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice));
}

std::optional<double> returnFloat64Property(AudioHardware& hardware, AudioObjectID object,
                                            AudioObjectPropertySelector selector) {
  double value = 0;
  std::uint32_t size = sizeof value;
  if (hardware.getPropertyData(object, globalAddress(selector), 0, nullptr, size, &value) != kAudioHardwareNoError) {
    return std::nullopt;
  }
  return value;
}

std::vector<AudioObjectID> returnInputStreamIDs(AudioHardware& hardware, AudioObjectID device) {
  const AudioObjectPropertyAddress address{kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput,
                                           kAudioObjectPropertyElementMain};
  std::uint32_t size = 0;
  if (hardware.getPropertyDataSize(device, address, 0, nullptr, size) != kAudioHardwareNoError) return {};
  std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), kAudioObjectUnknown);
  if (ids.empty()) return {};
  std::uint32_t bytes = static_cast<std::uint32_t>(ids.size() * sizeof(AudioObjectID));
  if (hardware.getPropertyData(device, address, 0, nullptr, bytes, ids.data()) != kAudioHardwareNoError) return {};
  ids.resize(bytes / sizeof(AudioObjectID));  // a device that lost streams in between
  return ids;
}

std::optional<AudioStreamBasicDescription> returnStreamFormat(AudioHardware& hardware, AudioObjectID stream) {
  return readFormat(hardware, stream, kAudioStreamPropertyVirtualFormat);
}

std::optional<AudioObjectID> returnProcessObjectID(AudioHardware& hardware, std::int32_t pid) {
  return nonZero(readUInt32(hardware, kAudioObjectSystemObject, kAudioHardwarePropertyTranslatePIDToProcessObject, &pid));
}

std::optional<AudioStreamBasicDescription> returnTapFormat(AudioHardware& hardware, AudioObjectID tapID) {
  return readFormat(hardware, tapID, kAudioTapPropertyFormat);
}

std::optional<std::uint32_t> returnUInt32Property(AudioHardware& hardware, AudioObjectID object,
                                                  AudioObjectPropertySelector selector) {
  return readUInt32(hardware, object, selector);
}

std::optional<std::string> returnStringProperty(AudioHardware& hardware, AudioObjectID object,
                                                AudioObjectPropertySelector selector) {
  std::string text;
  if (hardware.getPropertyString(object, globalAddress(selector), text) != kAudioHardwareNoError) return std::nullopt;
  return text;
}

std::vector<AudioObjectID> returnProcessObjectIDs(AudioHardware& hardware) {
  const auto address = globalAddress(kAudioHardwarePropertyProcessObjectList);
  std::uint32_t size = 0;
  if (hardware.getPropertyDataSize(kAudioObjectSystemObject, address, 0, nullptr, size) != kAudioHardwareNoError) {
    return {};
  }
  const std::size_t count = size / sizeof(AudioObjectID);
  if (count == 0) return {};
  std::vector<AudioObjectID> ids(count, kAudioObjectUnknown);
  std::uint32_t bytes = static_cast<std::uint32_t>(count * sizeof(AudioObjectID));
  if (hardware.getPropertyData(kAudioObjectSystemObject, address, 0, nullptr, bytes, ids.data()) !=
      kAudioHardwareNoError) {
    return {};
  }
  return ids;  // the byte count reported back is not used: unfilled entries stay 0
}

}  // namespace vesk
