// SystemAudioTap: set-up and tear-down of the process tap, its aggregate device and
// the converter, on the main queue. The audio path is in system_audio_pipeline.cpp.
#include "audio-tap/capture/system_audio_tap.h"

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
  AudioHardware& hardware = context_.hardware;
  const TapDescription tap = makeTapDescription(context_.makeUUID());

  AudioObjectID newTap = kAudioObjectUnknown;
  OSStatus status = hardware.createProcessTap(tap, newTap);
  if (status != kAudioHardwareNoError || newTap == kAudioObjectUnknown) {
    return TapError(withStatus("The system audio tap could not be created (", status));
  }
  tapID_ = newTap;
  runningTap_ = tap;
  debugStep("tap created");

  const auto format = returnTapFormat(hardware, tapID_);
  if (!format) return fail("The system audio tap has no readable format.");
  debugStep("format read", {{"rate", format->mSampleRate}});

  const auto outputUID = returnDefaultOutputDeviceUID(hardware);
  if (!outputUID) return fail("No default output device.");

  AudioObjectID newDevice = kAudioObjectUnknown;
  status = hardware.createAggregateDevice(returnAggregateDeviceDescription(context_.makeUUID(), *outputUID, tap.uuid),
                                          newDevice);
  if (status != kAudioHardwareNoError || newDevice == kAudioObjectUnknown) {
    return fail(withStatus("The aggregate device could not be created (", status));
  }
  aggregateID_ = newDevice;
  debugStep("aggregate created");

  if (auto error = makeConverter(*format)) return error;
  debugStep("converter made");

  AudioDeviceIOProcID newProc = 0;
  std::weak_ptr<SystemAudioTap> weakSelf = weak_from_this();
  status = hardware.createIOProcIDWithBlock(newProc, aggregateID_, *ioQueue_,
                                            [weakSelf](const AudioBufferListRef& inputData) {
                                              if (auto self = weakSelf.lock()) self->handleBuffers(inputData);
                                            });
  if (status != kAudioHardwareNoError || newProc == 0) {
    return fail(withStatus("The IO proc could not be created (", status));
  }
  procID_ = newProc;
  debugStep("ioproc created");

  status = hardware.deviceStart(aggregateID_, *procID_);
  if (status != kAudioHardwareNoError) return fail(withStatus("The aggregate device would not start (", status));

  isRunning_.store(true, std::memory_order_release);
  Json ready;
  ready["event"] = "ready";
  ready["sampleRate"] = static_cast<std::int64_t>(context_.settings.outputSampleRate);
  ready["deviceRate"] = format->mSampleRate;
  ready["channels"] = format->mChannelsPerFrame;
  context_.output.emit(ready);
  return std::nullopt;
}

std::optional<TapError> SystemAudioTap::makeConverter(const AudioStreamBasicDescription& tapFormat) {
  auto& converters = context_.converters;
  std::shared_ptr<const AudioFormat> input = converters.makeFormat(tapFormat);
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

void SystemAudioTap::teardown() {
  AudioHardware& hardware = context_.hardware;
  if (procID_ && aggregateID_ != kAudioObjectUnknown) {
    hardware.deviceStop(aggregateID_, *procID_);
    hardware.destroyIOProcID(aggregateID_, *procID_);
  }
  procID_.reset();
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
  teardown();
  conversionQueue_->sync([this] { flush(); });
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
