// SystemAudioTap: which processes its tap leaves out, and keeping that list current
// while capture runs (processes the host starts later), on the main queue.
#include "audio-tap/capture/system_audio_tap.h"

namespace vesk {

TapDescription SystemAudioTap::makeTapDescription(const std::string& uuid) {
  if (!descendants_) return returnTapDescription(context_.hardware, context_.process, extraPIDs_, uuid);
  TapDescription description = returnTapDescription(returnProcessObjects(context_.hardware, descendants_->refresh()), uuid);
  description.excludeDescendants = true;
  return description;
}

void SystemAudioTap::updateExclusion() {
  if (!descendants_ || !isRunning() || tapID_ == kAudioObjectUnknown) return;
  TapDescription now = makeTapDescription(runningTap_.uuid);
  if (now.excludedProcesses == runningTap_.excludedProcesses) return;
  // A failed update leaves the tap as it was; the next change or refresh tries again.
  // Each new reason is reported once (a refused capture permission, for one, makes
  // every update fail the same way).
  const OSStatus status = context_.hardware.updateProcessTap(tapID_, now);
  if (status == kAudioHardwareNoError) {
    runningTap_ = std::move(now);
  } else if (exclusionFailures_.insert(status).second) {
    debugStep("exclusionUpdateFailed", {{"status", status}});
  }
}

}  // namespace vesk
