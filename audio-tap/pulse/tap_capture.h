// The running side of a process tap on PulseAudio: one recording per playing stream
// (each sink input, through its sink's monitor, narrowed to that input alone), each
// averaged to mono and the streams summed, and a clock on the IO queue that hands the
// mix to the IO block in 50 ms cycles. While something plays, a cycle leaves as soon
// as its audio is in (the server's delivery drives it, so nothing waits on a timer);
// while nothing plays, silence leaves as real time passes, a few cycles per wake-up
// in one buffer. Either way the cycles keep to real time: a stream late by more than a
// set tolerance is padded with silence, and one early by more than a cycle waits.
// Streams that appear while capture runs are picked up; those of excluded processes
// are never recorded. With an ancestry table, a stream whose process descends from an
// excluded one is not recorded either: its process's ancestry is read when the stream
// appears, before any of it is mixed.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "audio-tap/capture/hardware.h"
#include "audio-tap/process/process_table.h"
#include "audio-tap/process/queue.h"
#include "audio-tap/pulse/pulse_connection.h"
#include "audio-tap/pulse/silence_pages.h"
#include "audio-tap/pulse/stream_mixer.h"

namespace vesk::pulse {

class TapCapture {
 public:
  /// `ancestry`: null, or the process table whose ancestry also leaves streams out.
  TapCapture(PulseConnection& connection, std::uint32_t rate, std::vector<std::int32_t> excludedPids,
             ProcessTable* ancestry, SerialQueue& ioQueue, AudioDeviceIOBlock block);
  ~TapCapture();
  TapCapture(const TapCapture&) = delete;
  TapCapture& operator=(const TapCapture&) = delete;

  /// Records every playing stream and starts the clock. Main queue, lock not held.
  OSStatus start();
  /// Stops the clock and every recording; once it returns no call of the block runs
  /// or begins. Main queue (never the IO queue), lock not held.
  void stop();

  /// Leaves out these processes from now on (and, with an ancestry table, their
  /// descendants): recordings of streams now excluded end. Lock held.
  void setExcludedPids(std::vector<std::int32_t> excludedPids);

  /// A sink input appeared, changed or went. Main loop thread, lock held.
  void onSinkInputEvent(pa_subscription_event_type_t type, std::uint32_t index);
  /// The server went away: the recordings are gone, the clock goes on with silence.
  /// Main loop thread, lock held.
  void onConnectionLost();

 private:
  struct Recording;
  void record(pa_context* context, const pa_sink_input_info& input);
  bool isExcluded(std::optional<std::int32_t> pid);
  void forget(std::uint32_t sinkInputIndex);
  void track(pa_operation* operation);
  void cancelPending();
  void pump();
  void scheduleTick(std::uint64_t dueAtFrames);
  void deliverCycle();
  void deliverSilence();
  double secondsNow() const;
  static void onInputInfo(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
  static void onRead(pa_stream* stream, std::size_t bytes, void* recording);
  static void onStreamState(pa_stream* stream, void* recording);

  PulseConnection& connection_;
  const std::uint32_t rate_;
  ProcessTable* const ancestry_;
  SerialQueue& ioQueue_;
  const AudioDeviceIOBlock block_;
  StreamMixer mixer_;

  // Guarded by the main loop's lock.
  std::vector<std::int32_t> excludedPids_;
  std::map<std::uint32_t, std::unique_ptr<Recording>> recordings_;
  struct SinkMonitor {
    std::string source;        // the sink's monitor source
    pa_channel_map channels;   // the sink's channels, which its monitor carries
    pa_sample_format_t format;  // the sink's sample format, ditto
  };
  std::map<std::uint32_t, SinkMonitor> sinkMonitors_;  // by sink index
  bool capturing_ = false;
  std::vector<pa_operation*> pending_;  // requests whose answers come to this object

  // The clock. `delivering_` is read by queued work before it touches this object.
  std::shared_ptr<std::atomic<bool>> delivering_ = std::make_shared<std::atomic<bool>>(false);
  std::atomic<bool> pumpQueued_{false};  // a data-driven pump is on the IO queue
  // IO queue only (and start(), before the clock runs).
  double started_ = 0;           // seconds on the queue's clock
  std::uint64_t delivered_ = 0;  // frames handed to the block since start
  double tickAt_ = -1;           // deadline of the timer that is pending, if any
  std::shared_ptr<WorkItem> tick_;
  std::vector<float> cycle_;     // the cycle being handed over
  std::uint64_t silence_ = 0;    // frames of silence owed, handed over at the end of a pump
  SilencePages zeros_;           // silence to hand over, one idle wake-up's worth
};

}  // namespace vesk::pulse
