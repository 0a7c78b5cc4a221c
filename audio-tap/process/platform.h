// Everything the audio tap needs from the platform, gathered for start-up: the audio
// hardware and converters, the process identity and table, the queues and clock, the parent
// watch and the end of the process. Each platform supplies one, chosen by the build.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "audio-tap/capture/converter.h"
#include "audio-tap/capture/hardware.h"
#include "audio-tap/process/process_info.h"
#include "audio-tap/process/process_table.h"
#include "audio-tap/process/queue.h"

namespace vesk {

class Platform {
 public:
  virtual ~Platform() = default;

  virtual AudioHardware& hardware() = 0;
  virtual AudioConverterFactory& converters() = 0;
  virtual ProcessInfo& processInfo() = 0;
  /// The kernel's process table, for "--exclude-descendants".
  virtual ProcessTable& processTable() = 0;
  virtual const Clock& clock() = 0;

  /// The queue served on the main thread by `runMainQueue`.
  virtual SerialQueue& mainQueue() = 0;
  /// A new serial queue, served on a thread of its own. Any thread.
  virtual std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label, QualityOfService qos) = 0;

  /// Runs `onExit` on the main queue once process `pid` (the parent) has exited, or
  /// soon if it is already gone. Main thread, once, before `runMainQueue`.
  virtual void watchParent(ProcessID pid, std::function<void()> onExit) = 0;

  /// Serves the main queue on the calling (main) thread for the rest of the process.
  [[noreturn]] virtual void runMainQueue() = 0;

  /// Ends the process at once with status 0, running no destructors. The caller has
  /// given the output writers their chance to finish; what they still hold is lost.
  [[noreturn]] virtual void exitProcess() = 0;
};

/// The platform this build runs on.
std::unique_ptr<Platform> makePlatform();

}  // namespace vesk
