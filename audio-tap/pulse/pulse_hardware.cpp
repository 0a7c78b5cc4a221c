// The audio object model over libpulse. Property reads come from the main queue (and
// any other thread), each answered from a fresh snapshot of the server; listeners
// are fed by the server's change events on the main loop's thread and delivered on
// the queue each listener named; capture runs in TapCapture.
#include "audio-tap/pulse/pulse_hardware.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "audio-tap/process/queue.h"
#include "audio-tap/pulse/object_model.h"
#include "audio-tap/pulse/pulse_connection.h"
#include "audio-tap/pulse/tap_capture.h"

namespace vesk::pulse {
namespace {

bool isProcessAlive(std::int32_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// The name the kernel keeps for a process that has no stream to tell us better.
std::optional<std::string> processName(std::int32_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!comm || !std::getline(comm, name) || name.empty()) return std::nullopt;
  return name;
}

template <typename T>
OSStatus writeValue(const T& value, std::uint32_t& ioDataSize, void* outData) {
  if (ioDataSize < sizeof(T) || !outData) return kAudio_ParamError;
  std::memcpy(outData, &value, sizeof(T));
  ioDataSize = sizeof(T);
  return kAudioHardwareNoError;
}

struct Listener {
  AudioObjectID object;
  AudioObjectPropertyAddress address;
  SerialQueue* queue;
  AudioObjectPropertyListener block;
  std::shared_ptr<std::atomic<bool>> active;
};

struct TapObject {
  std::vector<std::int32_t> excludedPids;
  bool excludeDescendants = false;
  std::uint32_t rate = 0;
  std::string uuid;
};

struct IOProc {
  SerialQueue* queue;
  AudioDeviceIOBlock block;
  std::unique_ptr<TapCapture> capture;
};

struct AggregateObject {
  AudioObjectID tap = kAudioObjectUnknown;
  std::map<AudioDeviceIOProcID, IOProc> procs;
};

std::vector<std::int32_t> pidsOf(const TapDescription& description) {
  std::vector<std::int32_t> pids;
  for (AudioObjectID process : description.excludedProcesses) {
    if (auto pid = ObjectIDs::pidOf(process)) pids.push_back(*pid);
  }
  return pids;
}

class PulseHardware final : public AudioHardware {
 public:
  PulseHardware(ProcessTable& processes, PulseConnection::CurrentWork currentWork)
      : connection_(currentWork), ownPid_(::getpid()), processes_(processes) {
    connection_.setHandlers([this](auto type, auto index) { onServerChange(type, index); },
                            [this] { onConnectionLost(); });
  }

  ~PulseHardware() override {
    std::lock_guard<std::mutex> hold(objectsLock_);
    for (auto& [id, aggregate] : aggregates_) {
      for (auto& [procID, proc] : aggregate.procs) stopCapture(proc);
    }
  }

  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifier, std::uint32_t& ioDataSize,
                           void* outData) override {
    switch (ids_.kindOf(object)) {
      case ObjectKind::system:
        return systemProperty(address.mSelector, qualifierSize, qualifier, ioDataSize, outData);
      case ObjectKind::sink:
      case ObjectKind::source:
        return deviceProperty(object, address.mSelector, ioDataSize, outData);
      case ObjectKind::process:
        return processProperty(*ObjectIDs::pidOf(object), address.mSelector, ioDataSize, outData);
      case ObjectKind::tap:
        return tapProperty(object, address.mSelector, ioDataSize, outData);
      case ObjectKind::aggregate:
        return aggregateProperty(object, address.mSelector, ioDataSize, outData);
      case ObjectKind::none:
        break;
    }
    return kAudioHardwareBadObjectError;
  }

  OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t,
                           const void*, std::uint32_t, const void*) override {
    // Every stream of an aggregate device here is its tap's: which of them an IO proc
    // uses needs no setting.
    if (ids_.kindOf(object) == ObjectKind::aggregate && address.mSelector == kAudioDevicePropertyIOProcStreamUsage) {
      return kAudioHardwareNoError;
    }
    return ids_.kindOf(object) == ObjectKind::none ? kAudioHardwareBadObjectError : kAudioHardwareUnknownPropertyError;
  }

  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t,
                               const void*, std::uint32_t& outDataSize) override {
    if (ids_.kindOf(object) == ObjectKind::system && address.mSelector == kAudioHardwarePropertyProcessObjectList) {
      std::shared_ptr<const ServerSnapshot> read;
      if (OSStatus status = connection_.snapshot(read)) return status;
      const ServerSnapshot& snapshot = *read;
      outDataSize = static_cast<std::uint32_t>(processesWithStreams(snapshot).size() * sizeof(AudioObjectID));
      return kAudioHardwareNoError;
    }
    std::uint32_t size = 1024;
    std::vector<std::uint8_t> scratch(size);
    OSStatus status = getPropertyData(object, address, 0, nullptr, size, scratch.data());
    if (status == kAudioHardwareNoError) outDataSize = size;
    return status;
  }

  OSStatus getPropertyString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::string& outText) override {
    ObjectKind kind = ids_.kindOf(object);
    if ((kind == ObjectKind::sink || kind == ObjectKind::source) && address.mSelector == kAudioDevicePropertyDeviceUID) {
      // A device's UID is its name on the server.
      outText = ids_.deviceName(object).value_or("");
      return kAudioHardwareNoError;
    }
    if (kind == ObjectKind::process && address.mSelector == kAudioProcessPropertyBundleID) {
      std::int32_t pid = *ObjectIDs::pidOf(object);
      std::shared_ptr<const ServerSnapshot> read;
      if (OSStatus status = connection_.snapshot(read)) return status;
      const ServerSnapshot& snapshot = *read;
      auto identifier = applicationIdentifier(snapshot, pid);
      if (!identifier) identifier = processName(pid);
      if (!identifier) return kAudioHardwareBadObjectError;
      outText = *identifier;
      return kAudioHardwareNoError;
    }
    return kind == ObjectKind::none ? kAudioHardwareBadObjectError : kAudioHardwareUnknownPropertyError;
  }

  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address, SerialQueue& queue,
                               const AudioObjectPropertyListener& listener) override {
    if (ids_.kindOf(object) == ObjectKind::none || !listener) return kAudioHardwareBadObjectError;
    {
      std::lock_guard<std::mutex> hold(listenersLock_);
      listeners_.push_back(Listener{object, address, &queue, listener, std::make_shared<std::atomic<bool>>(true)});
    }
    // Changes are reported only over a live connection: make one now if we can.
    PulseConnection::Lock hold(connection_);
    OSStatus status = 0;
    connection_.readyContext(status);
    return kAudioHardwareNoError;
  }

  OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address, SerialQueue& queue,
                                  const AudioObjectPropertyListener& listener) override {
    std::lock_guard<std::mutex> hold(listenersLock_);
    auto it = std::find_if(listeners_.begin(), listeners_.end(), [&](const Listener& l) {
      return l.object == object && l.address == address && l.queue == &queue && l.block == listener;
    });
    if (it == listeners_.end()) return kAudioHardwareIllegalOperationError;
    it->active->store(false);  // a delivery already queued is dropped
    listeners_.erase(it);
    return kAudioHardwareNoError;
  }

  OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTapID) override {
    outTapID = kAudioObjectUnknown;
    std::shared_ptr<const ServerSnapshot> read;
    if (OSStatus status = connection_.snapshot(read)) return status;
    const ServerSnapshot& snapshot = *read;
    const Sink* sink = defaultOutputSink(snapshot);
    if (!sink) return statusFromPulseError(PA_ERR_NOENTITY);
    TapObject tap;
    tap.rate = sink->rate;
    tap.uuid = description.uuid;
    tap.excludedPids = pidsOf(description);
    tap.excludeDescendants = description.excludeDescendants;
    AudioObjectID id = ids_.newTap();
    if (id == kAudioObjectUnknown) return kAudioHardwareIllegalOperationError;
    std::lock_guard<std::mutex> hold(objectsLock_);
    taps_[id] = std::move(tap);
    outTapID = id;
    return kAudioHardwareNoError;
  }

  OSStatus destroyProcessTap(AudioObjectID tapID) override {
    std::lock_guard<std::mutex> hold(objectsLock_);
    return taps_.erase(tapID) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
  }

  OSStatus updateProcessTap(AudioObjectID tapID, const TapDescription& description) override {
    std::lock_guard<std::mutex> hold(objectsLock_);
    auto tap = taps_.find(tapID);
    if (tap == taps_.end()) return kAudioHardwareBadObjectError;
    if (description.uuid != tap->second.uuid) return kAudio_ParamError;  // as Core Audio: the tap's own UUID
    tap->second.excludedPids = pidsOf(description);
    tap->second.excludeDescendants = description.excludeDescendants;
    PulseConnection::Lock loop(connection_);
    for (auto& [id, aggregate] : aggregates_) {
      if (aggregate.tap != tapID) continue;
      for (auto& [procID, proc] : aggregate.procs) {
        if (proc.capture) proc.capture->setExcludedPids(tap->second.excludedPids);
      }
    }
    return kAudioHardwareNoError;
  }

  OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                 AudioObjectID& outDeviceID) override {
    outDeviceID = kAudioObjectUnknown;
    std::lock_guard<std::mutex> hold(objectsLock_);
    AggregateObject aggregate;
    for (const auto& subTap : description.taps) {
      for (const auto& [id, tap] : taps_) {
        if (!tap.uuid.empty() && tap.uuid == subTap.uid) aggregate.tap = id;
      }
    }
    if (aggregate.tap == kAudioObjectUnknown) return kAudio_ParamError;
    AudioObjectID id = ids_.newAggregate();
    if (id == kAudioObjectUnknown) return kAudioHardwareIllegalOperationError;
    aggregates_[id] = std::move(aggregate);
    outDeviceID = id;
    return kAudioHardwareNoError;
  }

  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override {
    std::lock_guard<std::mutex> hold(objectsLock_);
    auto it = aggregates_.find(deviceID);
    if (it == aggregates_.end()) return kAudioHardwareBadObjectError;
    for (auto& [procID, proc] : it->second.procs) stopCapture(proc);
    aggregates_.erase(it);
    return kAudioHardwareNoError;
  }

  OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outIOProcID, AudioObjectID device, SerialQueue& queue,
                                   AudioDeviceIOBlock block) override {
    outIOProcID = 0;
    std::lock_guard<std::mutex> hold(objectsLock_);
    auto it = aggregates_.find(device);
    if (it == aggregates_.end()) return kAudioHardwareBadObjectError;
    if (!block) return kAudio_ParamError;
    AudioDeviceIOProcID id = ++lastProcID_;
    it->second.procs[id] = IOProc{&queue, std::move(block), nullptr};
    outIOProcID = id;
    return kAudioHardwareNoError;
  }

  OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override {
    std::lock_guard<std::mutex> hold(objectsLock_);
    IOProc* proc = findProc(device, procID);
    if (!proc) return kAudioHardwareBadObjectError;
    stopCapture(*proc);
    aggregates_[device].procs.erase(procID);
    return kAudioHardwareNoError;
  }

  OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override {
    std::lock_guard<std::mutex> hold(objectsLock_);
    IOProc* proc = findProc(device, procID);
    if (!proc) return kAudioHardwareBadObjectError;
    if (proc->capture) return kAudioHardwareNoError;  // already running
    auto tap = taps_.find(aggregates_[device].tap);
    if (tap == taps_.end()) return kAudioHardwareBadObjectError;
    ProcessTable* ancestry = tap->second.excludeDescendants ? &processes_ : nullptr;
    auto capture = std::make_unique<TapCapture>(connection_, tap->second.rate, tap->second.excludedPids, ancestry,
                                                *proc->queue, proc->block);
    {
      // Streams that change while the capture starts (one moved to another sink, say)
      // must reach it: it hears of them from the moment it lists them.
      PulseConnection::Lock loop(connection_);
      captures_.push_back(capture.get());
    }
    if (OSStatus status = capture->start()) {
      PulseConnection::Lock loop(connection_);
      captures_.erase(std::remove(captures_.begin(), captures_.end(), capture.get()), captures_.end());
      return status;
    }
    proc->capture = std::move(capture);
    return kAudioHardwareNoError;
  }

  OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) override {
    std::lock_guard<std::mutex> hold(objectsLock_);
    IOProc* proc = findProc(device, procID);
    if (!proc) return kAudioHardwareBadObjectError;
    stopCapture(*proc);
    return kAudioHardwareNoError;
  }

 private:
  // Objects lock held.
  void stopCapture(IOProc& proc) {
    if (!proc.capture) return;
    {
      PulseConnection::Lock loop(connection_);
      captures_.erase(std::remove(captures_.begin(), captures_.end(), proc.capture.get()), captures_.end());
    }
    proc.capture->stop();
    proc.capture.reset();
  }

  IOProc* findProc(AudioObjectID device, AudioDeviceIOProcID procID) {
    auto it = aggregates_.find(device);
    if (it == aggregates_.end()) return nullptr;
    auto proc = it->second.procs.find(procID);
    return proc == it->second.procs.end() ? nullptr : &proc->second;
  }

  OSStatus systemProperty(AudioObjectPropertySelector selector, std::uint32_t qualifierSize, const void* qualifier,
                          std::uint32_t& ioDataSize, void* outData) {
    if (selector == kAudioHardwarePropertyTranslatePIDToProcessObject) {
      if (qualifierSize != sizeof(std::int32_t) || !qualifier) return kAudio_ParamError;
      std::int32_t pid;
      std::memcpy(&pid, qualifier, sizeof pid);
      // Any live process has an object, streams or not, so a host that starts playing
      // after capture began is still left out.
      AudioObjectID id = isProcessAlive(pid) ? ObjectIDs::processObject(pid) : kAudioObjectUnknown;
      return writeValue(id, ioDataSize, outData);
    }
    static const ServerSnapshot kNoRead;
    std::shared_ptr<const ServerSnapshot> read;
    if (selector == kAudioHardwarePropertyDefaultInputDevice || selector == kAudioHardwarePropertyDefaultSystemOutputDevice ||
        selector == kAudioHardwarePropertyProcessObjectList) {
      if (OSStatus status = connection_.snapshot(read)) return status;
    }
    const ServerSnapshot& snapshot = read ? *read : kNoRead;
    switch (selector) {
      case kAudioHardwarePropertyDefaultInputDevice: {
        const Source* source = defaultInputSource(snapshot);
        return writeValue(source ? ids_.source(source->name) : kAudioObjectUnknown, ioDataSize, outData);
      }
      case kAudioHardwarePropertyDefaultSystemOutputDevice: {
        const Sink* sink = defaultOutputSink(snapshot);
        return writeValue(sink ? ids_.sink(sink->name) : kAudioObjectUnknown, ioDataSize, outData);
      }
      case kAudioHardwarePropertyProcessObjectList: {
        auto pids = processesWithStreams(snapshot);
        auto room = static_cast<std::uint32_t>(outData ? ioDataSize / sizeof(AudioObjectID) : 0);
        std::uint32_t n = std::min<std::uint32_t>(room, static_cast<std::uint32_t>(pids.size()));
        auto* ids = static_cast<AudioObjectID*>(outData);
        for (std::uint32_t i = 0; i < n; ++i) ids[i] = ObjectIDs::processObject(pids[i]);
        ioDataSize = n * static_cast<std::uint32_t>(sizeof(AudioObjectID));
        return kAudioHardwareNoError;
      }
      default:
        return kAudioHardwareUnknownPropertyError;
    }
  }

  // A sink or source: whether it runs for anyone, is still there, its rate, and its
  // input streams (a sink has none: its monitor is a device of its own).
  OSStatus deviceProperty(AudioObjectID device, AudioObjectPropertySelector selector, std::uint32_t& ioDataSize,
                          void* outData) {
    if (selector == kAudioDevicePropertyStreams) {
      ioDataSize = 0;
      return kAudioHardwareNoError;
    }
    if (selector != kAudioDevicePropertyDeviceIsRunningSomewhere && selector != kAudioDevicePropertyDeviceIsAlive &&
        selector != kAudioDevicePropertyNominalSampleRate) {
      return kAudioHardwareUnknownPropertyError;
    }
    std::shared_ptr<const ServerSnapshot> read;
    if (OSStatus status = connection_.snapshot(read)) return status;
    const ServerSnapshot& snapshot = *read;
    auto name = ids_.deviceName(device).value_or("");
    const bool isSource = ids_.kindOf(device) == ObjectKind::source;
    const Source* source = isSource ? snapshot.sourceNamed(name) : nullptr;
    const Sink* sink = isSource ? nullptr : snapshot.sinkNamed(name);
    if (selector == kAudioDevicePropertyDeviceIsAlive) {
      return writeValue(static_cast<std::uint32_t>(source || sink ? 1 : 0), ioDataSize, outData);
    }
    if (!source && !sink) return kAudioHardwareBadObjectError;
    if (selector == kAudioDevicePropertyNominalSampleRate) {
      if (!sink) return kAudioHardwareUnknownPropertyError;
      return writeValue(static_cast<double>(sink->rate), ioDataSize, outData);
    }
    std::uint32_t running = 0;
    if (source) {
      running = isSourceRunningSomewhere(snapshot, *source, ownPid_) ? 1 : 0;
    } else {
      running = isSinkRunningSomewhere(snapshot, *sink) ? 1 : 0;
    }
    return writeValue(running, ioDataSize, outData);
  }

  // An aggregate device: its one input stream is its tap's (named by the tap's ID),
  // at the tap's rate; it lives until destroyed.
  OSStatus aggregateProperty(AudioObjectID device, AudioObjectPropertySelector selector, std::uint32_t& ioDataSize,
                             void* outData) {
    std::lock_guard<std::mutex> hold(objectsLock_);
    auto aggregate = aggregates_.find(device);
    if (selector == kAudioDevicePropertyDeviceIsAlive) {
      return writeValue(static_cast<std::uint32_t>(aggregate != aggregates_.end() ? 1 : 0), ioDataSize, outData);
    }
    if (aggregate == aggregates_.end()) return kAudioHardwareBadObjectError;
    auto tap = taps_.find(aggregate->second.tap);
    if (tap == taps_.end()) return kAudioHardwareBadObjectError;
    switch (selector) {
      case kAudioDevicePropertyStreams:
        return writeValue(tap->first, ioDataSize, outData);
      case kAudioDevicePropertyNominalSampleRate:
        return writeValue(static_cast<double>(tap->second.rate), ioDataSize, outData);
      default:
        return kAudioHardwareUnknownPropertyError;
    }
  }

  OSStatus processProperty(std::int32_t pid, AudioObjectPropertySelector selector, std::uint32_t& ioDataSize,
                           void* outData) {
    switch (selector) {
      case kAudioProcessPropertyPID:
        return writeValue(static_cast<std::uint32_t>(pid), ioDataSize, outData);
      case kAudioProcessPropertyIsRunningInput:
      case kAudioProcessPropertyIsRunningOutput: {
        std::shared_ptr<const ServerSnapshot> read;
        if (OSStatus status = connection_.snapshot(read)) return status;
        const ServerSnapshot& snapshot = *read;
        const bool running = selector == kAudioProcessPropertyIsRunningInput ? isRunningInput(snapshot, pid)
                                                                             : isRunningOutput(snapshot, pid);
        return writeValue(static_cast<std::uint32_t>(running ? 1 : 0), ioDataSize, outData);
      }
      default:
        return kAudioHardwareUnknownPropertyError;
    }
  }

  OSStatus tapProperty(AudioObjectID tap, AudioObjectPropertySelector selector, std::uint32_t& ioDataSize,
                       void* outData) {
    // A tap's ID also names its stream in its aggregate device.
    if (selector != kAudioTapPropertyFormat && selector != kAudioStreamPropertyVirtualFormat) {
      return kAudioHardwareUnknownPropertyError;
    }
    std::lock_guard<std::mutex> hold(objectsLock_);
    auto it = taps_.find(tap);
    if (it == taps_.end()) return kAudioHardwareBadObjectError;
    return writeValue(tapFormat(it->second.rate), ioDataSize, outData);
  }

  // Main loop thread, loop lock held.
  void onServerChange(pa_subscription_event_type_t type, std::uint32_t index) {
    auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const bool streamCameOrWent = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE;
    if ((facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT || facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) &&
        streamCameOrWent) {
      notify(kAudioHardwarePropertyProcessObjectList);  // processes with streams came or went
    }
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
      for (TapCapture* capture : captures_) capture->onSinkInputEvent(type, index);
      return;
    }
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER || facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
      notify(kAudioHardwarePropertyDefaultInputDevice);
    }
    // The default sink is the default output device: a change of it, of a sink's rate
    // or a sink going away reaches capture's listeners, which look for themselves.
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER || facility == PA_SUBSCRIPTION_EVENT_SINK) {
      notify(kAudioHardwarePropertyDefaultSystemOutputDevice);
    }
    if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
      const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
      notify(kind == PA_SUBSCRIPTION_EVENT_REMOVE ? kAudioDevicePropertyDeviceIsAlive
                                                   : kAudioDevicePropertyNominalSampleRate);
    }
    if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT || facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
      notify(kAudioDevicePropertyDeviceIsRunningSomewhere);
    }
  }

  // Main loop thread, loop lock held.
  void onConnectionLost() {
    for (TapCapture* capture : captures_) capture->onConnectionLost();
    notify(kAudioHardwarePropertyDefaultInputDevice);
    notify(kAudioDevicePropertyDeviceIsAlive);  // every device is gone with the server
    notify(kAudioDevicePropertyDeviceIsRunningSomewhere);
  }

  void notify(AudioObjectPropertySelector selector) {
    std::lock_guard<std::mutex> hold(listenersLock_);
    for (const auto& listener : listeners_) {
      if (listener.address.mSelector != selector) continue;
      listener.queue->async([block = listener.block, address = listener.address, active = listener.active] {
        if (active->load()) (*block)(1, &address);
      });
    }
  }

  PulseConnection connection_;
  ObjectIDs ids_;
  const std::int32_t ownPid_;
  ProcessTable& processes_;

  std::mutex listenersLock_;
  std::vector<Listener> listeners_;

  std::mutex objectsLock_;
  std::map<AudioObjectID, TapObject> taps_;
  std::map<AudioObjectID, AggregateObject> aggregates_;
  AudioDeviceIOProcID lastProcID_ = 0;
  std::vector<TapCapture*> captures_;  // running captures; loop lock held
};

}  // namespace

std::unique_ptr<AudioHardware> makePulseHardware(ProcessTable& processes, QueuedWork (*currentWork)()) {
  return std::make_unique<PulseHardware>(processes, currentWork);
}

}  // namespace vesk::pulse
