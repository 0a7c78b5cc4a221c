// Watching a running capture, on the main queue: property listeners on the system
// object (default output device), the tap (its format) and the two devices (nominal
// rate, alive), and a check each second for a stalled IO, a default output device
// that changed unannounced, and silence. Any change that matters rebuilds capture:
// tap, aggregate device, converter and IO proc are made afresh from a fresh read of
// the formats, the pending samples are kept, and the time capture was down is
// filled with silence so that frames keep leaving at the output rate of real time.
// A rebuild that fails ends capture.
//
// A device made with tap auto-start runs its IO only once a tapped process plays:
// until then capture is waiting, not stalled, and the check fills a second of
// silence each second. Only IO that has run in this build and then stops is a stall.
// A reason that comes back within seconds of its last rebuild (a device that stalls
// whatever is done) waits before the next one, longer each time, so rebuilds never
// storm.
#include <algorithm>
#include <cmath>

#include "audio-tap/capture/playing_processes.h"
#include "audio-tap/capture/property_readers.h"
#include "audio-tap/capture/system_audio_tap.h"

namespace vesk {
namespace {

// Silence filled at once after a rebuild: more than this is a clock gone wrong.
constexpr double kMaxFillSeconds = 30.0;

}  // namespace

const char* rebuildReasonText(RebuildReason reason) {
  switch (reason) {
    case RebuildReason::outputDeviceChanged:
      return "outputDeviceChanged";
    case RebuildReason::formatChanged:
      return "formatChanged";
    case RebuildReason::deviceLost:
      return "deviceLost";
    case RebuildReason::ioStalled:
      return "ioStalled";
  }
  return "";
}

void SystemAudioTap::beginWatching() {
  if (!context_.mainQueue || !context_.clock) return;
  ++generation_;
  rebuildPending_ = false;
  listen(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice, &SystemAudioTap::checkOutputDevice);
  listen(tapID_, kAudioTapPropertyFormat, &SystemAudioTap::checkTapFormat);
  for (AudioObjectID device : {aggregateID_, built_.outputDevice}) {
    if (device == kAudioObjectUnknown) continue;
    listen(device, kAudioDevicePropertyNominalSampleRate, &SystemAudioTap::checkRates);
    listen(device, kAudioDevicePropertyDeviceIsAlive, &SystemAudioTap::checkAlive);
  }
  framesAtCheck_ = acceptedFrames_.load(std::memory_order_relaxed);
  healthySince_.reset();
  scheduleCheck();
}

void SystemAudioTap::endWatching() {
  ++generation_;  // listener calls and rebuilds already queued find it changed
  rebuildPending_ = false;
  for (const auto& r : registrations_) {
    context_.hardware.removePropertyListener(r.object, r.address, *context_.mainQueue, r.listener);
  }
  registrations_.clear();
  if (check_) check_->cancel();
  check_.reset();
  if (delayedRebuild_) delayedRebuild_->cancel();
  delayedRebuild_.reset();
}

void SystemAudioTap::listen(AudioObjectID object, AudioObjectPropertySelector selector,
                            void (SystemAudioTap::*check)()) {
  std::weak_ptr<SystemAudioTap> weakSelf = weak_from_this();
  const std::uint64_t generation = generation_;
  auto listener = std::make_shared<const AudioObjectPropertyListenerBlock>(
      [weakSelf, generation, check](std::uint32_t, const AudioObjectPropertyAddress*) {
        auto self = weakSelf.lock();
        if (self && self->generation_ == generation && self->isRunning()) ((*self).*check)();
      });
  const AudioObjectPropertyAddress address = globalAddress(selector);
  if (context_.hardware.addPropertyListener(object, address, *context_.mainQueue, listener) == kAudioHardwareNoError) {
    registrations_.push_back({object, address, std::move(listener)});
  }
}

void SystemAudioTap::checkOutputDevice() {
  const AudioObjectID device = returnDefaultOutputDeviceID(context_.hardware).value_or(kAudioObjectUnknown);
  if (device != built_.outputDevice) requestRebuild(RebuildReason::outputDeviceChanged);
}

void SystemAudioTap::checkTapFormat() {
  const auto format = returnTapFormat(context_.hardware, tapID_);
  if (!format) {
    requestRebuild(RebuildReason::deviceLost);
  } else if (format->mSampleRate != built_.tapFormat.mSampleRate ||
             format->mChannelsPerFrame != built_.tapFormat.mChannelsPerFrame) {
    requestRebuild(RebuildReason::formatChanged);
  }
}

void SystemAudioTap::checkRates() {
  AudioHardware& hardware = context_.hardware;
  const auto aggregate = returnFloat64Property(hardware, aggregateID_, kAudioDevicePropertyNominalSampleRate);
  const auto output = returnFloat64Property(hardware, built_.outputDevice, kAudioDevicePropertyNominalSampleRate);
  // A device that no longer answers is left to its "alive" listener.
  if ((aggregate && aggregate != built_.aggregateRate) || (output && output != built_.outputRate)) {
    requestRebuild(RebuildReason::formatChanged);
  }
}

void SystemAudioTap::checkAlive() {
  for (AudioObjectID device : {aggregateID_, built_.outputDevice}) {
    if (device == kAudioObjectUnknown) continue;
    const auto alive = returnUInt32Property(context_.hardware, device, kAudioDevicePropertyDeviceIsAlive);
    if (!alive || *alive == 0) {
      requestRebuild(RebuildReason::deviceLost);
      return;
    }
  }
}

// Changes come in bursts (a new device brings a new rate and format): one rebuild,
// queued behind the notifications already waiting, serves them all. The capture
// goes on being checked while a rebuild waits.
void SystemAudioTap::requestRebuild(RebuildReason reason) {
  if (rebuildPending_ || !isRunning()) return;
  rebuildPending_ = true;
  std::weak_ptr<SystemAudioTap> weakSelf = weak_from_this();
  const std::uint64_t generation = generation_;
  auto work = [weakSelf, generation, reason] {
    auto self = weakSelf.lock();
    if (self && self->generation_ == generation && self->isRunning()) self->rebuild(reason);
  };
  const double delay = returnRebuildDelay(reason);
  if (delay == 0) {
    context_.mainQueue->async(std::move(work));
    return;
  }
  debugStep("rebuildDelayed", {{"reason", rebuildReasonText(reason)}, {"seconds", delay}});
  delayedRebuild_ = std::make_shared<WorkItem>(std::move(work));
  context_.mainQueue->asyncAfter(context_.clock->now() + delay, delayedRebuild_);
}

// 0 for a reason not seen within kRebuildRepeatSeconds; otherwise the last wait
// doubled (the first wait after healthy IO is the shortest).
double SystemAudioTap::returnRebuildDelay(RebuildReason reason) {
  const std::optional<double>& last = lastRebuildAt_[static_cast<std::size_t>(reason)];
  if (!last || context_.clock->now() - *last >= kRebuildRepeatSeconds) return 0;
  rebuildDelay_ = rebuildDelay_ == 0 ? kFirstRebuildDelaySeconds
                                     : std::min(2 * rebuildDelay_, kMostRebuildDelaySeconds);
  return rebuildDelay_;
}

void SystemAudioTap::rebuild(RebuildReason reason) {
  endWatching();
  acceptingIO_.store(false, std::memory_order_release);
  stopIO();
  // The old IO proc's last step has finished, and its buffers are converted with the
  // converter made for them before it is replaced.
  ioQueue_->sync([] {});
  conversionQueue_->sync([this, ring = ring_] {
    if (ring) drainRing(*ring);
  });
  const auto frames = acceptedFrames_.exchange(0, std::memory_order_relaxed);
  if (built_.inputRate > 0) coveredSeconds_ += static_cast<double>(frames) / built_.inputRate;
  teardown();
  lastRebuildAt_[static_cast<std::size_t>(reason)] = context_.clock->now();
  if (auto error = build(false, returnOwedSilence())) {
    emitError(context_.output, error->description);
    stop();
    return;
  }
  acceptingIO_.store(true, std::memory_order_release);
  debugStep("captureRebuilt", {{"reason", rebuildReasonText(reason)}, {"deviceRate", built_.inputRate}});
  beginWatching();
}

// Output samples of silence for the real time since capture started that neither
// the IO of any build nor earlier silence has covered; counted as covered now.
std::uint32_t SystemAudioTap::returnOwedSilence() {
  double covered = coveredSeconds_;
  if (built_.inputRate > 0) {
    covered += static_cast<double>(acceptedFrames_.load(std::memory_order_relaxed)) / built_.inputRate;
  }
  const double seconds = std::clamp(context_.clock->now() - startedAt_ - covered, 0.0, kMaxFillSeconds);
  coveredSeconds_ += seconds;
  return static_cast<std::uint32_t>(std::llround(seconds * context_.settings.outputSampleRate));
}

// While no audio comes, the silence owed is queued on the IO queue, so that it takes
// its place in the ring among the cycles of an IO that starts meanwhile.
void SystemAudioTap::fillWhileNoAudio() {
  const std::uint32_t samples = returnOwedSilence();
  if (samples == 0 || !ring_ || !ringSignal_) return;
  ioQueue_->async([ring = ring_, signal = ringSignal_, samples] {
    if (ring->pushSilence(samples)) signal->signal();
  });
}

void SystemAudioTap::scheduleCheck() {
  std::weak_ptr<SystemAudioTap> weakSelf = weak_from_this();
  const std::uint64_t generation = generation_;
  check_ = std::make_shared<WorkItem>([weakSelf, generation] {
    auto self = weakSelf.lock();
    if (self && self->generation_ == generation && self->isRunning()) self->checkCapture();
  });
  context_.mainQueue->asyncAfter(context_.clock->now() + kCaptureCheckSeconds, check_);
}

void SystemAudioTap::checkCapture() {
  const std::int64_t frames = acceptedFrames_.load(std::memory_order_relaxed);
  const bool flowing = frames != framesAtCheck_;
  framesAtCheck_ = frames;
  if (flowing) {
    noteHealthyIO();
  } else {
    healthySince_.reset();
    fillWhileNoAudio();
    // Cycles that bring none of the tap's audio count as a stall too.
    if (ioCalls_.load(std::memory_order_relaxed) != ioCallsAtBuild_) requestRebuild(RebuildReason::ioStalled);
  }
  // A new default device can go unannounced (seen on PipeWire under load): the check
  // looks for itself too. A read that fails here is left to the listeners: a server
  // slow to answer once is no reason to rebuild.
  const auto device = returnDefaultOutputDeviceID(context_.hardware);
  if (device && *device != built_.outputDevice) requestRebuild(RebuildReason::outputDeviceChanged);
  reportSilence();
  scheduleCheck();
}

// Audio at every check for kHealthyIOResetSeconds: rebuilds are no longer storming.
void SystemAudioTap::noteHealthyIO() {
  const double now = context_.clock->now();
  if (!healthySince_) healthySince_ = now;
  if (now - *healthySince_ >= kHealthyIOResetSeconds) rebuildDelay_ = 0;
}

// Sent once capture has heard nothing but exact zeros for a while although a
// process that is not left out plays; the conversion queue sends its end as soon as
// a sample is not zero.
void SystemAudioTap::reportSilence() {
  if (silenceReported_.load(std::memory_order_acquire)) return;
  if (zeroRunMicros_.load(std::memory_order_relaxed) < std::llround(kSilenceReportSeconds * 1e6)) return;
  Json playing = returnPlayingProcesses(context_.hardware, runningTap_.excludedProcesses);
  if (playing.empty()) return;
  Json event;
  event["event"] = "captureSilence";
  event["silent"] = true;
  event["playing"] = std::move(playing);
  context_.output.emit(event);
  silenceReported_.store(true, std::memory_order_release);
}

}  // namespace vesk
