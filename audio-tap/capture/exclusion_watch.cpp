// ExclusionWatch over the audio-hardware and queue seams.
#include "audio-tap/capture/exclusion_watch.h"

namespace vesk {

std::shared_ptr<ExclusionWatch> ExclusionWatch::make(AudioHardware& hardware, SerialQueue& mainQueue,
                                                     const Clock& clock, std::shared_ptr<SystemAudioTap> tap,
                                                     std::shared_ptr<ExcludedProcesses> excluded,
                                                     std::function<bool()> isNeeded) {
  return std::shared_ptr<ExclusionWatch>(
      new ExclusionWatch(hardware, mainQueue, clock, std::move(tap), std::move(excluded), std::move(isNeeded)));
}

ExclusionWatch::ExclusionWatch(AudioHardware& hardware, SerialQueue& mainQueue, const Clock& clock,
                               std::shared_ptr<SystemAudioTap> tap, std::shared_ptr<ExcludedProcesses> excluded,
                               std::function<bool()> isNeeded)
    : hardware_(hardware),
      mainQueue_(mainQueue),
      clock_(clock),
      tap_(std::move(tap)),
      excluded_(std::move(excluded)),
      isNeeded_(std::move(isNeeded)) {}

void ExclusionWatch::start() {
  if (listener_) return;
  std::weak_ptr<ExclusionWatch> weakSelf = weak_from_this();
  listener_ = std::make_shared<const AudioObjectPropertyListenerBlock>(
      [weakSelf](std::uint32_t, const AudioObjectPropertyAddress*) {
        if (auto self = weakSelf.lock()) self->refresh();
      });
  hardware_.addPropertyListener(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyProcessObjectList),
                                mainQueue_, listener_);
  scheduleRefresh();
}

void ExclusionWatch::refresh() {
  // The tap walks the tree itself when it runs; otherwise the walk only keeps the
  // memory of the tree current for the input reports.
  if (tap_->isRunning()) {
    tap_->updateExclusion();
  } else if (isNeeded_ && isNeeded_()) {
    excluded_->refresh();
  }
}

void ExclusionWatch::scheduleRefresh() {
  std::weak_ptr<ExclusionWatch> weakSelf = weak_from_this();
  mainQueue_.asyncAfter(clock_.now() + refreshSeconds, std::make_shared<WorkItem>([weakSelf] {
                          if (auto self = weakSelf.lock()) {
                            self->refresh();
                            self->scheduleRefresh();
                          }
                        }));
}

}  // namespace vesk
