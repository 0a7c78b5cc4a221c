// What the sound server holds at one moment, as plain data: the default devices,
// the sinks and sources, and every playing and recording stream with the process it
// belongs to. The object model answers every property question from one of these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vesk::pulse {

struct Sink {
  std::uint32_t index = 0;
  std::string name;
  std::uint32_t rate = 0;
  std::string monitorSource;
};

struct Source {
  std::uint32_t index = 0;
  std::string name;
  bool isMonitor = false;  // the monitor of a sink, not a microphone
};

/// A playing stream (sink input) or a recording stream (source output).
struct Stream {
  std::uint32_t index = 0;
  std::uint32_t device = 0;  // index of the sink or source it is connected to
  std::optional<std::int32_t> pid;
  std::string applicationID;
  std::string binary;
  bool corked = false;
  bool isPeak = false;  // a level meter's peak-detecting stream
};

struct ServerSnapshot {
  std::string serverName;
  std::string defaultSink;
  std::string defaultSource;
  std::vector<Sink> sinks;
  std::vector<Source> sources;
  std::vector<Stream> sinkInputs;
  std::vector<Stream> sourceOutputs;

  const Sink* sinkNamed(const std::string& name) const;
  const Sink* sinkWithIndex(std::uint32_t index) const;
  const Source* sourceNamed(const std::string& name) const;
  const Source* sourceWithIndex(std::uint32_t index) const;
  /// Whether each default device it names is in its lists. One that is not was read
  /// between two states of the server: PipeWire names a new default sink to a client
  /// before it lists that sink to it, and names an unloaded one for a moment after.
  bool listsItsDefaults() const;
  /// Whether the server is one that reports every change it makes, so that a read
  /// holds until the next report: PulseAudio itself. PipeWire's server was seen to
  /// move its default sink under load without a word.
  bool announcesEveryChange() const;
};

}  // namespace vesk::pulse
