// The audio-hardware seam over Core Audio's hardware abstraction: property reads and
// listener blocks, process taps from a CATapDescription (macOS 14.2), aggregate
// devices, and IO blocks. Set-up and listeners are called on the main queue; reads
// may come from any thread; an IO block runs synchronously on the HAL's real-time IO
// thread, on the dispatch queue it was given, so what it calls must not allocate or
// wait for a lock.
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <CoreAudio/CoreAudio.h>
#import <Foundation/Foundation.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <map>
#include <string_view>
#include <tuple>
#include <vector>

#include "audio-tap/macos/aggregate_dictionary.h"
#include "audio-tap/macos/core_audio_hardware.h"
#include "audio-tap/macos/dispatch_queue.h"

namespace vesk {
namespace {

// The seam's types are laid out like Core Audio's, so addresses, formats and buffers
// pass between them field for field.
static_assert(sizeof(vesk::AudioObjectPropertyAddress) == sizeof(::AudioObjectPropertyAddress));
static_assert(sizeof(vesk::AudioStreamBasicDescription) == sizeof(::AudioStreamBasicDescription));
static_assert(sizeof(vesk::AudioBuffer) == sizeof(::AudioBuffer));
static_assert(offsetof(vesk::AudioBuffer, mData) == offsetof(::AudioBuffer, mData));

// The aggregate dictionary spells Core Audio's keys itself; they must be the SDK's.
static_assert(std::string_view(kAggregateNameKey) == kAudioAggregateDeviceNameKey);
static_assert(std::string_view(kAggregateUIDKey) == kAudioAggregateDeviceUIDKey);
static_assert(std::string_view(kAggregateMainSubDeviceKey) == kAudioAggregateDeviceMainSubDeviceKey);
static_assert(std::string_view(kAggregateIsPrivateKey) == kAudioAggregateDeviceIsPrivateKey);
static_assert(std::string_view(kAggregateIsStackedKey) == kAudioAggregateDeviceIsStackedKey);
static_assert(std::string_view(kAggregateTapAutoStartKey) == kAudioAggregateDeviceTapAutoStartKey);
static_assert(std::string_view(kAggregateSubDeviceListKey) == kAudioAggregateDeviceSubDeviceListKey);
static_assert(std::string_view(kAggregateTapListKey) == kAudioAggregateDeviceTapListKey);
static_assert(std::string_view(kSubDeviceUIDKey) == kAudioSubDeviceUIDKey);
static_assert(std::string_view(kSubTapUIDKey) == kAudioSubTapUIDKey);
static_assert(std::string_view(kSubTapDriftCompensationKey) == kAudioSubTapDriftCompensationKey);

// The selectors and scope capture watches and sets are spelled in the seam; they must
// be the SDK's. The stream usage the core lays out is Core Audio's structure.
static_assert(vesk::kAudioObjectPropertyScopeInput == ::kAudioObjectPropertyScopeInput);
static_assert(vesk::kAudioProcessPropertyIsRunningOutput == ::kAudioProcessPropertyIsRunningOutput);
static_assert(vesk::kAudioDevicePropertyNominalSampleRate == ::kAudioDevicePropertyNominalSampleRate);
static_assert(vesk::kAudioDevicePropertyDeviceIsAlive == ::kAudioDevicePropertyDeviceIsAlive);
static_assert(vesk::kAudioDevicePropertyStreams == ::kAudioDevicePropertyStreams);
static_assert(vesk::kAudioStreamPropertyVirtualFormat == ::kAudioStreamPropertyVirtualFormat);
static_assert(vesk::kAudioDevicePropertyIOProcStreamUsage == ::kAudioDevicePropertyIOProcStreamUsage);
static_assert(offsetof(::AudioHardwareIOProcStreamUsage, mNumberStreams) == sizeof(void*));
static_assert(offsetof(::AudioHardwareIOProcStreamUsage, mStreamIsOn) == sizeof(void*) + sizeof(UInt32));

// The IO block views a cycle's input buffers through an array made with the IO proc:
// one entry per input stream of the device then, and at least this many.
constexpr std::uint32_t kMinIOBuffers = 16;

// Input streams of a device: its sub-devices' own inputs, then its taps'; 0 when it
// will not say.
std::uint32_t returnInputStreamCount(::AudioObjectID device) {
  const ::AudioObjectPropertyAddress address = {kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput,
                                                kAudioObjectPropertyElementMain};
  UInt32 size = 0;
  if (AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) != kAudioHardwareNoError) return 0;
  return size / sizeof(AudioStreamID);
}

::AudioObjectPropertyAddress platformAddress(const vesk::AudioObjectPropertyAddress& address) {
  return {address.mSelector, address.mScope, address.mElement};
}

// The whole text of a string as UTF-8 (unconvertible characters become '?').
std::string copyUTF8(CFStringRef string) {
  const CFRange whole = CFRangeMake(0, CFStringGetLength(string));
  CFIndex bytes = 0;
  CFStringGetBytes(string, whole, kCFStringEncodingUTF8, '?', false, nullptr, 0, &bytes);
  std::string text(static_cast<std::size_t>(bytes), '\0');
  CFStringGetBytes(string, whole, kCFStringEncodingUTF8, '?', false, reinterpret_cast<UInt8*>(text.data()), bytes,
                   nullptr);
  return text;
}

NSString* makeNSString(const std::string& text) {
  NSString* string = [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
  return string ? string : @"";  // text that is not UTF-8
}

id makeObject(const PlainValue& value);

NSDictionary* makeNSDictionary(const PlainDictionary& dictionary) {
  NSMutableDictionary* result = [NSMutableDictionary dictionaryWithCapacity:dictionary.entries.size()];
  for (const auto& [key, value] : dictionary.entries) result[makeNSString(key)] = makeObject(value);
  return result;
}

id makeObject(const PlainValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return makeNSString(*text);
  if (const auto* flag = std::get_if<bool>(&value)) return @(*flag);
  NSMutableArray* list = [NSMutableArray array];
  for (const PlainDictionary& entry : std::get<std::vector<PlainDictionary>>(value)) {
    [list addObject:makeNSDictionary(entry)];
  }
  return list;
}

CATapDescription* makeTapDescription(const TapDescription& description, NSArray<NSNumber*>* processes)
    API_AVAILABLE(macos(14.2)) {
  CATapDescription* tap;
  if (description.isMono) {
    tap = description.isExclusive ? [[CATapDescription alloc] initMonoGlobalTapButExcludeProcesses:processes]
                                  : [[CATapDescription alloc] initMonoMixdownOfProcesses:processes];
  } else {
    tap = description.isExclusive ? [[CATapDescription alloc] initStereoGlobalTapButExcludeProcesses:processes]
                                  : [[CATapDescription alloc] initStereoMixdownOfProcesses:processes];
  }
  [tap setName:makeNSString(description.name)];
  [tap setPrivate:description.isPrivate];
  [tap setMuteBehavior:static_cast<CATapMuteBehavior>(description.muteBehavior)];
  return tap;
}

// The description with its processes and the UUID the core chose, by which the
// aggregate device's tap list names the tap (and an update names the tap it changes);
// none when that UUID is malformed.
CATapDescription* makeNamedTapDescription(const TapDescription& description) API_AVAILABLE(macos(14.2)) {
  NSMutableArray<NSNumber*>* processes = [NSMutableArray arrayWithCapacity:description.excludedProcesses.size()];
  for (AudioObjectID process : description.excludedProcesses) [processes addObject:@(process)];
  CATapDescription* tap = makeTapDescription(description, processes);
  NSUUID* uuid = [[NSUUID alloc] initWithUUIDString:makeNSString(description.uuid)];
  if (!uuid) return nil;
  [tap setUUID:uuid];
  return tap;
}

class CoreAudioHardware final : public AudioHardware {
 public:
  OSStatus getPropertyData(AudioObjectID object, const vesk::AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifier, std::uint32_t& ioDataSize,
                           void* outData) override {
    const auto platform = platformAddress(address);
    return AudioObjectGetPropertyData(object, &platform, qualifierSize, qualifier, &ioDataSize, outData);
  }

  OSStatus setPropertyData(AudioObjectID object, const vesk::AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifier, std::uint32_t dataSize,
                           const void* data) override {
    const auto platform = platformAddress(address);
    return AudioObjectSetPropertyData(object, &platform, qualifierSize, qualifier, dataSize, data);
  }

  OSStatus getPropertyDataSize(AudioObjectID object, const vesk::AudioObjectPropertyAddress& address,
                               std::uint32_t qualifierSize, const void* qualifier,
                               std::uint32_t& outDataSize) override {
    const auto platform = platformAddress(address);
    return AudioObjectGetPropertyDataSize(object, &platform, qualifierSize, qualifier, &outDataSize);
  }

  OSStatus getPropertyString(AudioObjectID object, const vesk::AudioObjectPropertyAddress& address,
                             std::string& outText) override {
    const auto platform = platformAddress(address);
    // The call hands over an owned reference: released here exactly once, whatever
    // the status (a failing call may still have written one).
    CFStringRef string = nullptr;
    UInt32 size = sizeof string;
    const OSStatus status = AudioObjectGetPropertyData(object, &platform, 0, nullptr, &size, &string);
    if (status == kAudioHardwareNoError) outText = string ? copyUTF8(string) : std::string();
    if (string) CFRelease(string);
    return status;
  }

  OSStatus addPropertyListener(AudioObjectID object, const vesk::AudioObjectPropertyAddress& address,
                               SerialQueue& queue, const AudioObjectPropertyListener& listener) override {
    dispatch_queue_t dispatchQueue = returnDispatchQueue(queue);
    if (!dispatchQueue || !listener) return kAudio_ParamError;
    const auto platform = platformAddress(address);
    AudioObjectPropertyListener held = listener;  // the block keeps the callable alive
    ::AudioObjectPropertyListenerBlock block = ^(UInt32 count, const ::AudioObjectPropertyAddress* changed) {
      // Listeners here do not look at the addresses; the first eight are passed on.
      std::array<vesk::AudioObjectPropertyAddress, 8> addresses{};
      const std::uint32_t shown = std::min<std::uint32_t>(count, addresses.size());
      for (std::uint32_t i = 0; i < shown; ++i) {
        addresses[i] = {changed[i].mSelector, changed[i].mScope, changed[i].mElement};
      }
      (*held)(shown, addresses.data());
    };
    const OSStatus status = AudioObjectAddPropertyListenerBlock(object, &platform, dispatchQueue, block);
    if (status == kAudioHardwareNoError) listeners_[listenerKey(object, address, queue, listener)] = block;
    return status;
  }

  OSStatus removePropertyListener(AudioObjectID object, const vesk::AudioObjectPropertyAddress& address,
                                  SerialQueue& queue, const AudioObjectPropertyListener& listener) override {
    // Core Audio names a listener by the very block that was registered.
    auto found = listeners_.find(listenerKey(object, address, queue, listener));
    if (found == listeners_.end()) return kAudioHardwareIllegalOperationError;
    dispatch_queue_t dispatchQueue = returnDispatchQueue(queue);
    const auto platform = platformAddress(address);
    const OSStatus status = AudioObjectRemovePropertyListenerBlock(object, &platform, dispatchQueue, found->second);
    listeners_.erase(found);
    return status;
  }

  OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTapID) override {
    if (@available(macOS 14.2, *)) {
      CATapDescription* tap = makeNamedTapDescription(description);
      if (!tap) return kAudio_ParamError;
      ::AudioObjectID tapID = kAudioObjectUnknown;
      const OSStatus status = AudioHardwareCreateProcessTap(tap, &tapID);
      outTapID = tapID;
      return status;
    }
    return kAudioHardwareIllegalOperationError;  // no process taps before macOS 14.2
  }

  OSStatus updateProcessTap(AudioObjectID tapID, const TapDescription& description) override {
    if (@available(macOS 14.2, *)) {
      CATapDescription* tap = makeNamedTapDescription(description);
      if (!tap) return kAudio_ParamError;
      // The property's value is the description object itself; the tap goes on
      // running with the new list of processes.
      const ::AudioObjectPropertyAddress address = {kAudioTapPropertyDescription, kAudioObjectPropertyScopeGlobal,
                                                    kAudioObjectPropertyElementMain};
      CFTypeRef value = (__bridge CFTypeRef)tap;
      return AudioObjectSetPropertyData(tapID, &address, 0, nullptr, sizeof value, &value);
    }
    return kAudioHardwareIllegalOperationError;
  }

  OSStatus destroyProcessTap(AudioObjectID tapID) override {
    if (@available(macOS 14.2, *)) return AudioHardwareDestroyProcessTap(tapID);
    return kAudioHardwareIllegalOperationError;
  }

  OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                 AudioObjectID& outDeviceID) override {
    NSDictionary* dictionary = makeNSDictionary(returnAggregateDictionary(description));
    ::AudioObjectID deviceID = kAudioObjectUnknown;
    const OSStatus status = AudioHardwareCreateAggregateDevice((__bridge CFDictionaryRef)dictionary, &deviceID);
    outDeviceID = deviceID;
    return status;
  }

  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override {
    return AudioHardwareDestroyAggregateDevice(deviceID);
  }

  OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outIOProcID, AudioObjectID device, SerialQueue& queue,
                                   vesk::AudioDeviceIOBlock block) override {
    outIOProcID = 0;
    dispatch_queue_t dispatchQueue = returnDispatchQueue(queue);
    if (!dispatchQueue || !block) return kAudio_ParamError;
    // The tap's buffers come after every input of the output device (a USB interface
    // may have many), so the view holds the whole list: it is sized here from the
    // device's streams, and the cycles, one at a time, reuse it. Should the device
    // gain streams later, the tail is cut off; the core then sees no audio from the
    // tap, counts the IO as stalled and rebuilds, which makes a new IO proc.
    const std::uint32_t capacity = std::max(returnInputStreamCount(device), kMinIOBuffers);
    auto view = std::make_shared<std::vector<vesk::AudioBuffer>>(capacity);
    ::AudioDeviceIOBlock ioBlock = ^(const AudioTimeStamp*, const AudioBufferList* inputData, const AudioTimeStamp*,
                                     AudioBufferList*, const AudioTimeStamp*) {
      // Only the input list is handed on; nothing is written to the output list.
      vesk::AudioBuffer* buffers = view->data();
      std::uint32_t count = 0;
      if (inputData) {
        count = std::min(inputData->mNumberBuffers, capacity);
        for (std::uint32_t i = 0; i < count; ++i) {
          const ::AudioBuffer& delivered = inputData->mBuffers[i];
          buffers[i] = {delivered.mNumberChannels, delivered.mDataByteSize, delivered.mData};
        }
      }
      block(AudioBufferListRef{count, buffers});
    };
    ::AudioDeviceIOProcID procID = nullptr;
    const OSStatus status = AudioDeviceCreateIOProcIDWithBlock(&procID, device, dispatchQueue, ioBlock);
    if (status == kAudioHardwareNoError && procID) outIOProcID = reinterpret_cast<std::uintptr_t>(procID);
    return status;
  }

  OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override {
    return AudioDeviceDestroyIOProcID(device, platformProcID(procID));
  }

  OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override {
    return AudioDeviceStart(device, platformProcID(procID));
  }

  OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) override {
    return AudioDeviceStop(device, platformProcID(procID));
  }

 private:
  using ListenerKey = std::tuple<AudioObjectID, AudioObjectPropertySelector, AudioObjectPropertyScope,
                                 AudioObjectPropertyElement, const SerialQueue*, const void*>;

  static ListenerKey listenerKey(AudioObjectID object, const vesk::AudioObjectPropertyAddress& address,
                                 const SerialQueue& queue, const AudioObjectPropertyListener& listener) {
    return {object, address.mSelector, address.mScope, address.mElement, &queue, listener.get()};
  }

  static ::AudioDeviceIOProcID platformProcID(AudioDeviceIOProcID procID) {
    return reinterpret_cast<::AudioDeviceIOProcID>(static_cast<std::uintptr_t>(procID));
  }

  // Blocks registered as property listeners, by what names them in the seam. Main queue.
  std::map<ListenerKey, ::AudioObjectPropertyListenerBlock> listeners_;
};

}  // namespace

std::unique_ptr<AudioHardware> makeCoreAudioHardware() { return std::make_unique<CoreAudioHardware>(); }

}  // namespace vesk
