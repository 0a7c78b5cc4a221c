// The audio object model on a PulseAudio server: which object IDs stand for which
// devices, processes, taps and aggregate devices, and the answers to property
// questions, worked out from a snapshot of the server. Pure: no server calls here.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio-tap/capture/hardware.h"
#include "audio-tap/pulse/server_snapshot.h"

namespace vesk::pulse {

enum class ObjectKind { none, system, sink, source, process, tap, aggregate };

/// Hands out object IDs. A device keeps its ID for the life of the process, so a
/// listener registered on the default input device stays attached to that device.
/// A process object's ID is derived from its process identifier. Any thread.
class ObjectIDs {
 public:
  AudioObjectID sink(const std::string& name) { return device(ObjectKind::sink, name); }
  AudioObjectID source(const std::string& name) { return device(ObjectKind::source, name); }
  AudioObjectID newTap();
  AudioObjectID newAggregate();

  ObjectKind kindOf(AudioObjectID id) const;
  /// The sink or source name behind a device ID.
  std::optional<std::string> deviceName(AudioObjectID id) const;

  static AudioObjectID processObject(std::int32_t pid);
  static std::optional<std::int32_t> pidOf(AudioObjectID id);

 private:
  AudioObjectID device(ObjectKind kind, const std::string& name);

  mutable std::mutex lock_;
  std::map<std::pair<ObjectKind, std::string>, AudioObjectID> devices_;
  std::map<AudioObjectID, std::pair<ObjectKind, std::string>> deviceByID_;
  AudioObjectID nextDevice_ = kFirstDevice;
  AudioObjectID nextTap_ = kFirstTap;
  AudioObjectID nextAggregate_ = kFirstAggregate;

  static constexpr AudioObjectID kFirstDevice = 0x100;
  static constexpr AudioObjectID kFirstTap = 0x10000;
  static constexpr AudioObjectID kFirstAggregate = 0x20000;
  static constexpr AudioObjectID kLastAggregate = 0x3FFFFFFF;
  static constexpr AudioObjectID kProcessBase = 0x40000000;
};

/// The default source, unless it is a sink's monitor (that is no microphone).
const Source* defaultInputSource(const ServerSnapshot& snapshot);

/// The default sink; the first sink when the default names one that is gone.
const Sink* defaultOutputSink(const ServerSnapshot& snapshot);

/// Every process with a playing or recording stream, ascending, once each.
std::vector<std::int32_t> processesWithStreams(const ServerSnapshot& snapshot);

/// Whether a recording stream counts as audio input use: running (not corked), not a
/// level meter, on a real source rather than a sink's monitor.
bool isInputUse(const ServerSnapshot& snapshot, const Stream& recording);

/// Whether the process records from a microphone right now.
bool isRunningInput(const ServerSnapshot& snapshot, std::int32_t pid);

/// Whether the process plays audio right now: it has an uncorked playback stream.
bool isRunningOutput(const ServerSnapshot& snapshot, std::int32_t pid);

/// The application identifier of the process's streams (e.g. a Flatpak ID), else
/// the binary name they carry; none when the process has no stream that names one.
std::optional<std::string> applicationIdentifier(const ServerSnapshot& snapshot, std::int32_t pid);

/// Whether anyone but `ownPid` runs input on the source.
bool isSourceRunningSomewhere(const ServerSnapshot& snapshot, const Source& source, std::int32_t ownPid);

/// Whether any stream plays on the sink.
bool isSinkRunningSomewhere(const ServerSnapshot& snapshot, const Sink& sink);

/// The tap's stream format: 32-bit float mono at the sink's rate.
AudioStreamBasicDescription tapFormat(std::uint32_t rate);

}  // namespace vesk::pulse
