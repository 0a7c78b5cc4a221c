// The running side of a process tap on PulseAudio: one recording per playing stream
// (each sink input, through its sink's monitor, narrowed to that input alone), mixed
// into mono, and a real-time clock that hands the mix to the IO block in 10 ms buffer
// lists whether or not anything plays. Streams that appear while capture runs are
// picked up; those of excluded processes are never recorded.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio-tap/capture/hardware.h"
#include "audio-tap/process/queue.h"
#include "audio-tap/pulse/pulse_connection.h"
#include "audio-tap/pulse/stream_mixer.h"

namespace vesk::pulse {

class TapCapture {
 public:
  TapCapture(PulseConnection& connection, std::uint32_t rate, std::vector<std::int32_t> excludedPids,
             SerialQueue& ioQueue, AudioDeviceIOBlock block);
  ~TapCapture();
  TapCapture(const TapCapture&) = delete;
  TapCapture& operator=(const TapCapture&) = delete;

  /// Records every playing stream and starts the clock. Main queue, lock not held.
  OSStatus start();
  /// Stops the clock and every recording; once it returns no new call of the block
  /// begins. Main queue, lock not held.
  void stop();

  /// A sink input appeared, changed or went. Main loop thread, lock held.
  void onSinkInputEvent(pa_subscription_event_type_t type, std::uint32_t index);
  /// The server went away: the recordings are gone, the clock goes on with silence.
  /// Main loop thread, lock held.
  void onConnectionLost();

 private:
  struct Recording;
  void record(pa_context* context, const pa_sink_input_info& input);
  void forget(std::uint32_t sinkInputIndex);
  void runClock();
  void deliver(std::size_t frames);
  static void onInputInfo(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
  static void onRead(pa_stream* stream, std::size_t bytes, void* recording);
  static void onStreamState(pa_stream* stream, void* recording);

  PulseConnection& connection_;
  const std::uint32_t rate_;
  const std::vector<std::int32_t> excludedPids_;
  SerialQueue& ioQueue_;
  const AudioDeviceIOBlock block_;
  StreamMixer mixer_;

  // Guarded by the main loop's lock.
  std::map<std::uint32_t, std::unique_ptr<Recording>> recordings_;
  std::map<std::uint32_t, std::string> sinkMonitors_;  // sink index -> its monitor source
  bool capturing_ = false;

  // The clock and the buffers it has queued: queued calls check `delivering_` first.
  std::shared_ptr<std::atomic<bool>> delivering_ = std::make_shared<std::atomic<bool>>(false);
  std::thread clock_;
  std::mutex clockLock_;
  std::condition_variable clockWake_;
  bool clockStop_ = false;
};

}  // namespace vesk::pulse
