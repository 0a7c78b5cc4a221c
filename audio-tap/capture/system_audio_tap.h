// SystemAudioTap: capture of what the machine is playing. start() creates a private,
// system-wide, mono process tap that leaves out this process, its parent and the
// excluded processes, wraps it in a private aggregate device on the default system
// output device, builds a converter to 16-bit mono PCM, installs an IO block and
// starts the device; stop() takes it all down again and writes out what is pending.
// While it runs, it watches (through property listeners and a check each second)
// for the output device changing, the tap's format changing, a device dying or
// changing rate, and the IO stalling, and rebuilds capture on the main queue without
// breaking the frame stream (a rebuild for a reason that keeps coming back waits,
// longer each time); it also reports when it hears only digital silence while
// something plays.
//
// Threads: start(), stop(), checkPermission() and teardown() run on the main queue.
// The IO block runs handleBuffers() on `ioQueue`, on the platform's real-time IO
// thread: it counts, copies the cycle into the build's CaptureRing and signals the
// conversion queue, with no heap allocation and no lock. Conversion, chunking and
// the flush at stop run on `conversionQueue`, which alone touches `pendingSamples`.
// `isRunning` is atomic; the formats and the converter sit in shared slots and each
// reader keeps its own reference, so a conversion in progress outlives teardown.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio-tap/capture/capture_ring.h"
#include "audio-tap/capture/converter.h"
#include "audio-tap/capture/hardware.h"
#include "audio-tap/capture/shared_slot.h"
#include "audio-tap/capture/tap_error.h"
#include "audio-tap/capture/tap_streams.h"
#include "audio-tap/process/output.h"
#include "audio-tap/process/process_info.h"
#include "audio-tap/process/process_tree.h"
#include "audio-tap/process/queue.h"
#include "audio-tap/process/settings.h"

namespace vesk {

/// Makes a serial queue with a label and a quality of service.
using SerialQueueFactory = std::function<std::shared_ptr<SerialQueue>(const std::string& label, QualityOfService)>;

/// What a SystemAudioTap works with; all of it outlives the tap.
struct CaptureContext {
  AudioHardware& hardware;
  AudioConverterFactory& converters;
  ProcessInfo& process;
  OutputChannels& output;
  const Settings& settings;
  SerialQueueFactory makeQueue;
  std::function<std::string()> makeUUID;
  /// Where listeners and the check each second run, and the clock of its deadlines.
  /// Without them capture runs as set up and watches for nothing.
  SerialQueue* mainQueue = nullptr;
  const Clock* clock = nullptr;
};

/// Why capture was rebuilt, as its debug event names it.
enum class RebuildReason { outputDeviceChanged, formatChanged, deviceLost, ioStalled };
inline constexpr std::size_t kRebuildReasonCount = 4;
const char* rebuildReasonText(RebuildReason reason);

/// The name of the tap and of its aggregate device.
inline constexpr const char* kTapName = "Vesk meeting tap";
/// Every aggregate device UID begins with this.
inline constexpr const char* kAggregateUIDPrefix = "com.vesk.audio-tap.";

/// Process objects to leave out of the tap: own, parent, then `extraPIDs`, in that
/// order, duplicates kept; processes without an audio object are skipped.
std::vector<AudioObjectID> returnExcludedProcessObjects(AudioHardware& hardware, ProcessInfo& process,
                                                        const std::vector<ProcessID>& extraPIDs);
/// The audio process objects of `pids`, in order, duplicates kept; processes without
/// one are skipped.
std::vector<AudioObjectID> returnProcessObjects(AudioHardware& hardware, const std::vector<ProcessID>& pids);

/// A new description of the private mono tap of everything but the excluded processes.
TapDescription returnTapDescription(AudioHardware& hardware, ProcessInfo& process,
                                    const std::vector<ProcessID>& extraPIDs, const std::string& uuid);
/// The same description over a list of process objects made by the caller.
TapDescription returnTapDescription(std::vector<AudioObjectID> excludedProcesses, const std::string& uuid);

/// The aggregate device around the tap and the default output device.
AggregateDeviceDescription returnAggregateDeviceDescription(const std::string& deviceUUID,
                                                            const std::string& outputUID, const std::string& tapUUID);

/// Seconds without captured audio after which an IO that has run in this build
/// counts as stalled; also how often the running capture is checked. An IO that has
/// not run yet is waiting: a tap starts its device only once a tapped process plays.
inline constexpr double kCaptureCheckSeconds = 1.0;
/// Rebuilds back off: one for the reason of another less than kRebuildRepeatSeconds
/// before waits kFirstRebuildDelaySeconds, twice as long at each repeat up to
/// kMostRebuildDelaySeconds, and the first wait again after kHealthyIOResetSeconds
/// of audio at every check.
inline constexpr double kRebuildRepeatSeconds = 10.0;
inline constexpr double kFirstRebuildDelaySeconds = 1.0;
inline constexpr double kMostRebuildDelaySeconds = 30.0;
inline constexpr double kHealthyIOResetSeconds = 60.0;
/// Seconds of captured audio the IO thread can hand over before the conversion queue
/// takes any, and cycles waiting at most (a few ms each at the least).
inline constexpr double kCaptureRingSeconds = 4.0;
inline constexpr std::uint32_t kCaptureRingCycles = 1024;
/// Seconds of nothing but exact zeros, while something plays, before "captureSilence".
inline constexpr double kSilenceReportSeconds = 5.0;

/// Counters of the audio traffic over the life of the process, for the debug report.
struct CaptureCounters {
  std::int64_t ioCalls = 0;
  std::int64_t ioBytes = 0;
  std::int64_t convertedFrames = 0;
  bool operator==(const CaptureCounters&) const = default;
};

class SystemAudioTap : public std::enable_shared_from_this<SystemAudioTap> {
 public:
  /// A new idle tap; makes its two queues and no platform audio call. With
  /// `descendants`, the tap leaves out the processes that set names (own, parent,
  /// `extraPIDs` and everything below them) instead of own, parent and `extraPIDs`.
  static std::shared_ptr<SystemAudioTap> make(CaptureContext context, std::vector<ProcessID> extraPIDs,
                                              std::shared_ptr<ExcludedProcesses> descendants = nullptr);
  SystemAudioTap(const SystemAudioTap&) = delete;
  SystemAudioTap& operator=(const SystemAudioTap&) = delete;

  /// Sets capture up and sends "ready"; none on success (or when already running),
  /// otherwise the error, with everything made so far destroyed. Main queue.
  std::optional<TapError> start();

  /// Ends capture, writes the pending samples as one last frame, sends "stopped".
  /// Does nothing when not running. Main queue.
  void stop();

  /// Whether a tap can be created and its format read; touches no field. Main queue.
  bool checkPermission();

  /// Brings the running tap's excluded processes up to date in place, when they
  /// have changed; nothing when not running or without descendants. Main queue.
  void updateExclusion();

  bool isRunning() const { return isRunning_.load(std::memory_order_acquire); }

  /// For tests and diagnostics. Main queue.
  AudioObjectID tapID() const { return tapID_; }
  AudioObjectID aggregateID() const { return aggregateID_; }
  CaptureCounters counters() const;

 private:
  SystemAudioTap(CaptureContext context, std::vector<ProcessID> extraPIDs,
                 std::shared_ptr<ExcludedProcesses> descendants);

  /// The description of a tap named `uuid` that leaves out the excluded processes as
  /// they are now: what every tap this object makes is made from.
  TapDescription makeTapDescription(const std::string& uuid);

  std::optional<TapError> build(bool announce, std::uint32_t leadingSilence);
  std::string returnTapUID(const std::string& described);
  std::optional<TapError> makeRing(const AudioStreamBasicDescription& tapFormat, std::uint32_t leadingSilence);
  std::optional<TapError> fail(std::string message);
  std::optional<TapError> makeConverter(const AudioStreamBasicDescription& tapFormat, double inputRate);
  OSStatus installIOProc(const TapStreams& streams);
  void reportBuild(const std::string& outputUID, const AudioStreamBasicDescription& format, const TapStreams& streams);
  void stopIO();
  void teardown();
  void flush();
  void debugStep(const char* step, Json extra = Json::object());

  // Watching a running capture (system_audio_watch.cpp), all on the main queue.
  void beginWatching();
  void endWatching();
  void listen(AudioObjectID object, AudioObjectPropertySelector selector, void (SystemAudioTap::*check)());
  void checkOutputDevice();
  void checkTapFormat();
  void checkRates();
  void checkAlive();
  void requestRebuild(RebuildReason reason);
  double returnRebuildDelay(RebuildReason reason);
  void rebuild(RebuildReason reason);
  void scheduleCheck();
  void checkCapture();
  void noteHealthyIO();
  void reportSilence();
  std::uint32_t returnOwedSilence();
  void fillWhileNoAudio();

  // The pipeline (system_audio_pipeline.cpp).
  void handleBuffers(CaptureRing& ring, QueueSignal& converting, const AudioBufferListRef& inputData);
  void drainRing(CaptureRing& ring);
  void convertZeros(const std::shared_ptr<const AudioFormat>& format, std::uint32_t frames);
  void convertAndWrite(const std::shared_ptr<PcmBuffer>& input, bool zeros);
  void appendAndChunk(const std::int16_t* samples, std::uint32_t count);
  void appendSilence(std::int64_t count);
  void passSettledSilence(std::uint32_t frames, double ratio);
  void noteSilence(bool zeros, std::uint32_t frames, double rate);
  void resetSilenceWatch();

  CaptureContext context_;
  const std::vector<ProcessID> extraPIDs_;
  const std::shared_ptr<ExcludedProcesses> descendants_;
  TapDescription runningTap_;  // what the running tap was last made or updated from
  AudioObjectID tapID_ = kAudioObjectUnknown;
  AudioObjectID aggregateID_ = kAudioObjectUnknown;
  std::optional<AudioDeviceIOProcID> procID_;
  SharedSlot<AudioConverter> converter_;
  SharedSlot<const AudioFormat> inputFormat_;
  SharedSlot<const AudioFormat> outputFormat_;
  const std::shared_ptr<SerialQueue> conversionQueue_;
  const std::shared_ptr<SerialQueue> ioQueue_;
  // The audio path of the running build: made at build time, held by its IO block
  // (main queue).
  std::shared_ptr<CaptureRing> ring_;
  std::shared_ptr<QueueSignal> ringSignal_;  // runs drainRing on conversionQueue
  std::vector<std::int16_t> pendingSamples_;  // conversionQueue only
  std::shared_ptr<PcmBuffer> inputBuffer_;    // conversionQueue only; reused while its size fits
  std::shared_ptr<PcmBuffer> outputBuffer_;   // conversionQueue only; reused while its size fits
  std::atomic<bool> isRunning_{false};
  // Written on the audio queues, read on the main queue; atomic so that reads are
  // well-defined whatever the platform guarantees about stopped IO procs.
  std::atomic<std::int64_t> ioCalls_{0};
  std::atomic<std::int64_t> ioBytes_{0};
  std::atomic<std::int64_t> convertedFrames_{0};

  // What the running capture was built on (main queue).
  struct Built {
    AudioObjectID outputDevice = kAudioObjectUnknown;
    AudioStreamBasicDescription tapFormat;
    double inputRate = 0;  // of the buffers the IO proc hands over
    std::optional<double> aggregateRate;
    std::optional<double> outputRate;
  } built_;
  // Watching (main queue): listeners of this generation of objects, the pending
  // rebuild and the check each second.
  struct Registration {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    AudioObjectPropertyListener listener;
  };
  std::vector<Registration> registrations_;
  std::uint64_t generation_ = 0;
  bool rebuildPending_ = false;
  std::shared_ptr<WorkItem> check_;
  std::shared_ptr<WorkItem> delayedRebuild_;
  std::int64_t ioCallsAtBuild_ = 0;  // IO calls before this build's device started
  std::int64_t framesAtCheck_ = 0;   // this build's frames at the last check
  std::optional<double> healthySince_;  // audio came at every check since
  // Rebuilds that keep coming back (main queue; a start forgets them).
  std::optional<double> lastRebuildAt_[kRebuildReasonCount];
  double rebuildDelay_ = 0;  // the last wait, 0 for none since healthy IO
  std::set<OSStatus> exclusionFailures_;  // statuses reported since start
  // Real time against audio time, so a rebuild fills the time capture was down.
  double startedAt_ = 0;
  double coveredSeconds_ = 0;  // audio handed over by the IO procs of earlier builds, and silence filled
  std::atomic<bool> acceptingIO_{false};         // written on the main queue, read on ioQueue
  std::atomic<std::int64_t> acceptedFrames_{0};  // IO frames of this build; ioQueue, read on the main queue
  // Silence (conversionQueue, published for the main queue).
  std::int64_t zeroMicros_ = 0;
  std::atomic<std::int64_t> zeroRunMicros_{0};
  double passedFraction_ = 0;  // of an output sample, owed by silence passed by the converter
  std::atomic<bool> silenceReported_{false};
};

}  // namespace vesk
