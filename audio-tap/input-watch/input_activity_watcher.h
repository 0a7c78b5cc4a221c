// InputActivityWatcher: reports whether the default input device (the microphone)
// is in use and by which processes. It sends one "inputActivity" event when watching
// begins, then one a second after the last of every burst of changes of the default
// input device or of its running state (trailing-edge debounce).
//
// Everything runs on the main queue: start() and stop() are called there, both
// property listeners are delivered there and the debounced work item runs there, so
// the fields need no lock. Listeners and the work item hold the watcher weakly.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audio-tap/capture/hardware.h"
#include "audio-tap/process/output.h"
#include "audio-tap/process/process_tree.h"
#include "audio-tap/process/queue.h"
#include "audio-tap/process/settings.h"

namespace vesk {

/// The "processes" value: every process running audio input and not excluded, in
/// the order of the platform's process list, as {"pid", "bundleId"} objects. The
/// bundle identifier of an excluded process is never read.
Json returnInputProcesses(AudioHardware& hardware, const std::vector<ProcessID>& excluding);

class InputActivityWatcher : public std::enable_shared_from_this<InputActivityWatcher> {
 public:
  static constexpr double debounceSeconds = 1.0;

  /// A watcher in the idle state; registers nothing.
  static std::shared_ptr<InputActivityWatcher> make(AudioHardware& hardware, SerialQueue& mainQueue,
                                                    const Clock& clock, OutputChannels& output,
                                                    std::vector<ProcessID> excludedPIDs);
  /// The same, leaving out what `excluded` names at each report (with
  /// "--exclude-descendants": the excluded processes and everything below them).
  static std::shared_ptr<InputActivityWatcher> make(AudioHardware& hardware, SerialQueue& mainQueue,
                                                    const Clock& clock, OutputChannels& output,
                                                    std::shared_ptr<ExcludedProcesses> excluded);
  InputActivityWatcher(const InputActivityWatcher&) = delete;
  InputActivityWatcher& operator=(const InputActivityWatcher&) = delete;

  /// Registers the listeners and sends the first event at once. Nothing when already
  /// watching. Main queue.
  void start();
  /// Cancels the pending event and removes both listeners; sends nothing. Nothing
  /// when not watching. Main queue.
  void stop();
  /// Sends the current state now, when watching. Main queue.
  void emitNow();

  bool isWatching() const { return isWatching_; }
  AudioObjectID deviceID() const { return deviceID_; }

 private:
  InputActivityWatcher(AudioHardware& hardware, SerialQueue& mainQueue, const Clock& clock, OutputChannels& output,
                       std::shared_ptr<ExcludedProcesses> excluded);
  void defaultDeviceChanged();
  void attachDevice();
  void detachDevice();
  void scheduleEmit();
  /// A listener that runs `action` on the watcher while it exists.
  AudioObjectPropertyListener makeListener(void (InputActivityWatcher::*action)());

  AudioHardware& hardware_;
  SerialQueue& mainQueue_;
  const Clock& clock_;
  OutputChannels& output_;
  const std::shared_ptr<ExcludedProcesses> excluded_;
  AudioObjectID deviceID_ = kAudioObjectUnknown;
  AudioObjectPropertyListener deviceListener_;
  AudioObjectPropertyListener defaultListener_;
  std::shared_ptr<WorkItem> pending_;
  bool isWatching_ = false;
};

}  // namespace vesk
