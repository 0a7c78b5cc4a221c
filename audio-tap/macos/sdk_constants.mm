// The audio seams (hardware.h, converter.h, the tap description) spell Core Audio's and
// AVFAudio's constants and record layouts themselves, so that the portable core builds
// without the SDK. Compiled only for macOS: every one of them must equal the SDK's.
// No code: a mismatch fails the build.
#import <AVFAudio/AVFAudio.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <CoreAudio/CoreAudio.h>

#include <cstddef>

#include "audio-tap/capture/converter.h"
#include "audio-tap/capture/hardware.h"

// Statuses.
static_assert(vesk::kAudioHardwareNoError == ::kAudioHardwareNoError);
static_assert(vesk::kAudioHardwareNotRunningError == ::kAudioHardwareNotRunningError);
static_assert(vesk::kAudioHardwareUnknownPropertyError == ::kAudioHardwareUnknownPropertyError);
static_assert(vesk::kAudioHardwareBadObjectError == ::kAudioHardwareBadObjectError);
static_assert(vesk::kAudioHardwareIllegalOperationError == ::kAudioHardwareIllegalOperationError);
static_assert(vesk::kAudio_ParamError == ::kAudio_ParamError);

// Objects, scope and element.
static_assert(vesk::kAudioObjectUnknown == ::kAudioObjectUnknown);
static_assert(vesk::kAudioObjectSystemObject == ::kAudioObjectSystemObject);
static_assert(vesk::kAudioObjectPropertyScopeGlobal == ::kAudioObjectPropertyScopeGlobal);
static_assert(vesk::kAudioObjectPropertyElementMain == ::kAudioObjectPropertyElementMain);

// Selectors.
static_assert(vesk::kAudioHardwarePropertyDefaultInputDevice == ::kAudioHardwarePropertyDefaultInputDevice);
static_assert(vesk::kAudioHardwarePropertyDefaultSystemOutputDevice ==
              ::kAudioHardwarePropertyDefaultSystemOutputDevice);
static_assert(vesk::kAudioDevicePropertyDeviceUID == ::kAudioDevicePropertyDeviceUID);
static_assert(vesk::kAudioHardwarePropertyTranslatePIDToProcessObject ==
              ::kAudioHardwarePropertyTranslatePIDToProcessObject);
static_assert(vesk::kAudioHardwarePropertyProcessObjectList == ::kAudioHardwarePropertyProcessObjectList);
static_assert(vesk::kAudioTapPropertyFormat == ::kAudioTapPropertyFormat);
static_assert(vesk::kAudioTapPropertyUID == ::kAudioTapPropertyUID);
static_assert(vesk::kAudioProcessPropertyIsRunningInput == ::kAudioProcessPropertyIsRunningInput);
static_assert(vesk::kAudioProcessPropertyPID == ::kAudioProcessPropertyPID);
static_assert(vesk::kAudioProcessPropertyBundleID == ::kAudioProcessPropertyBundleID);
static_assert(vesk::kAudioDevicePropertyDeviceIsRunningSomewhere == ::kAudioDevicePropertyDeviceIsRunningSomewhere);

// Format identifier and flags.
static_assert(vesk::kAudioFormatLinearPCM == ::kAudioFormatLinearPCM);
static_assert(vesk::kAudioFormatFlagIsFloat == ::kAudioFormatFlagIsFloat);
static_assert(vesk::kAudioFormatFlagIsSignedInteger == ::kAudioFormatFlagIsSignedInteger);
static_assert(vesk::kAudioFormatFlagIsPacked == ::kAudioFormatFlagIsPacked);
static_assert(vesk::kAudioFormatFlagIsNonInterleaved == ::kAudioFormatFlagIsNonInterleaved);

// Records that pass between the seam and Core Audio field for field.
#define VESK_SAME_FIELD(type, field) \
  static_assert(offsetof(vesk::type, field) == offsetof(::type, field) && \
                sizeof(vesk::type::field) == sizeof(::type::field))
static_assert(sizeof(vesk::AudioObjectPropertyAddress) == sizeof(::AudioObjectPropertyAddress));
VESK_SAME_FIELD(AudioObjectPropertyAddress, mSelector);
VESK_SAME_FIELD(AudioObjectPropertyAddress, mScope);
VESK_SAME_FIELD(AudioObjectPropertyAddress, mElement);
static_assert(sizeof(vesk::AudioStreamBasicDescription) == sizeof(::AudioStreamBasicDescription));
VESK_SAME_FIELD(AudioStreamBasicDescription, mSampleRate);
VESK_SAME_FIELD(AudioStreamBasicDescription, mFormatID);
VESK_SAME_FIELD(AudioStreamBasicDescription, mFormatFlags);
VESK_SAME_FIELD(AudioStreamBasicDescription, mBytesPerPacket);
VESK_SAME_FIELD(AudioStreamBasicDescription, mFramesPerPacket);
VESK_SAME_FIELD(AudioStreamBasicDescription, mBytesPerFrame);
VESK_SAME_FIELD(AudioStreamBasicDescription, mChannelsPerFrame);
VESK_SAME_FIELD(AudioStreamBasicDescription, mBitsPerChannel);
VESK_SAME_FIELD(AudioStreamBasicDescription, mReserved);
static_assert(sizeof(vesk::AudioBuffer) == sizeof(::AudioBuffer));
VESK_SAME_FIELD(AudioBuffer, mNumberChannels);
VESK_SAME_FIELD(AudioBuffer, mDataByteSize);
VESK_SAME_FIELD(AudioBuffer, mData);
#undef VESK_SAME_FIELD

// The tap description's mute behaviour: 0 leaves the tapped processes audible.
static_assert(vesk::TapDescription{}.muteBehavior == CATapUnmuted);

// Converter statuses, passed through as numbers.
static_assert(static_cast<int>(vesk::AudioConverterOutputStatus::haveData) == AVAudioConverterOutputStatus_HaveData);
static_assert(static_cast<int>(vesk::AudioConverterOutputStatus::inputRanDry) ==
              AVAudioConverterOutputStatus_InputRanDry);
static_assert(static_cast<int>(vesk::AudioConverterOutputStatus::endOfStream) ==
              AVAudioConverterOutputStatus_EndOfStream);
static_assert(static_cast<int>(vesk::AudioConverterOutputStatus::error) == AVAudioConverterOutputStatus_Error);
static_assert(static_cast<int>(vesk::AudioConverterInputStatus::haveData) == AVAudioConverterInputStatus_HaveData);
static_assert(static_cast<int>(vesk::AudioConverterInputStatus::noDataNow) == AVAudioConverterInputStatus_NoDataNow);
static_assert(static_cast<int>(vesk::AudioConverterInputStatus::endOfStream) ==
              AVAudioConverterInputStatus_EndOfStream);
