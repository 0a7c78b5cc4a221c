#include "audio-tap/pulse/object_model.h"

#include <algorithm>

namespace vesk::pulse {

AudioObjectID ObjectIDs::device(ObjectKind kind, const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  auto key = std::make_pair(kind, name);
  if (auto it = devices_.find(key); it != devices_.end()) return it->second;
  if (nextDevice_ >= kFirstTap) return kAudioObjectUnknown;  // tens of thousands of devices: no more IDs
  AudioObjectID id = nextDevice_++;
  devices_.emplace(key, id);
  deviceByID_.emplace(id, key);
  return id;
}

AudioObjectID ObjectIDs::newTap() {
  std::lock_guard<std::mutex> hold(lock_);
  // IDs are not reused while the process lives; a process starts far fewer taps.
  return nextTap_ < kFirstAggregate ? nextTap_++ : kAudioObjectUnknown;
}

AudioObjectID ObjectIDs::newAggregate() {
  std::lock_guard<std::mutex> hold(lock_);
  return nextAggregate_ < kLastAggregate ? nextAggregate_++ : kAudioObjectUnknown;
}

ObjectKind ObjectIDs::kindOf(AudioObjectID id) const {
  if (id == kAudioObjectUnknown) return ObjectKind::none;
  if (id == kAudioObjectSystemObject) return ObjectKind::system;
  if (id >= kProcessBase) return ObjectKind::process;
  std::lock_guard<std::mutex> hold(lock_);
  if (id >= kFirstAggregate) return id < nextAggregate_ ? ObjectKind::aggregate : ObjectKind::none;
  if (id >= kFirstTap) return id < nextTap_ ? ObjectKind::tap : ObjectKind::none;
  auto it = deviceByID_.find(id);
  return it == deviceByID_.end() ? ObjectKind::none : it->second.first;
}

std::optional<std::string> ObjectIDs::deviceName(AudioObjectID id) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = deviceByID_.find(id);
  if (it == deviceByID_.end()) return std::nullopt;
  return it->second.second;
}

AudioObjectID ObjectIDs::processObject(std::int32_t pid) {
  if (pid <= 0 || static_cast<AudioObjectID>(pid) >= kProcessBase) return kAudioObjectUnknown;
  return kProcessBase + static_cast<AudioObjectID>(pid);
}

std::optional<std::int32_t> ObjectIDs::pidOf(AudioObjectID id) {
  if (id <= kProcessBase) return std::nullopt;
  return static_cast<std::int32_t>(id - kProcessBase);
}

const Source* defaultInputSource(const ServerSnapshot& snapshot) {
  const Source* source = snapshot.sourceNamed(snapshot.defaultSource);
  return source && !source->isMonitor ? source : nullptr;
}

const Sink* defaultOutputSink(const ServerSnapshot& snapshot) {
  const Sink* sink = snapshot.sinkNamed(snapshot.defaultSink);
  // A default that names a sink just gone (PipeWire's session manager picks the next
  // one a moment later): the server's first sink stands in, as the server's own
  // fallback would, so that capture rebuilt in that moment has a device.
  if (!sink && !snapshot.defaultSink.empty() && !snapshot.sinks.empty()) sink = &snapshot.sinks.front();
  return sink;
}

std::vector<std::int32_t> processesWithStreams(const ServerSnapshot& snapshot) {
  std::vector<std::int32_t> pids;
  for (const auto* streams : {&snapshot.sinkInputs, &snapshot.sourceOutputs}) {
    for (const auto& stream : *streams) {
      if (stream.pid && *stream.pid > 0) pids.push_back(*stream.pid);
    }
  }
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
  return pids;
}

bool isInputUse(const ServerSnapshot& snapshot, const Stream& recording) {
  if (recording.corked || recording.isPeak) return false;
  const Source* source = snapshot.sourceWithIndex(recording.device);
  return source && !source->isMonitor;
}

bool isRunningInput(const ServerSnapshot& snapshot, std::int32_t pid) {
  return std::any_of(snapshot.sourceOutputs.begin(), snapshot.sourceOutputs.end(), [&](const Stream& s) {
    return s.pid == pid && isInputUse(snapshot, s);
  });
}

bool isRunningOutput(const ServerSnapshot& snapshot, std::int32_t pid) {
  return std::any_of(snapshot.sinkInputs.begin(), snapshot.sinkInputs.end(),
                     [&](const Stream& s) { return s.pid == pid && !s.corked; });
}

std::optional<std::string> applicationIdentifier(const ServerSnapshot& snapshot, std::int32_t pid) {
  std::optional<std::string> binary;
  for (const auto* streams : {&snapshot.sourceOutputs, &snapshot.sinkInputs}) {
    for (const auto& stream : *streams) {
      if (stream.pid != pid) continue;
      if (!stream.applicationID.empty()) return stream.applicationID;
      if (!binary && !stream.binary.empty()) binary = stream.binary;
    }
  }
  return binary;
}

bool isSourceRunningSomewhere(const ServerSnapshot& snapshot, const Source& source, std::int32_t ownPid) {
  return std::any_of(snapshot.sourceOutputs.begin(), snapshot.sourceOutputs.end(), [&](const Stream& s) {
    return s.device == source.index && !s.corked && !s.isPeak && s.pid != ownPid;
  });
}

bool isSinkRunningSomewhere(const ServerSnapshot& snapshot, const Sink& sink) {
  return std::any_of(snapshot.sinkInputs.begin(), snapshot.sinkInputs.end(),
                     [&](const Stream& s) { return s.device == sink.index && !s.corked; });
}

AudioStreamBasicDescription tapFormat(std::uint32_t rate) {
  AudioStreamBasicDescription format;
  format.mSampleRate = rate;
  format.mFormatID = kAudioFormatLinearPCM;
  format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  format.mBytesPerPacket = 4;
  format.mFramesPerPacket = 1;
  format.mBytesPerFrame = 4;
  format.mChannelsPerFrame = 1;
  format.mBitsPerChannel = 32;
  return format;
}

}  // namespace vesk::pulse
