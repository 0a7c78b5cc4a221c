// An audio hardware for tests: holds the properties a test sets, records every call
// in order, keeps track of the taps, devices, IO procs and listeners that exist, and
// can be told to fail any creating call with a given status. `runIO` makes IO cycles
// the way a device does: with tap auto-start, only once a process that the tap does
// not leave out plays, and as many per build as a test allows.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio-tap/capture/hardware.h"
#include "audio-tap/process/queue.h"

namespace vesk::testing {

inline std::string selectorName(AudioObjectPropertySelector selector) {
  std::string name(4, ' ');
  for (int i = 0; i < 4; ++i) name[static_cast<std::size_t>(i)] = static_cast<char>(selector >> (24 - 8 * i));
  return name;
}

class FakeAudioHardware final : public AudioHardware {
 public:
  struct Property {
    OSStatus status = kAudioHardwareNoError;
    std::vector<std::uint8_t> bytes;
    std::optional<std::uint32_t> bytesWritten;  // fewer than asked: a partial fill
    std::optional<std::uint32_t> reportedSize;  // what a size query answers
    std::string text;
  };
  struct Listener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    SerialQueue* queue;
    AudioObjectPropertyListener listener;
  };

  // ---- setting the scene ----
  void setUInt32(AudioObjectID object, AudioObjectPropertySelector selector, std::uint32_t value) {
    Property p;
    p.bytes.resize(4);
    std::memcpy(p.bytes.data(), &value, 4);
    properties[{object, selector}] = p;
  }
  void setString(AudioObjectID object, AudioObjectPropertySelector selector, std::string text) {
    Property p;
    p.text = std::move(text);
    properties[{object, selector}] = p;
  }
  void setFormat(AudioObjectID tap, const AudioStreamBasicDescription& format) {
    Property p;
    p.bytes.resize(sizeof format);
    std::memcpy(p.bytes.data(), &format, sizeof format);
    properties[{tap, kAudioTapPropertyFormat}] = p;
  }
  void setFloat64(AudioObjectID object, AudioObjectPropertySelector selector, double value) {
    Property p;
    p.bytes.resize(8);
    std::memcpy(p.bytes.data(), &value, 8);
    properties[{object, selector}] = p;
  }
  /// A device's input streams (the fake does not tell scopes apart), each with a format.
  void setInputStreams(AudioObjectID device, const std::vector<std::pair<AudioObjectID, AudioStreamBasicDescription>>& streams) {
    Property p;
    for (const auto& [id, format] : streams) {
      p.bytes.resize(p.bytes.size() + 4);
      std::memcpy(p.bytes.data() + p.bytes.size() - 4, &id, 4);
      Property f;
      f.bytes.resize(sizeof format);
      std::memcpy(f.bytes.data(), &format, sizeof format);
      properties[{id, kAudioStreamPropertyVirtualFormat}] = f;
    }
    properties[{device, kAudioDevicePropertyStreams}] = p;
  }
  void setFailing(AudioObjectID object, AudioObjectPropertySelector selector, OSStatus status) {
    properties[{object, selector}].status = status;
  }
  void setProcessList(const std::vector<AudioObjectID>& ids) {
    Property p;
    p.bytes.resize(ids.size() * 4);
    if (!ids.empty()) std::memcpy(p.bytes.data(), ids.data(), p.bytes.size());
    properties[{kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList}] = p;
  }
  /// A process object with its properties.
  void addProcess(AudioObjectID object, std::int32_t pid, bool runningInput, std::optional<std::string> bundleID) {
    setUInt32(object, kAudioProcessPropertyPID, static_cast<std::uint32_t>(pid));
    setUInt32(object, kAudioProcessPropertyIsRunningInput, runningInput ? 1 : 0);
    if (bundleID) {
      setString(object, kAudioProcessPropertyBundleID, *bundleID);
    } else {
      setFailing(object, kAudioProcessPropertyBundleID, kAudioHardwareUnknownPropertyError);
    }
  }

  // ---- the seam ----
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t qualifierSize,
                           const void* qualifier, std::uint32_t& ioDataSize, void* outData) override {
    std::lock_guard<std::mutex> hold(mutex_);
    log("get " + std::to_string(object) + " " + selectorName(address.mSelector));
    if (address.mSelector == kAudioHardwarePropertyTranslatePIDToProcessObject) {
      std::int32_t pid = 0;
      if (qualifierSize != 4 || qualifier == nullptr || ioDataSize != 4) return kAudio_ParamError;
      std::memcpy(&pid, qualifier, 4);
      translatedPIDs.push_back(pid);
      if (failingPIDs.count(pid)) return kAudioHardwareIllegalOperationError;
      auto found = processObjects.find(pid);
      const AudioObjectID id = found == processObjects.end() ? kAudioObjectUnknown : found->second;
      std::memcpy(outData, &id, 4);
      return kAudioHardwareNoError;
    }
    auto found = properties.find({object, address.mSelector});
    if (found == properties.end()) return kAudioHardwareUnknownPropertyError;
    const Property& p = found->second;
    const std::uint32_t n = std::min<std::uint32_t>(
        {ioDataSize, static_cast<std::uint32_t>(p.bytes.size()), p.bytesWritten.value_or(ioDataSize)});
    if (n > 0) std::memcpy(outData, p.bytes.data(), n);  // written even when failing, as a platform may
    ioDataSize = n;
    return p.status;
  }
  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t,
                           const void*, std::uint32_t dataSize, const void* data) override {
    log("set " + std::to_string(object) + " " + selectorName(address.mSelector));
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    written.push_back({object, address, std::vector<std::uint8_t>(bytes, bytes + dataSize)});
    return setStatus;
  }
  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t,
                               const void*, std::uint32_t& outDataSize) override {
    std::lock_guard<std::mutex> hold(mutex_);
    log("size " + std::to_string(object) + " " + selectorName(address.mSelector));
    auto found = properties.find({object, address.mSelector});
    if (found == properties.end()) return kAudioHardwareUnknownPropertyError;
    if (found->second.status != kAudioHardwareNoError && !sizeQuerySucceedsWhenReadFails) return found->second.status;
    outDataSize = found->second.reportedSize.value_or(static_cast<std::uint32_t>(found->second.bytes.size()));
    return kAudioHardwareNoError;
  }
  OSStatus getPropertyString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::string& outText) override {
    std::lock_guard<std::mutex> hold(mutex_);
    log("string " + std::to_string(object) + " " + selectorName(address.mSelector));
    auto found = properties.find({object, address.mSelector});
    if (found == properties.end()) return kAudioHardwareUnknownPropertyError;
    if (found->second.status != kAudioHardwareNoError) return found->second.status;
    outText = found->second.text;
    return kAudioHardwareNoError;
  }
  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address, SerialQueue& queue,
                               const AudioObjectPropertyListener& listener) override {
    log("addListener " + std::to_string(object) + " " + selectorName(address.mSelector));
    listeners.push_back({object, address, &queue, listener});
    return kAudioHardwareNoError;
  }
  OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address, SerialQueue& queue,
                                  const AudioObjectPropertyListener& listener) override {
    log("removeListener " + std::to_string(object) + " " + selectorName(address.mSelector));
    for (auto it = listeners.begin(); it != listeners.end(); ++it) {
      if (it->object == object && it->address == address && it->queue == &queue && it->listener == listener) {
        listeners.erase(it);
        return kAudioHardwareNoError;
      }
    }
    return kAudioHardwareIllegalOperationError;
  }
  OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTapID) override {
    log("createProcessTap");
    tapDescriptions.push_back(description);
    outTapID = tapStatus == kAudioHardwareNoError ? nextTapID : kAudioObjectUnknown;
    if (tapStatus == kAudioHardwareNoError && outTapID != kAudioObjectUnknown) {
      liveTaps.insert(outTapID);
      // The tap names itself: by the description's UUID unless told otherwise.
      setString(outTapID, kAudioTapPropertyUID, tapUID.value_or(description.uuid));
      if (tapUIDStatus != kAudioHardwareNoError) setFailing(outTapID, kAudioTapPropertyUID, tapUIDStatus);
    }
    return tapStatus;
  }
  OSStatus destroyProcessTap(AudioObjectID tapID) override {
    log("destroyProcessTap " + std::to_string(tapID));
    liveTaps.erase(tapID);
    return kAudioHardwareNoError;
  }
  OSStatus updateProcessTap(AudioObjectID tapID, const TapDescription& description) override {
    log("updateProcessTap " + std::to_string(tapID));
    if (updateStatus == kAudioHardwareNoError) tapUpdates.push_back(description);
    return updateStatus;
  }
  OSStatus createAggregateDevice(const AggregateDeviceDescription& description, AudioObjectID& outDeviceID) override {
    log("createAggregateDevice");
    aggregateDescriptions.push_back(description);
    outDeviceID = aggregateStatus == kAudioHardwareNoError ? nextAggregateID : kAudioObjectUnknown;
    if (outDeviceID != kAudioObjectUnknown) liveAggregates.insert(outDeviceID);
    return aggregateStatus;
  }
  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override {
    log("destroyAggregateDevice " + std::to_string(deviceID));
    liveAggregates.erase(deviceID);
    return kAudioHardwareNoError;
  }
  OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outIOProcID, AudioObjectID device, SerialQueue& queue,
                                   AudioDeviceIOBlock block) override {
    log("createIOProc " + std::to_string(device));
    outIOProcID = ioProcStatus == kAudioHardwareNoError ? nextProcID : 0;
    if (outIOProcID != 0) {
      std::lock_guard<std::mutex> hold(mutex_);
      ioBlock = std::move(block);
      ioQueue = &queue;
    }
    return ioProcStatus;
  }
  OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override {
    log("destroyIOProc " + std::to_string(device) + " " + std::to_string(procID));
    std::lock_guard<std::mutex> hold(mutex_);
    ioBlock = nullptr;
    return kAudioHardwareNoError;
  }
  OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override {
    log("deviceStart " + std::to_string(device) + " " + std::to_string(procID));
    if (startStatus == kAudioHardwareNoError) deviceRunning = true;
    ioStarted_ = false;
    cyclesLeft_ = cyclesPerBuild;
    return startStatus;
  }
  OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) override {
    log("deviceStop " + std::to_string(device) + " " + std::to_string(procID));
    deviceRunning = false;
    return kAudioHardwareNoError;
  }

  // ---- driving it ----
  /// One IO cycle: calls the installed block on its queue with `input`, as the
  /// platform does; false when no IO proc is installed.
  bool deliver(const AudioBufferListRef& input) {
    AudioDeviceIOBlock block;
    SerialQueue* queue = nullptr;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      block = ioBlock;
      queue = ioQueue;
    }
    if (!block) return false;
    queue->sync([&] { block(input); });
    return true;
  }
  /// One IO cycle if the running device makes one now: a device with tap auto-start
  /// begins once a process that the tap does not leave out runs output, and then goes
  /// on; each build makes `cyclesPerBuild` cycles (all of them when negative).
  bool runIO(const AudioBufferListRef& input) {
    if (!deviceRunning || cyclesLeft_ == 0) return false;
    if (!ioStarted_ && !aggregateDescriptions.empty() && aggregateDescriptions.back().tapAutoStart) {
      if (!tappedProcessPlays()) return false;
    }
    ioStarted_ = true;
    if (cyclesLeft_ > 0) --cyclesLeft_;
    return deliver(input);
  }
  /// The running build makes no more cycles.
  void haltIO() { cyclesLeft_ = 0; }

  /// The property changed: queues every listener registered for it on its queue.
  void notify(AudioObjectID object, AudioObjectPropertySelector selector) {
    for (const auto& l : listeners) {
      if (l.object != object || l.address.mSelector != selector) continue;
      auto listener = l.listener;
      auto address = l.address;
      l.queue->async([listener, address] { (*listener)(1, &address); });
    }
  }
  std::vector<std::string> takeCalls() {
    std::lock_guard<std::mutex> hold(journalMutex_);
    return std::exchange(calls, {});
  }
  /// The calls that create, destroy, start, stop or set something, in order.
  std::vector<std::string> takeLifecycleCalls() {
    std::vector<std::string> kept;
    for (auto& call : takeCalls()) {
      const bool isQuery = call.rfind("get", 0) == 0 || call.rfind("size", 0) == 0 || call.rfind("string", 0) == 0;
      const bool isListener = call.find("Listener ") != std::string::npos;
      if (!isQuery && !isListener) kept.push_back(call);
    }
    return kept;
  }

  std::map<std::pair<AudioObjectID, AudioObjectPropertySelector>, Property> properties;
  std::map<std::int32_t, AudioObjectID> processObjects;  // what 'id2p' answers per pid
  std::set<std::int32_t> failingPIDs;
  std::vector<std::int32_t> translatedPIDs;
  bool sizeQuerySucceedsWhenReadFails = false;

  OSStatus tapStatus = kAudioHardwareNoError;
  AudioObjectID nextTapID = 11;
  std::optional<std::string> tapUID;  // what a new tap says its UID is
  OSStatus tapUIDStatus = kAudioHardwareNoError;
  int cyclesPerBuild = -1;
  OSStatus updateStatus = kAudioHardwareNoError;
  OSStatus aggregateStatus = kAudioHardwareNoError;
  AudioObjectID nextAggregateID = 21;
  OSStatus ioProcStatus = kAudioHardwareNoError;
  AudioDeviceIOProcID nextProcID = 31;
  OSStatus startStatus = kAudioHardwareNoError;

  struct Write {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Write> written;
  OSStatus setStatus = kAudioHardwareNoError;

  std::vector<TapDescription> tapDescriptions;
  std::vector<TapDescription> tapUpdates;  // the descriptions taps were updated to
  std::vector<AggregateDeviceDescription> aggregateDescriptions;
  std::set<AudioObjectID> liveTaps;
  std::set<AudioObjectID> liveAggregates;
  bool deviceRunning = false;
  AudioDeviceIOBlock ioBlock;
  SerialQueue* ioQueue = nullptr;
  std::vector<Listener> listeners;
  std::vector<std::string> calls;

 private:
  bool tappedProcessPlays() {
    const auto& tap = tapUpdates.empty() ? tapDescriptions.back() : tapUpdates.back();
    auto list = properties.find({kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList});
    if (list == properties.end()) return false;
    for (std::size_t i = 0; i + 4 <= list->second.bytes.size(); i += 4) {
      AudioObjectID process = 0;
      std::memcpy(&process, list->second.bytes.data() + i, 4);
      auto playing = properties.find({process, kAudioProcessPropertyIsRunningOutput});
      const bool plays = playing != properties.end() && playing->second.bytes.size() == 4 && playing->second.bytes[0];
      if (plays && std::count(tap.excludedProcesses.begin(), tap.excludedProcesses.end(), process) == 0) return true;
    }
    return false;
  }
  void log(std::string call) {
    std::lock_guard<std::mutex> hold(journalMutex_);
    calls.push_back(std::move(call));
  }
  std::mutex mutex_;
  std::mutex journalMutex_;
  bool ioStarted_ = false;
  int cyclesLeft_ = -1;
};

}  // namespace vesk::testing
