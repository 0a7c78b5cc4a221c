// Audio hardware without an audio system: uses no OS facility. Called on the main
// queue (and, for property reads, on any thread); every answer is "not running".
#include "audio-tap/linux/no_audio_hardware.h"

namespace vesk {
namespace {

class NoAudioHardware final : public AudioHardware {
 public:
  OSStatus getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*,
                           std::uint32_t& ioDataSize, void*) override {
    ioDataSize = 0;
    return kAudioHardwareNotRunningError;
  }
  OSStatus getPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*,
                               std::uint32_t& outDataSize) override {
    outDataSize = 0;
    return kAudioHardwareNotRunningError;
  }
  OSStatus getPropertyString(AudioObjectID, const AudioObjectPropertyAddress&, std::string&) override {
    return kAudioHardwareNotRunningError;
  }
  OSStatus addPropertyListener(AudioObjectID, const AudioObjectPropertyAddress&, SerialQueue&,
                               const AudioObjectPropertyListener&) override {
    return kAudioHardwareNotRunningError;
  }
  OSStatus removePropertyListener(AudioObjectID, const AudioObjectPropertyAddress&, SerialQueue&,
                                  const AudioObjectPropertyListener&) override {
    return kAudioHardwareNotRunningError;
  }
  OSStatus createProcessTap(const TapDescription&, AudioObjectID& outTapID) override {
    outTapID = kAudioObjectUnknown;
    return kAudioHardwareNotRunningError;
  }
  OSStatus destroyProcessTap(AudioObjectID) override { return kAudioHardwareBadObjectError; }
  OSStatus createAggregateDevice(const AggregateDeviceDescription&, AudioObjectID& outDeviceID) override {
    outDeviceID = kAudioObjectUnknown;
    return kAudioHardwareNotRunningError;
  }
  OSStatus destroyAggregateDevice(AudioObjectID) override { return kAudioHardwareBadObjectError; }
  OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outIOProcID, AudioObjectID, SerialQueue&,
                                   AudioDeviceIOBlock) override {
    outIOProcID = 0;
    return kAudioHardwareNotRunningError;
  }
  OSStatus destroyIOProcID(AudioObjectID, AudioDeviceIOProcID) override { return kAudioHardwareBadObjectError; }
  OSStatus deviceStart(AudioObjectID, AudioDeviceIOProcID) override { return kAudioHardwareNotRunningError; }
  OSStatus deviceStop(AudioObjectID, AudioDeviceIOProcID) override { return kAudioHardwareNotRunningError; }
};

}  // namespace

std::unique_ptr<AudioHardware> makeNoAudioHardware() { return std::make_unique<NoAudioHardware>(); }

}  // namespace vesk
