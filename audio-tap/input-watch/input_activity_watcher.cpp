// The input activity watcher over the audio-hardware and queue seams.
#include "audio-tap/input-watch/input_activity_watcher.h"

#include <algorithm>

#include "audio-tap/capture/property_readers.h"

namespace vesk {

Json returnInputProcesses(AudioHardware& hardware, const std::vector<ProcessID>& excluding) {
  Json processes = Json::array();
  for (AudioObjectID object : returnProcessObjectIDs(hardware)) {
    const auto input = returnUInt32Property(hardware, object, kAudioProcessPropertyIsRunningInput);
    if (!input || *input == 0) continue;
    const auto rawPID = returnUInt32Property(hardware, object, kAudioProcessPropertyPID);
    if (!rawPID) continue;
    const auto pid = static_cast<ProcessID>(*rawPID);
    if (std::find(excluding.begin(), excluding.end(), pid) != excluding.end()) continue;
    Json entry;
    entry["pid"] = pid;
    entry["bundleId"] = returnStringProperty(hardware, object, kAudioProcessPropertyBundleID).value_or("");
    processes.push_back(std::move(entry));
  }
  return processes;
}

std::shared_ptr<InputActivityWatcher> InputActivityWatcher::make(AudioHardware& hardware, SerialQueue& mainQueue,
                                                                  const Clock& clock, OutputChannels& output,
                                                                  std::vector<ProcessID> excludedPIDs) {
  return make(hardware, mainQueue, clock, output, std::make_shared<ExcludedProcesses>(std::move(excludedPIDs)));
}

std::shared_ptr<InputActivityWatcher> InputActivityWatcher::make(AudioHardware& hardware, SerialQueue& mainQueue,
                                                                  const Clock& clock, OutputChannels& output,
                                                                  std::shared_ptr<ExcludedProcesses> excluded) {
  return std::shared_ptr<InputActivityWatcher>(
      new InputActivityWatcher(hardware, mainQueue, clock, output, std::move(excluded)));
}

InputActivityWatcher::InputActivityWatcher(AudioHardware& hardware, SerialQueue& mainQueue, const Clock& clock,
                                           OutputChannels& output, std::shared_ptr<ExcludedProcesses> excluded)
    : hardware_(hardware), mainQueue_(mainQueue), clock_(clock), output_(output), excluded_(std::move(excluded)) {}

AudioObjectPropertyListener InputActivityWatcher::makeListener(void (InputActivityWatcher::*action)()) {
  std::weak_ptr<InputActivityWatcher> weakSelf = weak_from_this();
  return std::make_shared<const AudioObjectPropertyListenerBlock>(
      [weakSelf, action](std::uint32_t, const AudioObjectPropertyAddress*) {
        if (auto self = weakSelf.lock()) ((*self).*action)();
      });
}

void InputActivityWatcher::start() {
  if (isWatching_) return;
  isWatching_ = true;
  defaultListener_ = makeListener(&InputActivityWatcher::defaultDeviceChanged);
  hardware_.addPropertyListener(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultInputDevice),
                                mainQueue_, defaultListener_);
  attachDevice();
  emitNow();
}

void InputActivityWatcher::stop() {
  if (!isWatching_) return;
  isWatching_ = false;
  if (pending_) pending_->cancel();
  pending_.reset();
  detachDevice();
  if (defaultListener_) {
    hardware_.removePropertyListener(kAudioObjectSystemObject,
                                     globalAddress(kAudioHardwarePropertyDefaultInputDevice), mainQueue_,
                                     defaultListener_);
    defaultListener_.reset();
  }
}

void InputActivityWatcher::defaultDeviceChanged() {
  attachDevice();
  scheduleEmit();
}

void InputActivityWatcher::attachDevice() {
  const AudioObjectID newID = returnDefaultInputDeviceID(hardware_).value_or(kAudioObjectUnknown);
  if (newID == deviceID_) return;
  detachDevice();
  deviceID_ = newID;
  if (deviceID_ == kAudioObjectUnknown) return;
  deviceListener_ = makeListener(&InputActivityWatcher::scheduleEmit);
  hardware_.addPropertyListener(deviceID_, globalAddress(kAudioDevicePropertyDeviceIsRunningSomewhere), mainQueue_,
                                deviceListener_);
}

void InputActivityWatcher::detachDevice() {
  if (deviceListener_ && deviceID_ != kAudioObjectUnknown) {
    hardware_.removePropertyListener(deviceID_, globalAddress(kAudioDevicePropertyDeviceIsRunningSomewhere),
                                     mainQueue_, deviceListener_);
  }
  deviceListener_.reset();
  deviceID_ = kAudioObjectUnknown;
}

void InputActivityWatcher::scheduleEmit() {
  if (pending_) pending_->cancel();
  std::weak_ptr<InputActivityWatcher> weakSelf = weak_from_this();
  pending_ = std::make_shared<WorkItem>([weakSelf] {
    if (auto self = weakSelf.lock()) self->emitNow();
  });
  mainQueue_.asyncAfter(clock_.now() + debounceSeconds, pending_);
}

void InputActivityWatcher::emitNow() {
  if (!isWatching_) return;
  bool running = false;
  if (deviceID_ != kAudioObjectUnknown) {
    running = returnUInt32Property(hardware_, deviceID_, kAudioDevicePropertyDeviceIsRunningSomewhere).value_or(0) != 0;
  }
  Json event;
  event["event"] = "inputActivity";
  event["running"] = running;
  event["processes"] = returnInputProcesses(hardware_, excluded_->refresh());
  output_.emit(event);
}

}  // namespace vesk
