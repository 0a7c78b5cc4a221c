// The command loop of the audio tap: the reader hands each trimmed line of standard
// input to the main queue and waits for it, so commands run one at a time, in order;
// the handler runs them; the shutdown sequence ends the process.
#pragma once

#include <functional>
#include <string>

#include "audio-tap/capture/system_audio_tap.h"
#include "audio-tap/input-watch/input_activity_watcher.h"
#include "audio-tap/process/output.h"
#include "audio-tap/process/queue.h"

namespace vesk {

class CommandHandler {
 public:
  /// `endProcess` ends the process with status 0 and does not return (in the process;
  /// tests pass a recorder).
  CommandHandler(SystemAudioTap& tap, InputActivityWatcher& watcher, OutputChannels& output,
                 std::function<void()> endProcess);

  /// Runs one trimmed command line: "start", "stop", "checkPermission", "watchInput",
  /// "unwatchInput", "quit", or nothing for an empty line; anything else is answered
  /// with an "Unknown command: " error. Main queue.
  void handle(const std::string& command);

  /// Stops watching, stops capture (which writes the last frame and "stopped"), then
  /// ends the process. For "quit", end of input and exit of the parent. Main queue.
  void shutdown();

 private:
  SystemAudioTap& tap_;
  InputActivityWatcher& watcher_;
  OutputChannels& output_;
  std::function<void()> endProcess_;
};

/// The reader thread's body: reads `fd` line by line, hands each trimmed line to the
/// main queue and waits until it has run; at end of input hands over the shutdown
/// sequence. Returns only if that shutdown returns (in tests).
void readCommands(int fd, SerialQueue& mainQueue, CommandHandler& handler);

}  // namespace vesk
