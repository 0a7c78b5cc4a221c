// SystemAudioTap: set-up and tear-down of the process tap, its aggregate device and
// the converter, on the main queue. The audio path is in system_audio_pipeline.cpp.
#include "audio-tap/capture/system_audio_tap.h"

#include <cmath>

#include "audio-tap/capture/property_readers.h"

namespace vesk {
namespace {

std::string withStatus(const char* text, OSStatus status) {
  return std::string(text) + std::to_string(status) + ").";
}

}  // namespace

std::vector<AudioObjectID> returnProcessObjects(AudioHardware& hardware, const std::vector<ProcessID>& pids) {
  std::vector<AudioObjectID> objects;
  for (ProcessID pid : pids) {
    if (auto object = returnProcessObjectID(hardware, pid)) objects.push_back(*object);
  }
  return objects;
}

std::vector<AudioObjectID> returnExcludedProcessObjects(AudioHardware& hardware, ProcessInfo& process,
                                                        const std::vector<ProcessID>& extraPIDs) {
  std::vector<ProcessID> pids = {process.returnProcessID(), process.returnParentProcessID()};
  pids.insert(pids.end(), extraPIDs.begin(), extraPIDs.end());
  return returnProcessObjects(hardware, pids);
}

TapDescription returnTapDescription(AudioHardware& hardware, ProcessInfo& process,
                                    const std::vector<ProcessID>& extraPIDs, const std::string& uuid) {
  return returnTapDescription(returnExcludedProcessObjects(hardware, process, extraPIDs), uuid);
}

TapDescription returnTapDescription(std::vector<AudioObjectID> excludedProcesses, const std::string& uuid) {
  TapDescription description;
  description.excludedProcesses = std::move(excludedProcesses);
  description.isMono = true;
  description.isExclusive = true;
  description.uuid = uuid;
  description.name = kTapName;
  description.isPrivate = true;
  description.muteBehavior = 0;  // unmuted: the tapped processes stay audible
  return description;
}

AggregateDeviceDescription returnAggregateDeviceDescription(const std::string& deviceUUID,
                                                            const std::string& outputUID, const std::string& tapUUID) {
  AggregateDeviceDescription description;
  description.name = kTapName;
  description.uid = kAggregateUIDPrefix + deviceUUID;
  description.mainSubDevice = outputUID;
  description.isPrivate = true;
  description.isStacked = false;
  description.tapAutoStart = true;
  description.subDevices = {{outputUID}};
  description.taps = {{tapUUID, true}};
  return description;
}

std::shared_ptr<SystemAudioTap> SystemAudioTap::make(CaptureContext context, std::vector<ProcessID> extraPIDs,
                                                     std::shared_ptr<ExcludedProcesses> descendants) {
  return std::shared_ptr<SystemAudioTap>(
      new SystemAudioTap(std::move(context), std::move(extraPIDs), std::move(descendants)));
}

SystemAudioTap::SystemAudioTap(CaptureContext context, std::vector<ProcessID> extraPIDs,
                               std::shared_ptr<ExcludedProcesses> descendants)
    : context_(std::move(context)),
      extraPIDs_(std::move(extraPIDs)),
      descendants_(std::move(descendants)),
      conversionQueue_(context_.makeQueue("vesk.audio-tap.convert", QualityOfService::unspecified)),
      ioQueue_(context_.makeQueue("vesk.audio-tap.io", QualityOfService::userInteractive)) {}

CaptureCounters SystemAudioTap::counters() const {
  return {ioCalls_.load(std::memory_order_relaxed), ioBytes_.load(std::memory_order_relaxed),
          convertedFrames_.load(std::memory_order_relaxed)};
}

void SystemAudioTap::debugStep(const char* step, Json extra) {
  if (!context_.settings.debug) return;
  Json event;
  event["event"] = "debug";
  event["step"] = step;
  for (auto& [key, value] : extra.items()) event[key] = value;
  context_.output.emit(event);
}

std::optional<TapError> SystemAudioTap::fail(std::string message) {
  teardown();
  return TapError(std::move(message));
}

std::optional<TapError> SystemAudioTap::start() {
  if (isRunning()) return std::nullopt;
  acceptingIO_.store(true, std::memory_order_release);
  for (auto& at : lastRebuildAt_) at.reset();
  rebuildDelay_ = 0;
  exclusionFailures_.clear();
  if (auto error = build(true, 0)) return error;
  isRunning_.store(true, std::memory_order_release);
  startedAt_ = context_.clock ? context_.clock->now() : 0;
  coveredSeconds_ = 0;
  Json ready;
  ready["event"] = "ready";
  ready["sampleRate"] = static_cast<std::int64_t>(context_.settings.outputSampleRate);
  ready["deviceRate"] = built_.tapFormat.mSampleRate;
  ready["channels"] = built_.tapFormat.mChannelsPerFrame;
  context_.output.emit(ready);
  beginWatching();
  return std::nullopt;
}

// Creates the tap, its aggregate device, the converter, the ring (with
// `leadingSilence` output samples ahead of the audio) and the IO proc, and starts the
// device; on failure destroys what it made. The steps of the first set-up are
// announced; every set-up reports what it was built on.
std::optional<TapError> SystemAudioTap::build(bool announce, std::uint32_t leadingSilence) {
  AudioHardware& hardware = context_.hardware;
  const auto step = [&](const char* name, Json extra = Json::object()) {
    if (announce) debugStep(name, std::move(extra));
  };
  // A rebuilt tap leaves out the processes as they stand now.
  const TapDescription tap = makeTapDescription(context_.makeUUID());

  AudioObjectID newTap = kAudioObjectUnknown;
  OSStatus status = hardware.createProcessTap(tap, newTap);
  if (status != kAudioHardwareNoError || newTap == kAudioObjectUnknown) {
    return TapError(withStatus("The system audio tap could not be created (", status));
  }
  tapID_ = newTap;
  runningTap_ = tap;
  step("tap created");

  const auto format = returnTapFormat(hardware, tapID_);
  if (!format) return fail("The system audio tap has no readable format.");
  step("format read", {{"rate", format->mSampleRate}});

  const auto outputUID = returnDefaultOutputDeviceUID(hardware);
  if (!outputUID) return fail("No default output device.");
  const AudioObjectID outputDevice = returnDefaultOutputDeviceID(hardware).value_or(kAudioObjectUnknown);

  AudioObjectID newDevice = kAudioObjectUnknown;
  const std::string tapUID = returnTapUID(tap.uuid);
  status = hardware.createAggregateDevice(returnAggregateDeviceDescription(context_.makeUUID(), *outputUID, tapUID),
                                          newDevice);
  if (status != kAudioHardwareNoError || newDevice == kAudioObjectUnknown) {
    return fail(withStatus("The aggregate device could not be created (", status));
  }
  aggregateID_ = newDevice;
  step("aggregate created");

  const TapStreams streams = returnTapStreams(hardware, aggregateID_, outputDevice);
  // The buffers come at the rate of the tap's stream in the aggregate device.
  double inputRate = format->mSampleRate;
  if (!streams.streams.empty() && streams.streams[streams.first].rate > 0) inputRate = streams.streams[streams.first].rate;
  if (auto error = makeConverter(*format, inputRate)) return error;
  if (auto error = makeRing(*format, leadingSilence)) return error;
  step("converter made");

  status = installIOProc(streams);
  if (status != kAudioHardwareNoError || !procID_) {
    return fail(withStatus("The IO proc could not be created (", status));
  }
  step("ioproc created");
  reportBuild(*outputUID, *format, streams);

  built_ = Built{outputDevice,
                 *format,
                 inputRate,
                 returnFloat64Property(hardware, aggregateID_, kAudioDevicePropertyNominalSampleRate),
                 returnFloat64Property(hardware, outputDevice, kAudioDevicePropertyNominalSampleRate)};
  acceptedFrames_.store(0, std::memory_order_relaxed);
  ioCallsAtBuild_ = ioCalls_.load(std::memory_order_relaxed);
  status = hardware.deviceStart(aggregateID_, *procID_);
  if (status != kAudioHardwareNoError) return fail(withStatus("The aggregate device would not start (", status));
  return std::nullopt;
}

// The tap names itself by its UID; the aggregate device's tap list must use that.
// It is the UUID the description carried, unless the system says otherwise (a
// platform that has no such property, like the Linux one, keeps the description's).
std::string SystemAudioTap::returnTapUID(const std::string& described) {
  std::string uid;
  const OSStatus status = context_.hardware.getPropertyString(tapID_, globalAddress(kAudioTapPropertyUID), uid);
  if (status != kAudioHardwareNoError || uid.empty()) return described;
  if (uid != described) debugStep("tapUIDDiffers", {{"uuid", described}, {"uid", uid}});
  return uid;
}

// The ring the IO block copies into, sized for the delivered format, and the signal
// that has the conversion queue empty it.
std::optional<TapError> SystemAudioTap::makeRing(const AudioStreamBasicDescription& tapFormat,
                                                 std::uint32_t leadingSilence) {
  std::shared_ptr<const AudioFormat> format = inputFormat_.load();
  const double frames = format ? std::ceil(kCaptureRingSeconds * format->sampleRate()) : 0;
  ring_ = frames >= 1 && frames < 4294967296.0
              ? CaptureRing::make(format, static_cast<std::uint32_t>(frames), kCaptureRingCycles)
              : nullptr;
  if (!ring_) {
    return fail("No converter from the tap's format (" + formatSampleRate(tapFormat.mSampleRate) + " Hz, " +
                std::to_string(tapFormat.mChannelsPerFrame) + " ch).");
  }
  // Nothing else writes to the new ring until its IO proc starts.
  ring_->pushSilence(leadingSilence);
  std::weak_ptr<SystemAudioTap> weakSelf = weak_from_this();
  ringSignal_ = conversionQueue_->makeSignal([weakSelf, ring = ring_] {
    if (auto self = weakSelf.lock()) self->drainRing(*ring);
  });
  return std::nullopt;
}

OSStatus SystemAudioTap::installIOProc(const TapStreams& streams) {
  AudioHardware& hardware = context_.hardware;
  AudioDeviceIOProcID newProc = 0;
  std::weak_ptr<SystemAudioTap> weakSelf = weak_from_this();
  const std::uint32_t first = streams.first;
  const std::uint32_t count = streams.count;
  // Per cycle the block only locks the weak reference (atomic counts) and calls
  // through: what it holds was made here.
  const OSStatus status = hardware.createIOProcIDWithBlock(
      newProc, aggregateID_, *ioQueue_,
      [weakSelf, ring = ring_, signal = ringSignal_, first, count](const AudioBufferListRef& inputData) {
        if (auto self = weakSelf.lock()) self->handleBuffers(*ring, *signal, tapBuffersOf(inputData, first, count));
      });
  if (status != kAudioHardwareNoError || newProc == 0) return status;
  procID_ = newProc;
  if (streams.hasOtherInputs()) {
    // The sub-device's own inputs stay off for this IO proc: no microphone opens.
    const std::vector<std::uint8_t> usage = returnStreamUsage(newProc, streams);
    const AudioObjectPropertyAddress address{kAudioDevicePropertyIOProcStreamUsage, kAudioObjectPropertyScopeInput,
                                             kAudioObjectPropertyElementMain};
    const OSStatus usageStatus = hardware.setPropertyData(aggregateID_, address, 0, nullptr,
                                                          static_cast<std::uint32_t>(usage.size()), usage.data());
    if (usageStatus != kAudioHardwareNoError) debugStep("stream usage failed", {{"status", usageStatus}});
  }
  return kAudioHardwareNoError;
}

// With --debug: what capture was built on, for diagnosing a machine nobody can watch.
void SystemAudioTap::reportBuild(const std::string& outputUID, const AudioStreamBasicDescription& format,
                                 const TapStreams& streams) {
  if (!context_.settings.debug) return;
  debugStep("output device", {{"uid", outputUID}});
  debugStep("tap format", {{"rate", format.mSampleRate},
                           {"channels", format.mChannelsPerFrame},
                           {"bitsPerChannel", format.mBitsPerChannel},
                           {"float", (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0},
                           {"interleaved", (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0}});
  Json list = Json::array();
  Json reading = Json::array();
  for (std::size_t i = 0; i < streams.streams.size(); ++i) {
    list.push_back({{"channels", streams.streams[i].channels}, {"rate", streams.streams[i].rate}});
    if (i >= streams.first && i - streams.first < streams.count) reading.push_back(i);
  }
  debugStep("input streams", {{"count", streams.streams.size()}, {"streams", list}, {"reading", reading}});
}

std::optional<TapError> SystemAudioTap::makeConverter(const AudioStreamBasicDescription& tapFormat, double inputRate) {
  auto& converters = context_.converters;
  AudioStreamBasicDescription delivered = tapFormat;
  delivered.mSampleRate = inputRate;
  std::shared_ptr<const AudioFormat> input = converters.makeFormat(delivered);
  std::shared_ptr<const AudioFormat> output =
      input ? converters.makeInt16Format(context_.settings.outputSampleRate, 1, true) : nullptr;
  std::shared_ptr<AudioConverter> converter = output ? converters.makeConverter(*input, *output) : nullptr;
  if (!converter) {
    return fail("No converter from the tap's format (" + formatSampleRate(tapFormat.mSampleRate) + " Hz, " +
                std::to_string(tapFormat.mChannelsPerFrame) + " ch).");
  }
  inputFormat_.store(std::move(input));
  outputFormat_.store(std::move(output));
  converter_.store(std::move(converter));
  return std::nullopt;
}

void SystemAudioTap::stopIO() {
  AudioHardware& hardware = context_.hardware;
  if (procID_ && aggregateID_ != kAudioObjectUnknown) {
    hardware.deviceStop(aggregateID_, *procID_);
    hardware.destroyIOProcID(aggregateID_, *procID_);
  }
  procID_.reset();
}

void SystemAudioTap::teardown() {
  AudioHardware& hardware = context_.hardware;
  stopIO();
  if (aggregateID_ != kAudioObjectUnknown) {
    hardware.destroyAggregateDevice(aggregateID_);
    aggregateID_ = kAudioObjectUnknown;
  }
  if (tapID_ != kAudioObjectUnknown) {
    hardware.destroyProcessTap(tapID_);
    tapID_ = kAudioObjectUnknown;
  }
  converter_.store(nullptr);
}

void SystemAudioTap::stop() {
  if (!isRunning()) return;
  isRunning_.store(false, std::memory_order_release);
  endWatching();
  teardown();
  conversionQueue_->sync([this, ring = ring_] {
    if (ring) drainRing(*ring);  // what is still in it is dropped: capture has stopped
    flush();
    resetSilenceWatch();
  });
  const CaptureCounters now = counters();
  debugStep("stopped", {{"ioCalls", now.ioCalls}, {"ioBytes", now.ioBytes}, {"convertedFrames", now.convertedFrames}});
  Json stopped;
  stopped["event"] = "stopped";
  context_.output.emit(stopped);
}

void SystemAudioTap::flush() {
  if (pendingSamples_.empty()) return;
  context_.output.writeFrame(encodeSamples(pendingSamples_));
  pendingSamples_.clear();
}

bool SystemAudioTap::checkPermission() {
  AudioHardware& hardware = context_.hardware;
  const TapDescription tap = makeTapDescription(context_.makeUUID());
  AudioObjectID probe = kAudioObjectUnknown;
  const OSStatus status = hardware.createProcessTap(tap, probe);
  if (status != kAudioHardwareNoError || probe == kAudioObjectUnknown) return false;
  const bool readable = returnTapFormat(hardware, probe).has_value();
  hardware.destroyProcessTap(probe);
  return readable;
}

}  // namespace vesk
