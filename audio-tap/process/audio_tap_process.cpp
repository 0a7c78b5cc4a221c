// Start-up sequence of the audio tap process.
#include "audio-tap/process/audio_tap_process.h"

#include <thread>

#include "audio-tap/capture/exclusion_watch.h"
#include "audio-tap/capture/uuid.h"
#include "audio-tap/process/command_handler.h"

namespace vesk {
namespace {

constexpr int kStandardInput = 0;
constexpr int kStandardOutput = 1;
constexpr int kStandardError = 2;

// How long the end of the process waits for the host to take what is still queued
// (the last frame, "stopped"): a host that is not reading cannot hold it up longer.
constexpr double kEndDrainSeconds = 0.3;

}  // namespace

void runAudioTapProcess(std::span<const std::string> arguments, Platform& platform) {
  // Everything made here lives until the process ends and is never destroyed: the
  // process ends with _exit while other threads may still use it.
  static const Settings settings = parseArguments(arguments);
  static StreamChannels output(kStandardOutput, kStandardError, settings.debug);
  ProcessInfo& process = platform.processInfo();

  // The left-out processes: own, parent, then "--exclude-pid" in order, duplicates
  // kept; with "--exclude-descendants" also everything below them. The tap and the
  // input reports share one set, so both remember the same processes.
  std::vector<ProcessID> excludedPIDs = {process.returnProcessID(), process.returnParentProcessID()};
  excludedPIDs.insert(excludedPIDs.end(), settings.extraPIDs.begin(), settings.extraPIDs.end());
  static const auto excluded = settings.excludeDescendants
                                   ? std::make_shared<ExcludedProcesses>(excludedPIDs, platform.processTable())
                                   : std::make_shared<ExcludedProcesses>(excludedPIDs);

  static const auto tap = SystemAudioTap::make(
      CaptureContext{platform.hardware(), platform.converters(), process, output, settings,
                     [&platform](const std::string& label, QualityOfService qos) {
                       return platform.makeSerialQueue(label, qos);
                     },
                     makeRandomUUID, &platform.mainQueue(), &platform.clock()},
      settings.extraPIDs, settings.excludeDescendants ? excluded : nullptr);
  static const auto watcher =
      InputActivityWatcher::make(platform.hardware(), platform.mainQueue(), platform.clock(), output, excluded);
  if (settings.excludeDescendants) {
    static const auto exclusionWatch =
        ExclusionWatch::make(platform.hardware(), platform.mainQueue(), platform.clock(), tap, excluded,
                             [] { return watcher->isWatching(); });
    // Registered from the main queue, as listeners are; it runs once serving begins.
    platform.mainQueue().async([] { exclusionWatch->start(); });
  }

  static CommandHandler handler(*tap, *watcher, output, [&platform] {
    output.drainWithin(kEndDrainSeconds);
    platform.exitProcess();
  });
  platform.watchParent(process.returnParentProcessID(), [] { handler.shutdown(); });

  SerialQueue& mainQueue = platform.mainQueue();
  std::thread([&mainQueue] { readCommands(kStandardInput, mainQueue, handler); }).detach();

  platform.runMainQueue();
}

}  // namespace vesk
