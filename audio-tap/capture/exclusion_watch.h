// ExclusionWatch: with "--exclude-descendants", keeps the left-out processes current
// while the host starts and ends helper processes. Each change of the platform's
// list of audio processes, and a refresh every `refreshSeconds`, walks the process
// tree again; a running tap is then updated in place, so a new process of the host
// is left out within a second of its first sound. The regular walk also remembers
// processes while they are still in the tree, so that they stay left out after
// being handed to another parent. It walks only while `isNeeded` says the set is in
// use (capture runs or input is watched): an idle helper reads no process table.
//
// Main queue only: the listener is delivered there and the refresh runs there. Both
// hold the watch weakly.
#pragma once

#include <functional>
#include <memory>

#include "audio-tap/capture/hardware.h"
#include "audio-tap/capture/system_audio_tap.h"
#include "audio-tap/process/process_tree.h"
#include "audio-tap/process/queue.h"

namespace vesk {

class ExclusionWatch : public std::enable_shared_from_this<ExclusionWatch> {
 public:
  static constexpr double refreshSeconds = 0.5;

  /// `isNeeded`: whether anything but the tap uses `excluded` now. Main queue.
  static std::shared_ptr<ExclusionWatch> make(AudioHardware& hardware, SerialQueue& mainQueue, const Clock& clock,
                                              std::shared_ptr<SystemAudioTap> tap,
                                              std::shared_ptr<ExcludedProcesses> excluded,
                                              std::function<bool()> isNeeded);
  ExclusionWatch(const ExclusionWatch&) = delete;
  ExclusionWatch& operator=(const ExclusionWatch&) = delete;

  /// Listens for changes of the audio process list and begins the regular refresh,
  /// for the life of the process. Main queue, once.
  void start();

 private:
  ExclusionWatch(AudioHardware& hardware, SerialQueue& mainQueue, const Clock& clock,
                 std::shared_ptr<SystemAudioTap> tap, std::shared_ptr<ExcludedProcesses> excluded,
                 std::function<bool()> isNeeded);
  void refresh();
  void scheduleRefresh();

  AudioHardware& hardware_;
  SerialQueue& mainQueue_;
  const Clock& clock_;
  const std::shared_ptr<SystemAudioTap> tap_;
  const std::shared_ptr<ExcludedProcesses> excluded_;
  const std::function<bool()> isNeeded_;
  AudioObjectPropertyListener listener_;
};

}  // namespace vesk
